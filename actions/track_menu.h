// The context menu of a track: favourite, playlist and offline entries.
//
// buildTrackMenu fetches the user's playlists (one request) and reads the
// offline index, then gives the labels and publishes the matching
// g_trackActions as a whole under g_menuMutex; runTrackMenu copies the chosen
// action under that guard and runs it outside it. No guard is held while the
// network or a dialog is waited for. Any thread; both block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>


namespace tvoz {

// The menu's labels, in order.
std::vector<std::string> buildTrackMenu(const std::string &trackId);
// Runs entry `index` of the latest menu for `trackId` and returns 0; the
// offline entry queues the save, cancels it, or removes the copy, and returns
// at once. An index past the end does nothing.
int runTrackMenu(const std::string &trackId, uint64_t index);

// The user's playlists in the order of a "/vdj/crates" answer's body. A JSON
// error ends the reading and keeps what came before it; an id is taken before
// its name, so a bad name leaves one id more than names, and the names decide
// the menu. Never throws a JSON error; touches no state.
struct Crates {
  std::vector<int32_t> ids;
  std::vector<std::string> names;
};
Crates readCrates(const std::string &body);

}  // namespace tvoz
