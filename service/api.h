// Authorised calls to the service's REST API.
#pragma once

#include <optional>
#include <string>

#include "service/http.h"

namespace tvoz {

// The configured "service_origin", else the origin the build was made for.
std::string serviceOrigin();
constexpr const char *kApiPath = "/wp-json/tvoz/v1";
// serviceOrigin() + kApiPath
std::string apiBase();
// apiBase() + "/oauth/token"
std::string tokenEndpoint();

// Every request below goes first to the service's origin, and what its first
// hop found there is noted (service/reachability.h). Blocking; any thread.

// GET apiBase() + path with the access token. A 401 is cured by one refresh
// grant and one repeat; when several threads meet the 401 together only one
// of them spends the refresh token and the others repeat with its result.
// Nothing is sent while the service is unreachable: status 0 at once.
HttpResult apiGet(const std::string &path);

// POST of a form to the token endpoint; it goes out whatever is known of the
// service, since a browser that has just reached it brings the sign-in code.
HttpResult tokenGrant(const std::string &form);

// The version endpoint of `origin` (the configured one, read once by the
// caller), without credentials.
HttpResult versionGet(const std::string &origin);

// httpDownload of apiBase() + path, the token in the query and the header.
Transfer apiDownload(const std::string &path, const std::string &token, const ByteSink &sink,
                     const TransferLimit &limit, const Resume &resume);

// After the service refused the access token `refused`: the token to repeat
// with, or nothing. One refresh runs at a time; a caller whose refused token
// another thread has already replaced gets the new one without spending the
// refresh token again. A failed grant is logged ("refresh falló: <status>").
std::optional<std::string> refreshAfter(const std::string &refused);

// What the body of a refresh grant's 200 answer asks to keep. A body that is
// not an object, or whose "access_token" is not a string, changes nothing. A
// "refresh_token" present but not a string leaves only the access token,
// which is then kept in memory without saving. Otherwise both are stored and
// saved, the refresh token only when the member is present. Never throws a
// JSON error; touches no state.
struct RefreshGrant {
  enum Outcome { kNothing, kAccessUnsaved, kStore };
  Outcome outcome = kNothing;
  std::string access;
  std::optional<std::string> refresh;
};
RefreshGrant readRefreshGrant(const std::string &body);

}  // namespace tvoz
