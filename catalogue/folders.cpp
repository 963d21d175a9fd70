#include "catalogue/folders.h"

#include <algorithm>

#include "core/json_fields.h"
#include "service/api.h"

namespace tvoz {

std::vector<FolderEntry> listFolders() {
  HttpResult answer = apiGet("/vdj/folders");
  if (answer.status != 200) return {};
  return readFolders(answer.body);
}

std::vector<FolderEntry> readFolders(const std::string &body) {
  std::vector<FolderEntry> folders;
  auto root = parseJson(body);
  if (!root) return folders;
  try {
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

}  // namespace tvoz
