#include "catalogue/folders.h"

#include <string>

#include "plugin/json_fields.h"
#include "service/api.h"

namespace tvoz {

HRESULT listFolders(IVdjSubfoldersList *list) {
  HttpResult answer = apiGet("/vdj/folders");
  if (answer.status != 200 || list == nullptr) return S_OK;
  auto root = parseJson(answer.body);
  if (!root) return S_OK;
  try {
    // A bad element ends the listing; the folders before it stay with the host.
    forEachElement(memberOf(*root, "folders"), [list](const json &folder) {
      std::string id = readString(folder, "id");
      std::string name = readString(folder, "name");
      int32_t count = readInt32(folder, "count");
      if (id.empty()) return;
      std::string label = name + " (" + std::to_string(count) + ")";
      list->add(id.c_str(), label.c_str());
    });
  } catch (const json::exception &) {
  }
  return S_OK;
}

}  // namespace tvoz
