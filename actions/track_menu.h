// The context menu of a track: favourite, playlist and offline entries.
//
// buildTrackMenu fetches the user's playlists (one request) and reads the
// offline index, then fills the host's menu and publishes the matching
// g_trackActions as a whole under g_menuMutex; runTrackMenu copies the chosen
// action under that guard and runs it outside it. No guard is held while the
// network or a dialog is waited for. Any thread; both block.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

// Always S_OK. A null track id counts as "".
HRESULT buildTrackMenu(const char *trackId, IVdjContextMenu *menu);
// Runs entry `index` of the latest menu for `trackId`: S_OK, or the offline
// toggle's result (1 when a download failed). An index past the end does
// nothing.
HRESULT runTrackMenu(const char *trackId, ULONG index);

}  // namespace tvoz
