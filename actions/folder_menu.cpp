#include "actions/folder_menu.h"

#include <string>

#include "actions/library.h"
#include "catalogue/tracks.h"
#include "core/local_files.h"
#include "dialogs/dialogs.h"
#include "offline/folder_save.h"
#include "offline/saved_tracks.h"

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

void saveFolder(const std::string &folderId) {
  std::vector<std::string> ids;
  for (const auto &t : folderTracks(folderId)) ids.push_back(t.id);
  saveInBackground(ids);
}

void removeAllSavedAfterConfirmation() {
  const std::string question = "¿Quitar las " + std::to_string(savedTracks().size()) +
                               " canciones guardadas sin conexion?";
  if (tvoz_confirm_mac(question.c_str())) removeAllSaved();
}

constexpr const char *kPickFolder = "Elegir carpeta de descargas offline...";

}  // namespace

// By position: a playlist folder "Borrar esta playlist", then for every
// folder the offline folder choice and the folder save; the offline folder
// itself the offline folder choice and "Quitar todas de sin conexion".
std::vector<std::string> buildFolderMenu(const std::string &id) {
  if (id == kOfflineFolder) return {kPickFolder, "Quitar todas de sin conexion"};
  std::vector<std::string> labels;
  if (isPlaylistFolder(id)) labels.push_back("Borrar esta playlist");
  labels.push_back(kPickFolder);
  labels.push_back("Guardar carpeta sin conexion");
  return labels;
}

void runFolderMenu(const std::string &id, uint64_t index) {
  if (id == kOfflineFolder) {
    if (index == 0) chooseOfflineFolder();
    if (index == 1) removeAllSavedAfterConfirmation();
    return;
  }
  const uint64_t first = isPlaylistFolder(id) ? 1 : 0;
  if (first == 1 && index == 0) {
    deletePlaylist(id);
  } else if (index == first) {
    chooseOfflineFolder();
  } else if (index == first + 1) {
    saveFolder(id);
  }
}

}  // namespace tvoz
