#include "actions/folder_menu.h"

namespace tvoz {

// not built yet
HRESULT buildFolderMenu(const char *, IVdjContextMenu *) { return S_OK; }
HRESULT runFolderMenu(const char *, ULONG) { return S_OK; }

}  // namespace tvoz
