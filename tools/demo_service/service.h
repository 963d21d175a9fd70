// The demo service as a library: the record pool's REST API, sign-in page and
// token endpoint (routes.cpp) on 127.0.0.1, served on threads of its own.
// tvoz-demo-service runs one; the tests run one per test and reshape it: a
// test may answer any route in place of the demo, wrap the demo's answer,
// see every request as it was sent, and break answers on purpose.
//
// Every member function may be called from any thread while requests are
// being served.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "tools/demo_service/catalogue.h"
#include "tools/demo_service/routes.h"  // sendCut, for a test's own answers
#include "tools/demo_service/tokens.h"

namespace demo {

// A request as it reached the service.
struct Request {
  std::string method;
  std::string path;    // decoded, without the query
  std::string target;  // path and query exactly as sent
  std::string query;   // the raw query after "?" ("" when none)
  std::multimap<std::string, std::string> headers;
  std::string body;
  int clientPort = 0;
  // The server's own view, for query values; only while a handler runs.
  const httplib::Request *http = nullptr;

  std::string header(const std::string &name) const;  // "" when absent
  bool hasHeader(const std::string &name) const;
};

using Handler = std::function<void(const Request &, httplib::Response &)>;

class Service {
 public:
  struct Options {
    int port = 0;                    // 0: the system picks one
    std::string version = "1.0.0";   // what "/vdj/version" announces
    long tokenLifetime = 3600;       // seconds an access token lives
    std::string certFile, keyFile;   // HTTPS with this certificate when set
    bool logToStderr = false;        // one line per request, tokens hidden
  };

  explicit Service(const Options &options);
  Service() : Service(Options{}) {}
  // Stops at once, even while clients keep idle connections open.
  ~Service();
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  std::string origin() const;  // "http://127.0.0.1:PORT" (https with a certificate)
  int port() const { return port_; }
  Catalogue &catalogue();
  Tokens &tokens();
  httplib::Server &server() { return *server_; }

  // Answers `method` requests for the exact decoded `path` with `handler` in
  // place of the demo's own route.
  void on(const std::string &method, const std::string &path, Handler handler);
  // The same for a GET of the API base + `apiPath`.
  void api(const std::string &apiPath, Handler handler);
  void api(const std::string &apiPath, int status, const std::string &body);
  // What the demo itself answers to `request`, for a handler that wraps it.
  void serveDefault(const Request &request, httplib::Response &response);

  // Cuts the next answer carrying `trackId`'s audio after `bytes` bytes of
  // its body (the connection drops); the request after it is served whole.
  void cutOnce(const std::string &trackId, size_t bytes);

  std::vector<Request> requests() const;
  std::vector<Request> requestsTo(const std::string &path) const;
  std::vector<Request> apiRequests(const std::string &apiPath) const;
  void clearRequests();
  // Waits until `count` requests have reached `path`; false after `timeout`.
  bool waitFor(const std::string &path, size_t count,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  // What the server's connection threads share with the owner. It outlives
  // the Service: a connection a client keeps open may still bring a request
  // after the service stopped, which is then refused.
  struct Core;
  static void dispatch(Core &core, const httplib::Request &req, httplib::Response &res);

  std::unique_ptr<httplib::Server> server_;
  std::shared_ptr<Core> core_;
  bool tls_ = false;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace demo
