// Authorised calls to the service's REST API.
#pragma once

#include <string>

#include "service/http.h"

namespace tvoz {

// The configured "service_origin", else the origin the build was made for.
std::string serviceOrigin();
// serviceOrigin() + "/wp-json/tvoz/v1"
std::string apiBase();
// apiBase() + "/oauth/token"
std::string tokenEndpoint();

// GET apiBase() + path with the access token. A 401 is cured by one refresh
// grant and one repeat; when several threads meet the 401 together only one
// of them spends the refresh token and the others repeat with its result.
// Blocking; any thread.
HttpResult apiGet(const std::string &path);

}  // namespace tvoz
