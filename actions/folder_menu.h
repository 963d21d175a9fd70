// The context menu of a folder.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

HRESULT buildFolderMenu(const char *folderId, IVdjContextMenu *menu);
HRESULT runFolderMenu(const char *folderId, ULONG index);

}  // namespace tvoz
