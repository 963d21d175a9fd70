#include "plugin/update_check.h"

#include <string>
#include <thread>

#include "dialogs/dialogs.h"
#include "plugin/json_fields.h"
#include "plugin/platform.h"
#include "service/api.h"
#include "service/http.h"

namespace tvoz {

void checkForUpdate() noexcept {
  try {
    HttpResult answer = httpGet(apiBase() + "/vdj/version", false);
    if (answer.status != 200) return;
    auto root = parseJson(answer.body);
    if (!root) return;
    // Both members are read before anything is decided: a bad "url" stops
    // the check even when the version is newer.
    std::string version = readString(*root, "version");
    std::string url = readString(*root, "url");
    // Text order, not numeric: "1.0.10" and "1.0.0-beta" are newer, "1.0" is not.
    if (version.empty() || !(std::string(kPluginVersion) < version)) return;
    std::string message = "Hay una version nueva del plugin Tornavoz (" + version +
                          "). Se abrira la descarga; instalala para tener las ultimas mejoras.";
    tvoz_alert_mac(message.c_str());
    if (!url.empty()) openUrl(url);
  } catch (...) {
  }
}

void startUpdateCheck() {
  try {
    std::thread(checkForUpdate).detach();
  } catch (...) {
  }
}

}  // namespace tvoz
