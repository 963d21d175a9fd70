#include "catalogue/stream.h"

#include <optional>
#include <string>
#include <thread>

#include "offline/cache_index.h"
#include "plugin/json_fields.h"
#include "service/api.h"
#include "service/url.h"

namespace tvoz {

namespace {

constexpr const char *kRefused = "No se pudo abrir la canción (¿sesión vencida?).";
constexpr const char *kInvalid = "Respuesta inválida del servidor.";
constexpr const char *kNoUrl = "Sin URL de streaming.";

// The "url" of a resolve answer; nothing when the answer is not an object
// whose "url", if present, is a string.
std::optional<std::string> addressIn(const std::string &body) {
  auto root = parseJson(body);
  if (!root) return std::nullopt;
  try {
    return readString(*root, "url");
  } catch (const json::exception &) {
    return std::nullopt;
  }
}

}  // namespace

void logPlay(const std::string &id) {
  try {
    std::thread([id] {
      // Nobody waits for this thread: whatever happens ends here.
      try {
        apiGet("/vdj/played?file=" + urlEscape(id));
      } catch (...) {
      }
    }).detach();
  } catch (...) {
    // No thread to be had (std::system_error) or no memory for the copy:
    // the play goes unreported, the host still gets its answer.
  }
}

HRESULT streamUrl(const char *rawId, IVdjString &url, IVdjString &error) {
  const std::string id = rawId ? rawId : "";
  // First, so that local plays and failed resolutions are reported too.
  if (!id.empty()) logPlay(id);

  const std::string local = cachedFileFor(id);
  if (!local.empty()) {
    url.set(("file://" + local).c_str());
    return S_OK;
  }

  HttpResult answer = apiGet("/vdj/resolve?file=" + urlEscape(id));
  if (answer.status != 200) {
    error.set(kRefused);
    return S_FALSE;
  }
  auto address = addressIn(answer.body);
  if (!address) {
    error.set(kInvalid);
    return S_FALSE;
  }
  if (address->empty()) {
    error.set(kNoUrl);
    return S_FALSE;
  }
  url.set(address->c_str());
  return S_OK;
}

}  // namespace tvoz
