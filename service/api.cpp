#include "service/api.h"

#include <mutex>
#include <optional>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "service/device.h"
#include "service/reachability.h"
#include "service/tokens.h"
#include "service/url.h"

#ifndef TVOZ_SERVICE_ORIGIN
#error "TVOZ_SERVICE_ORIGIN must be defined by the build"
#endif

namespace tvoz {

namespace {

// Runs the refresh grant for the session `mark` names; true with the new
// access token in `fresh` when it succeeded and that session still holds.
// Caller holds the refresh lock.
bool runRefreshGrant(SessionMark mark, const std::string &refresh, std::string &fresh) {
  std::string body =
      "grant_type=refresh_token&refresh_token=" + refresh + "&device=" + urlEscape(deviceId());
  HttpResult grant = tokenGrant(body);
  if (grant.status != 200) {
    logLine("refresh falló: " + std::to_string(grant.status));
    return false;
  }
  RefreshGrant read = readRefreshGrant(grant.body);
  if (read.outcome == RefreshGrant::kNothing) return false;
  const bool whole = read.outcome == RefreshGrant::kStore;
  // The DJ may have signed out (or in again) while the grant was away.
  if (!renewTokens(mark, read.access, whole ? read.refresh : std::nullopt, whole)) {
    logLine("refresh descartado: la sesión terminó mientras tanto");
    return false;
  }
  fresh = read.access;
  return whole && !fresh.empty();
}

}  // namespace

std::optional<std::string> refreshAfter(const std::string &refused) {
  static std::mutex &refreshMutex = *new std::mutex;
  std::lock_guard<std::mutex> lock(refreshMutex);
  std::string current = accessToken();
  if (!current.empty() && current != refused) return current;
  // The mark comes first: a sign-out after it, even before the refresh token
  // is read, drops whatever this grant brings back.
  const SessionMark mark = sessionMark();
  std::string refresh = refreshToken();
  std::string fresh;
  if (refresh.empty() || !runRefreshGrant(mark, refresh, fresh)) return std::nullopt;
  return fresh;
}

RefreshGrant readRefreshGrant(const std::string &body) {
  RefreshGrant read;
  auto root = parseJson(body);
  if (!root) return read;
  try {
    read.access = readString(*root, "access_token");
  } catch (const json::exception &) {
    return read;
  }
  try {
    if (root->contains("refresh_token")) read.refresh = root->at("refresh_token").get<std::string>();
  } catch (const json::exception &) {
    read.outcome = RefreshGrant::kAccessUnsaved;  // read before the bad member
    return read;
  }
  read.outcome = RefreshGrant::kStore;
  return read;
}

std::string serviceOrigin() {
  std::string origin = configGet("service_origin");
  if (origin.empty()) origin = TVOZ_SERVICE_ORIGIN;
  if (!origin.empty() && origin.back() == '/') origin.pop_back();
  return origin;
}

std::string apiBase() { return serviceOrigin() + kApiPath; }

std::string tokenEndpoint() { return apiBase() + "/oauth/token"; }

namespace {

template <class Result>
Result noted(const std::string &origin, Result result) {
  noteFirstHop(origin, result.firstHop);
  return result;
}

}  // namespace

HttpResult apiGet(const std::string &path) {
  const std::string origin = serviceOrigin();
  if (!serviceReachable(origin)) return {};
  const std::string url = origin + kApiPath + path;
  const std::string sent = accessToken();
  HttpResult first = noted(origin, httpGetWithToken(url, sent));
  if (first.status != 401) return first;
  auto fresh = refreshAfter(sent);
  if (!fresh) return first;
  return noted(origin, httpGetWithToken(url, *fresh));
}

HttpResult tokenGrant(const std::string &form) {
  const std::string origin = serviceOrigin();
  return noted(origin, httpPostForm(origin + kApiPath + "/oauth/token", form));
}

HttpResult versionGet(const std::string &origin) {
  return noted(origin, httpGet(origin + kApiPath + "/vdj/version", false));
}

Transfer apiDownload(const std::string &path, const std::string &token, const ByteSink &sink,
                     const TransferLimit &limit, const Resume &resume) {
  const std::string origin = serviceOrigin();
  return noted(origin, httpDownload(withToken(origin + kApiPath + path, token), token, sink, limit, resume));
}

}  // namespace tvoz
