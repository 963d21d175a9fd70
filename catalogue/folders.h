// The plug-in's folder tree, as the service lists it.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

// Hands each folder of "/vdj/folders" to the host's list as id and
// "name (count)", in the service's order; a folder without id is left out and
// a malformed folder ends the list. Always S_OK. Blocks for one request; any
// thread; keeps no state.
HRESULT listFolders(IVdjSubfoldersList *list);

}  // namespace tvoz
