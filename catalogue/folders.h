// The plug-in's folder tree, as the service lists it.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

// Hands each folder of "/vdj/folders" to the host's list. Always S_OK.
HRESULT listFolders(IVdjSubfoldersList *list);

}  // namespace tvoz
