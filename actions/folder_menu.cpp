#include "actions/folder_menu.h"

#include <mutex>
#include <string>
#include <utility>

#include "actions/library.h"
#include "catalogue/tracks.h"
#include "core/local_files.h"
#include "dialogs/dialogs.h"
#include "offline/save_queue.h"
#include "offline/saved_tracks.h"
#include "service/reachability.h"

namespace tvoz {

namespace {

constexpr const char *kCratePrefix = "@crate:";
constexpr size_t kCratePrefixLength = 7;

bool isPlaylistFolder(const std::string &id) {
  return id.compare(0, kCratePrefixLength, kCratePrefix) == 0;
}

void deletePlaylist(const std::string &folderId) {
  if (!serviceReachable()) return;  // no question whose answer cannot be acted on
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
  // A listing that did not come says nothing of what is saved: no batch, and
  // no "0 de 0" line, which says that everything was.
  const auto tracks = folderTracks(folderId);
  if (!tracks) return;
  std::vector<std::string> ids;
  for (const auto &t : *tracks) ids.push_back(t.id);
  queueFolderSave(ids);
}

void removeAllSavedAfterConfirmation() {
  const std::string question =
      "¿Quitar las " + std::to_string(savedCount()) + " canciones guardadas sin conexion?";
  if (!tvoz_confirm_mac(question.c_str())) return;
  // The saves stop first, so that no track arrives after the folder was emptied.
  cancelAllSaves();
  removeAllSaved();
}

void cancelPendingAfterConfirmation() {
  const size_t pending = saveProgress().pending;
  if (pending == 0) return;  // all ended while the menu was open
  const std::string question =
      "¿Cancelar las " + std::to_string(pending) + " canciones que faltan por guardar?";
  if (tvoz_confirm_mac(question.c_str())) cancelAllSaves();
}

constexpr const char *kPickFolder = "Elegir carpeta de descargas offline...";

enum class FolderAct { DeletePlaylist, PickFolder, SaveFolder, RemoveAll, CancelPending };
using FolderMenu = std::vector<std::pair<std::string, FolderAct>>;

FolderMenu folderMenu(const std::string &id) {
  if (id == kOfflineFolder) {
    FolderMenu menu{{kPickFolder, FolderAct::PickFolder},
                    {"Quitar todas de sin conexion", FolderAct::RemoveAll}};
    if (saveProgress().pending > 0) menu.push_back({"Cancelar guardados pendientes", FolderAct::CancelPending});
    return menu;
  }
  FolderMenu menu;
  if (isPlaylistFolder(id)) menu.push_back({"Borrar esta playlist", FolderAct::DeletePlaylist});
  menu.push_back({kPickFolder, FolderAct::PickFolder});
  menu.push_back({"Guardar carpeta sin conexion", FolderAct::SaveFolder});
  return menu;
}

// The menu built last, so that a choice acts on the entries the DJ saw even
// when the offline folder's menu would be built differently by now.
struct BuiltMenu {
  std::mutex mutex;
  std::string folderId;
  FolderMenu menu;
};
BuiltMenu &builtMenu() {
  static BuiltMenu &built = *new BuiltMenu();
  return built;
}

}  // namespace

std::vector<std::string> buildFolderMenu(const std::string &id) {
  FolderMenu menu = folderMenu(id);
  std::vector<std::string> labels;
  for (const auto &entry : menu) labels.push_back(entry.first);
  BuiltMenu &built = builtMenu();
  std::lock_guard<std::mutex> lock(built.mutex);
  built.folderId = id;
  built.menu = std::move(menu);
  return labels;
}

void runFolderMenu(const std::string &id, uint64_t index) {
  FolderMenu menu;
  {
    BuiltMenu &built = builtMenu();
    std::lock_guard<std::mutex> lock(built.mutex);
    if (built.folderId == id) menu = built.menu;
  }
  if (menu.empty()) menu = folderMenu(id);
  if (index >= menu.size()) return;
  switch (menu[index].second) {
    case FolderAct::DeletePlaylist:
      return deletePlaylist(id);
    case FolderAct::PickFolder:
      return chooseOfflineFolder();
    case FolderAct::SaveFolder:
      return saveFolder(id);
    case FolderAct::RemoveAll:
      return removeAllSavedAfterConfirmation();
    case FolderAct::CancelPending:
      return cancelPendingAfterConfirmation();
  }
}

}  // namespace tvoz
