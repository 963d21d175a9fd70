// The demo service's HTTP surface: the plug-in's REST API under
// "/wp-json/tvoz/v1", the sign-in page, the token endpoint, and the media
// and covers that the API's answers point at.
#pragma once

#include <functional>
#include <string>

#include <httplib.h>

#include "tools/demo_service/catalogue.h"
#include "tools/demo_service/tokens.h"

namespace demo {

constexpr const char *kApiBase = "/wp-json/tvoz/v1";

struct ServiceSettings {
  std::string origin;   // "http://127.0.0.1:PORT"
  std::string version;  // what "/vdj/version" announces
  long tokenLifetime = 0;  // seconds, reported as "expires_in"
};

// The demo's answer to a request: true when one of its routes took it. The
// catalogue and tokens must outlive the router.
using Router = std::function<bool(const httplib::Request &, httplib::Response &)>;
Router demoRouter(Catalogue &catalogue, Tokens &tokens, const ServiceSettings &settings);

// The request target with the value of every "access_token" query key
// replaced by "***", for the log.
std::string redactTarget(const std::string &target);

}  // namespace demo
