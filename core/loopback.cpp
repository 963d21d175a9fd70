#include "core/loopback.h"

#include <algorithm>

#include "core/loopback_socket.h"

namespace tvoz {

using namespace loopback;

namespace {

class Socket {
 public:
  explicit Socket(Handle s = kNone) : s_(s) {}
  ~Socket() { reset(); }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  Handle get() const { return s_; }
  void reset(Handle s = kNone) {
    if (s_ != kNone) closeSocket(s_);
    s_ = s;
  }

 private:
  Handle s_;
};

// What the browser sends on `s`: until the empty line that ends the headers,
// `maxBytes`, the peer's end or `idle` since its last byte. Empty when it sent
// nothing.
std::string readRequest(Handle s, std::chrono::steady_clock::time_point deadline,
                        std::chrono::milliseconds idle, size_t maxBytes) {
  std::string request;
  bool whole = false;
  while (!whole && request.size() < maxBytes &&
         readable(s, std::min(deadline, std::chrono::steady_clock::now() + idle))) {
    std::string piece(maxBytes - request.size(), '\0');
    const long n = receiveOnce(s, piece);
    if (n <= 0) break;
    // The empty line may straddle two pieces.
    const size_t from = request.size() < 3 ? 0 : request.size() - 3;
    request.append(piece, 0, static_cast<size_t>(n));
    whole = request.find("\r\n\r\n", from) != std::string::npos;
  }
  return request;
}

}  // namespace

struct LoopbackListener::Impl {
  Socket listener;
  Socket connection;
  Failure failure = Failure::None;
  int port = 0;
};

LoopbackListener::LoopbackListener() : impl_(new Impl) {
  Opened opened = openListener();
  impl_->listener.reset(opened.socket);
  impl_->failure = opened.failure;
  impl_->port = opened.port;
}

LoopbackListener::~LoopbackListener() = default;
LoopbackListener::LoopbackListener(LoopbackListener &&) noexcept = default;
LoopbackListener &LoopbackListener::operator=(LoopbackListener &&) noexcept = default;

LoopbackListener::Failure LoopbackListener::failure() const { return impl_->failure; }

int LoopbackListener::port() const { return impl_->port; }

std::optional<std::string> LoopbackListener::awaitRequest(
    std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds idle,
    size_t maxBytes) {
  while (readable(impl_->listener.get(), deadline)) {
    Handle s = acceptConnection(impl_->listener.get());
    if (s == kNone) continue;  // interrupted, or the peer gave up before it was taken
    impl_->connection.reset(s);
    std::string request = readRequest(s, deadline, idle, maxBytes);
    if (!request.empty()) return request;
    impl_->connection.reset();
  }
  return std::nullopt;
}

void LoopbackListener::reply(const std::string &bytes) {
  if (impl_->connection.get() == kNone) return;
  sendOnce(impl_->connection.get(), bytes);
  impl_->connection.reset();
}

}  // namespace tvoz
