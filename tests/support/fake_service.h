// A stand-in for the service: a real HTTP server on 127.0.0.1 with a port the
// system picks. Tests register a handler per path; every request is logged
// (method, raw target, headers, body, client port) before it is answered.
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
#include <nlohmann/json.hpp>

namespace tvoz_test {

using json = nlohmann::json;

struct Request {
  std::string method;
  std::string path;   // decoded path, without the query
  std::string target; // the raw request target, path and query as sent
  std::string query;  // the raw query, after "?" ("" when none)
  std::multimap<std::string, std::string> headers;
  std::string body;
  int clientPort = 0;

  std::string header(const std::string &name) const;  // "" when absent
  bool hasHeader(const std::string &name) const;
};

using Handler = std::function<void(const Request &, httplib::Response &)>;

// The API base below the origin.
constexpr const char *kApi = "/wp-json/tvoz/v1";

class FakeService {
 public:
  struct Tls {
    std::string certFile, keyFile;
  };
  FakeService();
  // On a given port, e.g. to stand in for a service that restarted.
  explicit FakeService(int port);
  explicit FakeService(const Tls &tls);
  ~FakeService();
  FakeService(const FakeService &) = delete;
  FakeService &operator=(const FakeService &) = delete;

  std::string origin() const;  // "http://127.0.0.1:PORT" (https with Tls)
  int port() const { return port_; }

  // Handlers by method and exact decoded path under the origin. Unregistered
  // paths answer 404.
  void on(const std::string &method, const std::string &path, Handler handler);
  // GET of kApi + apiPath.
  void api(const std::string &apiPath, Handler handler);
  // GET of kApi + apiPath answering `status` with `body`.
  void api(const std::string &apiPath, int status, const std::string &body);
  void api(const std::string &apiPath, int status, const json &body);

  std::vector<Request> requests() const;
  // Forgets the requests logged so far (a long test keeps its memory flat).
  void clearRequests();
  // Requests whose decoded path is `path` (an API path is given with kApi).
  std::vector<Request> requestsTo(const std::string &path) const;
  std::vector<Request> apiRequests(const std::string &apiPath) const;
  // Waits until `count` requests reached `path`; false after `timeout`.
  bool waitFor(const std::string &path, size_t count,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  httplib::Server &server() { return *server_; }

 private:
  void start(int port = 0);

  // What the server's connection threads share with the test. It outlives
  // the FakeService: a connection the plug-in keeps open may still bring a
  // request after the test is over, which is then refused without running
  // a handler of the finished test.
  struct Core {
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<std::string, Handler> handlers;  // "METHOD path"
    std::vector<Request> log;
    bool closed = false;
  };
  static void dispatch(Core &core, const httplib::Request &req, httplib::Response &res);

  std::unique_ptr<httplib::Server> server_;
  std::shared_ptr<Core> core_ = std::make_shared<Core>();
  bool tls_ = false;
  int port_ = 0;
  std::thread thread_;
};

// Answers `status` with a JSON body.
void reply(httplib::Response &res, int status, const json &body);

}  // namespace tvoz_test
