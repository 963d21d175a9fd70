#include "tests/support/fake_service.h"

#include <stdexcept>

namespace tvoz_test {

namespace {

// One detached thread per connection. The plug-in keeps idle connections
// open for reuse, and a pooled server would wait for each of them to time
// out before it could stop; with detached workers the service stops at once.
class DetachedWorkers : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { std::thread(std::move(fn)).detach(); }
  void shutdown() override {}
};

// Servers whose workers may still be running: kept for the life of the process.
std::vector<std::unique_ptr<httplib::Server>> &retiredServers() {
  static auto *servers = new std::vector<std::unique_ptr<httplib::Server>>();
  return *servers;
}

}  // namespace

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

void reply(httplib::Response &res, int status, const json &body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

FakeService::FakeService() : server_(std::make_unique<httplib::Server>()) { start(); }

FakeService::FakeService(int port) : server_(std::make_unique<httplib::Server>()) {
  start(port);
}

FakeService::FakeService(const Tls &tls)
    : server_(std::make_unique<httplib::SSLServer>(tls.certFile.c_str(), tls.keyFile.c_str())),
      tls_(true) {
  start();
}

void FakeService::start(int port) {
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
  server_->Put(".*", any);
  server_->Delete(".*", any);
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) throw std::runtime_error("fake service: cannot bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is a no-op until the accept loop runs, so do not hand out a
  // service that could not be stopped.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

FakeService::~FakeService() {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->closed = true;
  }
  server_->stop();
  if (thread_.joinable()) thread_.join();
  static std::mutex retiredMutex;
  std::lock_guard<std::mutex> lock(retiredMutex);
  retiredServers().push_back(std::move(server_));
}

std::string FakeService::origin() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void FakeService::on(const std::string &method, const std::string &path, Handler handler) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->handlers[method + " " + path] = std::move(handler);
}

void FakeService::api(const std::string &apiPath, Handler handler) {
  on("GET", kApi + apiPath, std::move(handler));
}

void FakeService::api(const std::string &apiPath, int status, const std::string &body) {
  api(apiPath, [status, body](const Request &, httplib::Response &res) {
    res.status = status;
    res.set_content(body, "application/json");
  });
}

void FakeService::api(const std::string &apiPath, int status, const json &body) {
  api(apiPath, status, body.dump());
}

void FakeService::dispatch(Core &core, const httplib::Request &req, httplib::Response &res) {
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
    auto it = core.handlers.find(r.method + " " + r.path);
    if (it != core.handlers.end()) handler = it->second;
  }
  core.arrived.notify_all();
  if (handler) {
    handler(r, res);
  } else {
    res.status = 404;
    res.set_content("{\"message\":\"no route\"}", "application/json");
  }
}

std::vector<Request> FakeService::requests() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->log;
}

void FakeService::clearRequests() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->log.clear();
  core_->log.shrink_to_fit();
}

std::vector<Request> FakeService::requestsTo(const std::string &path) const {
  std::vector<Request> out;
  std::lock_guard<std::mutex> lock(core_->mutex);
  for (const auto &r : core_->log) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

std::vector<Request> FakeService::apiRequests(const std::string &apiPath) const {
  return requestsTo(kApi + apiPath);
}

bool FakeService::waitFor(const std::string &path, size_t count,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->arrived.wait_for(lock, timeout, [&] {
    size_t n = 0;
    for (const auto &r : core_->log) n += r.path == path;
    return n >= count;
  });
}

}  // namespace tvoz_test
