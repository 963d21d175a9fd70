#include "actions/folder_menu.h"

#include <string>

#include "actions/library.h"
#include "core/local_files.h"
#include "dialogs/dialogs.h"

namespace tvoz {

namespace {

constexpr const char *kCratePrefix = "@crate:";
constexpr size_t kCratePrefixLength = 7;

bool isPlaylistFolder(const std::string &id) {
  return id.compare(0, kCratePrefixLength, kCratePrefix) == 0;
}

void deletePlaylist(const std::string &folderId) {
  if (!tvoz_confirm_mac("¿Borrar esta playlist? Esto no se puede deshacer.")) return;
  crateDelete(folderId.substr(kCratePrefixLength));
}

void chooseOfflineFolder() {
  const char *picked = tvoz_pick_folder_mac();
  if (!picked) return;
  std::string path(picked);  // valid only until the next dialog
  if (path.empty()) return;
  configSet("offline_dir", path);
  makeDir(path);  // exists already, or fails later in the download's own log
  logLine("carpeta offline nueva: " + path);
}

}  // namespace

std::vector<std::string> buildFolderMenu(const std::string &id) {
  std::vector<std::string> labels;
  if (isPlaylistFolder(id)) labels.push_back("Borrar esta playlist");
  labels.push_back("Elegir carpeta de descargas offline...");
  return labels;
}

void runFolderMenu(const std::string &id, uint64_t index) {
  bool playlist = isPlaylistFolder(id);
  if (playlist && index == 0) {
    deletePlaylist(id);
  } else if (index == (playlist ? 1u : 0u)) {
    chooseOfflineFolder();
  }
}

}  // namespace tvoz
