// The context menu of a folder: deleting a playlist folder, and choosing the
// offline download folder. No state is kept between the two calls: the
// position is read again from the folder id. Any thread; runFolderMenu blocks
// while a dialog is open and during the deletion request.
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
