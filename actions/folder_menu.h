// The context menu of a folder: deleting a playlist folder, and choosing the
// offline download folder. No state is kept between the two calls: the
// position is read again from the folder id. Any thread; runFolderMenu blocks
// while a dialog is open and during the deletion request.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

// Always S_OK. A null folder id counts as "".
HRESULT buildFolderMenu(const char *folderId, IVdjContextMenu *menu);
// Always S_OK; a position without an entry does nothing.
HRESULT runFolderMenu(const char *folderId, ULONG index);

}  // namespace tvoz
