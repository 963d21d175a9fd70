#include "actions/track_menu.h"

namespace tvoz {

// not built yet
HRESULT buildTrackMenu(const char *, IVdjContextMenu *) { return S_OK; }
HRESULT runTrackMenu(const char *, ULONG) { return S_OK; }

}  // namespace tvoz
