#include "catalogue/stream.h"

#include <optional>
#include <string>
#include <utility>

#include "core/json_fields.h"
#include "core/threads.h"
#include "offline/cache_index.h"
#include "service/api.h"
#include "service/http.h"
#include "service/reachability.h"
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
  if (!serviceReachable()) return;
  // Without a thread the play goes unreported; the host still gets its answer.
  startThread([id] {
    BackgroundTransfers background;
    apiGet("/vdj/played?file=" + urlEscape(id));
  });
}

Resolution streamUrl(const std::string &id) {
  // First, so that local plays and failed resolutions are reported too.
  if (!id.empty()) logPlay(id);

  const std::string local = cachedFileFor(id);
  if (!local.empty()) return {"file://" + local, ""};

  HttpResult answer = apiGet("/vdj/resolve?file=" + urlEscape(id));
  if (answer.status != 200) return {"", kRefused};
  return readResolveBody(answer.body);
}

Resolution readResolveBody(const std::string &body) {
  auto address = addressIn(body);
  if (!address) return {"", kInvalid};
  if (address->empty()) return {"", kNoUrl};
  return {std::move(*address), ""};
}

}  // namespace tvoz
