#include "core/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/platform.h"

namespace tvoz {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Sockets must not leak into the programs the plug-in starts (the browser
// opener and what it launches would hold the port open).
void closeOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

// Waits until `fd` is readable or `until`; false on time-out or error.
bool readable(int fd, std::chrono::steady_clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

struct LoopbackListener::Impl {
  Fd listener;
  Fd connection;
  Failure failure = Failure::None;
  int port = 0;
};

LoopbackListener::LoopbackListener() : impl_(new Impl) {
  impl_->listener.reset(::socket(AF_INET, SOCK_STREAM, 0));
  const int fd = impl_->listener.get();
  if (fd < 0) {
    impl_->failure = Failure::Socket;
    return;
  }
  closeOnExec(fd);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  // Without the port read back there is no address to redirect to.
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    impl_->failure = Failure::Bind;
    return;
  }
  impl_->port = ntohs(addr.sin_port);
  if (::listen(fd, 1) != 0) impl_->failure = Failure::Listen;
}

LoopbackListener::~LoopbackListener() = default;
LoopbackListener::LoopbackListener(LoopbackListener &&) noexcept = default;
LoopbackListener &LoopbackListener::operator=(LoopbackListener &&) noexcept = default;

LoopbackListener::Failure LoopbackListener::failure() const { return impl_->failure; }

int LoopbackListener::port() const { return impl_->port; }

std::optional<std::string> LoopbackListener::awaitRequest(
    std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds idle,
    size_t maxBytes) {
  std::string buffer(maxBytes, '\0');
  while (readable(impl_->listener.get(), deadline)) {
    int fd = ::accept(impl_->listener.get(), nullptr, nullptr);
    if (fd < 0) continue;  // interrupted, or the peer gave up before it was taken
    impl_->connection.reset(fd);
    closeOnExec(fd);
    if (readable(fd, std::min(deadline, std::chrono::steady_clock::now() + idle))) {
      ssize_t n;
      do {
        n = ::recv(fd, buffer.data(), buffer.size(), 0);
      } while (n < 0 && errno == EINTR);
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
  if (impl_->connection.get() < 0) return;
  sendNoSignal(impl_->connection.get(), bytes.data(), bytes.size());
  impl_->connection.reset();
}

}  // namespace tvoz
