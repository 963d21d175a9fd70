// The context menu of a folder: deleting a playlist folder, choosing the
// offline download folder, saving the whole folder for offline play in the
// background, and, on the offline folder, removing every saved track and
// cancelling the saves still pending. The menu built last for a folder is
// kept, so a choice acts on the entries the DJ saw; a folder whose menu was
// not built is read again from its id. Any thread; runFolderMenu blocks while a dialog is open, during
// the deletion request and while the folder to save is listed, never while
// its tracks download.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvoz {

// The menu's labels, in order.
std::vector<std::string> buildFolderMenu(const std::string &folderId);
// Runs entry `index`; a position without an entry does nothing.
void runFolderMenu(const std::string &folderId, uint64_t index);

}  // namespace tvoz
