#include "catalogue/stream.h"

#include <optional>
#include <string>
#include <thread>
#include <utility>

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
  const Resolution resolved = readResolveBody(answer.body);
  if (!resolved.error.empty()) {
    error.set(resolved.error.c_str());
    return S_FALSE;
  }
  url.set(resolved.url.c_str());
  return S_OK;
}

Resolution readResolveBody(const std::string &body) {
  auto address = addressIn(body);
  if (!address) return {"", kInvalid};
  if (address->empty()) return {"", kNoUrl};
  return {std::move(*address), ""};
}

}  // namespace tvoz
