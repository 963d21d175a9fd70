#include "plugin/update_check.h"

#include <string>

#include "core/json_fields.h"
#include "core/platform.h"
#include "core/threads.h"
#include "dialogs/dialogs.h"
#include "service/api.h"
#include "service/http.h"
#include "service/reachability.h"

namespace tvoz {

void checkForUpdate() noexcept {
  try {
    BackgroundTransfers background;
    const std::string origin = serviceOrigin();
    if (!serviceReachable(origin)) return;  // the probe is on it already
    HttpResult answer = versionGet(origin);
    if (answer.status != 200) return;
    auto notice = updateNoticeFor(answer.body);
    if (!notice) return;
    std::string message = "Hay una version nueva del plugin Tornavoz (" + notice->version +
                          "). Se abrira la descarga; instalala para tener las ultimas mejoras.";
    tvoz_alert_mac(message.c_str());
    if (!notice->url.empty()) openUrl(notice->url);
  } catch (...) {
  }
}

std::optional<UpdateNotice> updateNoticeFor(const std::string &body) {
  auto root = parseJson(body);
  if (!root) return std::nullopt;
  UpdateNotice notice;
  try {
    // Both members are read before anything is decided: a bad "url" stops
    // the check even when the version is newer.
    notice.version = readString(*root, "version");
    notice.url = readString(*root, "url");
  } catch (const json::exception &) {
    return std::nullopt;
  }
  // Text order, not numeric: "1.0.10" and "1.0.0-beta" are newer, "1.0" is not.
  if (notice.version.empty() || !(std::string(kPluginVersion) < notice.version)) return std::nullopt;
  return notice;
}

void startUpdateCheck() {
  startThread(checkForUpdate);
}

}  // namespace tvoz
