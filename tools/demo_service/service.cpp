#include "tools/demo_service/service.h"

#include <cstdio>
#include <stdexcept>
#include <strings.h>

#include "tools/demo_service/routes.h"

namespace demo {

namespace {

// One detached thread per connection. Clients keep idle connections open for
// reuse, and a pooled server would wait for each of them to time out before
// it could stop; with detached workers the service stops at once.
class DetachedWorkers : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { std::thread(std::move(fn)).detach(); }
  void shutdown() override {}
};

// Servers whose workers may still be running: kept for the life of the process.
void retire(std::unique_ptr<httplib::Server> server) {
  static std::mutex mutex;
  static auto *retired = new std::vector<std::unique_ptr<httplib::Server>>();
  std::lock_guard<std::mutex> lock(mutex);
  retired->push_back(std::move(server));
}

}  // namespace

struct Service::Core {
  std::mutex mutex;
  std::condition_variable arrived;
  std::map<std::string, Handler> overrides;  // "METHOD path"
  std::vector<Request> log;
  std::unique_ptr<Catalogue> catalogue;
  std::unique_ptr<Tokens> tokens;
  Cuts cuts;
  Router router;  // refers to the catalogue, the tokens and the cuts above
  bool closed = false;
};

std::string Request::header(const std::string &name) const {
  for (const auto &[k, v] : headers) {
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  }
  return "";
}

bool Request::hasHeader(const std::string &name) const {
  for (const auto &kv : headers) {
    if (strcasecmp(kv.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

Service::Service(const Options &options) : core_(std::make_shared<Core>()) {
  tls_ = !options.certFile.empty();
  server_ = tls_ ? std::make_unique<httplib::SSLServer>(options.certFile.c_str(),
                                                        options.keyFile.c_str())
                 : std::make_unique<httplib::Server>();
  std::shared_ptr<Core> core = core_;
  auto any = [core](const httplib::Request &req, httplib::Response &res) {
    dispatch(*core, req, res);
  };
  server_->new_task_queue = [] { return new DetachedWorkers(); };
  server_->set_keep_alive_max_count(1000);
  // The status line and the body go out in separate writes: without this,
  // each answer on a reused connection waits for a delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  server_->Get(".*", any);
  server_->Post(".*", any);
  if (options.logToStderr) {
    server_->set_logger([](const httplib::Request &req, const httplib::Response &res) {
      // The range asked for shows, so that a resumed download can be told
      // from a fresh one.
      std::string line = req.method + " " + redactTarget(req.target) + " " +
                         std::to_string(res.status);
      if (req.has_header("Range")) line += " (Range: " + req.get_header_value("Range") + ")";
      if (res.has_header(kCutHeader)) {
        line += " cut after " + res.get_header_value(kCutHeader) + " bytes";
      }
      line += "\n";
      std::fputs(line.c_str(), stderr);
    });
  }
  // Options first: the listening socket is made with them.
  if (options.port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", options.port) ? options.port : -1;
  }
  if (port_ <= 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port));
  }
  core_->catalogue = std::make_unique<Catalogue>(origin());
  core_->tokens = std::make_unique<Tokens>(std::chrono::seconds(options.tokenLifetime));
  core_->router = demoRouter(*core_->catalogue, *core_->tokens, core_->cuts,
                             {origin(), options.version, options.tokenLifetime});

  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() does nothing until the accept loop runs, so do not hand out a
  // service that could not be stopped.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

Service::~Service() {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->closed = true;
  }
  server_->stop();
  if (thread_.joinable()) thread_.join();
  retire(std::move(server_));
}

Catalogue &Service::catalogue() { return *core_->catalogue; }

Tokens &Service::tokens() { return *core_->tokens; }

std::string Service::origin() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void Service::on(const std::string &method, const std::string &path, Handler handler) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->overrides[method + " " + path] = std::move(handler);
}

void Service::api(const std::string &apiPath, Handler handler) {
  on("GET", kApiBase + apiPath, std::move(handler));
}

void Service::api(const std::string &apiPath, int status, const std::string &body) {
  api(apiPath, [status, body](const Request &, httplib::Response &res) {
    res.status = status;
    res.set_content(body, "application/json");
  });
}

void Service::serveDefault(const Request &request, httplib::Response &response) {
  if (!request.http || !core_->router(*request.http, response)) response.status = 404;
}

void Service::dispatch(Core &core, const httplib::Request &req, httplib::Response &res) {
  Request r;
  r.method = req.method;
  r.path = req.path;
  r.target = req.target;
  auto q = req.target.find('?');
  r.query = q == std::string::npos ? "" : req.target.substr(q + 1);
  r.headers.insert(req.headers.begin(), req.headers.end());
  r.body = req.body;
  r.clientPort = req.remote_port;
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.closed) {
      res.status = 503;
      return;
    }
    core.log.push_back(r);
    auto it = core.overrides.find(r.method + " " + r.path);
    if (it != core.overrides.end()) handler = it->second;
  }
  core.arrived.notify_all();
  r.http = &req;
  if (handler) {
    handler(r, res);
  } else if (!core.router(req, res)) {
    res.status = 404;
    res.set_content("{\"message\":\"no route\"}", "application/json");
  }
}

void Service::cutOnce(const std::string &trackId, size_t bytes) {
  core_->cuts.add(trackId, bytes);
}

std::vector<Request> Service::requests() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->log;
}

std::vector<Request> Service::requestsTo(const std::string &path) const {
  std::vector<Request> out;
  std::lock_guard<std::mutex> lock(core_->mutex);
  for (const auto &r : core_->log) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

std::vector<Request> Service::apiRequests(const std::string &apiPath) const {
  return requestsTo(kApiBase + apiPath);
}

void Service::clearRequests() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  std::vector<Request>().swap(core_->log);
}

bool Service::waitFor(const std::string &path, size_t count,
                      std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->arrived.wait_for(lock, timeout, [&] {
    size_t n = 0;
    for (const auto &r : core_->log) n += r.path == path;
    return n >= count;
  });
}

}  // namespace demo
