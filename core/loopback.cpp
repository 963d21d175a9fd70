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
    if (readable(s, std::min(deadline, std::chrono::steady_clock::now() + idle))) {
      std::string buffer(maxBytes, '\0');
      const long n = receiveOnce(s, buffer);
      if (n > 0) {
        buffer.resize(static_cast<size_t>(n));
        return buffer;
      }
    }
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
