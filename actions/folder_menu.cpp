#include "actions/folder_menu.h"

#include <string>
#include <sys/stat.h>

#include "actions/library.h"
#include "dialogs/dialogs.h"
#include "plugin/local_files.h"

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
  ::mkdir(path.c_str(), 0755);  // exists already, or fails later in the download's own log
  logLine("carpeta offline nueva: " + path);
}

}  // namespace

HRESULT buildFolderMenu(const char *folderId, IVdjContextMenu *menu) {
  if (!menu) return S_OK;
  if (isPlaylistFolder(folderId ? folderId : "")) menu->add("Borrar esta playlist");
  menu->add("Elegir carpeta de descargas offline...");
  return S_OK;
}

HRESULT runFolderMenu(const char *folderId, ULONG index) {
  std::string id = folderId ? folderId : "";
  bool playlist = isPlaylistFolder(id);
  if (playlist && index == 0) {
    deletePlaylist(id);
  } else if (index == (playlist ? 1u : 0u)) {
    chooseOfflineFolder();
  }
  return S_OK;
}

}  // namespace tvoz
