#include "catalogue/folders.h"

#include <algorithm>
#include <optional>

#include "catalogue/tracks.h"
#include "core/json_fields.h"
#include "offline/save_queue.h"
#include "offline/saved_tracks.h"
#include "service/api.h"

namespace tvoz {

namespace {

// The folders of a body; nothing when it is not a JSON object at all.
std::optional<std::vector<FolderEntry>> readTree(const std::string &body) {
  auto root = parseJson(body);
  if (!root || !root->is_object()) return std::nullopt;
  std::vector<FolderEntry> folders;
  try {
    // A bad element ends the listing; the folders before it stay with the host.
    forEachElement(memberOf(*root, "folders"), [&folders](const json &folder) {
      std::string id = readString(folder, "id");
      std::string name = readString(folder, "name");
      int32_t count = readInt32(folder, "count");
      // The host takes texts up to a NUL byte: an id holding one would come
      // back as another folder's, and a name holding one would lose its count.
      if (id.empty() || id.find('\0') != std::string::npos) return;
      name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
      folders.push_back({std::move(id), name + " (" + std::to_string(count) + ")"});
    });
  } catch (const json::exception &) {
  }
  return folders;
}

}  // namespace

std::vector<FolderEntry> listFolders() {
  std::vector<FolderEntry> folders;
  HttpResult answer = apiGet("/vdj/folders");
  if (answer.status == 200) {
    if (auto tree = readTree(answer.body)) folders = std::move(*tree);
  }
  // Always there once something is saved or being saved: at a venue whose
  // network is down it is the whole tree, and while a gig is prepared its
  // label shows how far it got.
  const size_t saved = savedCount();
  const SaveProgress progress = saveProgress();
  if (saved == 0 && progress.pending == 0) return folders;
  std::string label = "Sin conexion (" + std::to_string(saved) + ")";
  if (progress.pending > 0) {
    label += ", guardando " + std::to_string(progress.ended) + " de " + std::to_string(progress.total);
  }
  folders.push_back({kOfflineFolder, std::move(label)});
  return folders;
}

std::vector<FolderEntry> readFolders(const std::string &body) {
  return readTree(body).value_or(std::vector<FolderEntry>());
}

}  // namespace tvoz
