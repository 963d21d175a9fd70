// The demo service's HTTP surface: the plug-in's REST API under
// "/wp-json/tvoz/v1", the sign-in page, the token endpoint, and the media
// and covers that the API's answers point at.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <httplib.h>

#include "tools/demo_service/catalogue.h"
#include "tools/demo_service/tokens.h"

namespace demo {

constexpr const char *kApiBase = "/wp-json/tvoz/v1";
// On an answer cut on purpose: how many bytes of its body went out.
constexpr const char *kCutHeader = "X-Demo-Cut-After";

struct ServiceSettings {
  std::string origin;   // "http://127.0.0.1:PORT"
  std::string version;  // what "/vdj/version" announces
  long tokenLifetime = 0;  // seconds, reported as "expires_in"
};

// Tracks whose next audio answer (its download or its media address) is cut
// off: that many bytes of the body go out, then the connection drops. Each
// cut is spent by the answer it breaks, so the next request is served whole,
// as a flaky network would. Any thread.
class Cuts {
 public:
  void add(const std::string &trackId, size_t bytes);
  // The bytes to send before cutting `trackId`'s answer, spent by asking.
  std::optional<size_t> take(const std::string &trackId);

 private:
  std::mutex mutex_;
  std::map<std::string, size_t> pending_;
};

// The demo's answer to a request: true when one of its routes took it. The
// catalogue, tokens and cuts must outlive the router.
using Router = std::function<bool(const httplib::Request &, httplib::Response &)>;
Router demoRouter(Catalogue &catalogue, Tokens &tokens, Cuts &cuts,
                  const ServiceSettings &settings);

// Promises `body` whole, sends its first `sent` bytes and drops the
// connection: an answer cut off in mid-transfer. Asked for a range of the
// body, it promises the range and sends `sent` bytes from its start.
void sendCut(httplib::Response &res, const std::string &body, size_t sent,
             const char *contentType = "application/json");

// The request target with the value of every "access_token" query key
// replaced by "***", for the log.
std::string redactTarget(const std::string &target);

}  // namespace demo
