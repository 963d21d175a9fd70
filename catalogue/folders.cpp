#include "catalogue/folders.h"

#include <algorithm>
#include <string>

#include "plugin/json_fields.h"
#include "service/api.h"

namespace tvoz {

HRESULT listFolders(IVdjSubfoldersList *list) {
  HttpResult answer = apiGet("/vdj/folders");
  if (answer.status == 200) listFoldersBody(answer.body, list);
  return S_OK;
}

void listFoldersBody(const std::string &body, IVdjSubfoldersList *list) {
  if (list == nullptr) return;
  auto root = parseJson(body);
  if (!root) return;
  try {
    // A bad element ends the listing; the folders before it stay with the host.
    forEachElement(memberOf(*root, "folders"), [list](const json &folder) {
      std::string id = readString(folder, "id");
      std::string name = readString(folder, "name");
      int32_t count = readInt32(folder, "count");
      // The host takes texts up to a NUL byte: an id holding one would come
      // back as another folder's, and a name holding one would lose its count.
      if (id.empty() || id.find('\0') != std::string::npos) return;
      name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
      std::string label = name + " (" + std::to_string(count) + ")";
      list->add(id.c_str(), label.c_str());
    });
  } catch (const json::exception &) {
  }
}

}  // namespace tvoz
