#include "core/loopback.h"

#include <algorithm>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace tvoz {

namespace {

// Winsock is started once for the process and never stopped: the sign-in
// thread may still hold a socket while the host unloads other things.
bool winsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

class Socket {
 public:
  explicit Socket(SOCKET s = INVALID_SOCKET) : s_(s) {}
  ~Socket() { reset(); }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  SOCKET get() const { return s_; }
  bool ok() const { return s_ != INVALID_SOCKET; }
  void reset(SOCKET s = INVALID_SOCKET) {
    if (ok()) ::closesocket(s_);
    s_ = s;
  }

 private:
  SOCKET s_;
};

// Sockets must not reach the programs the plug-in or the host starts (the
// browser and what it launches would hold the port open).
void notInherited(SOCKET s) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// Waits until `s` is readable (a connection to accept, or data) or `until`;
// false on time-out or error.
bool readable(SOCKET s, std::chrono::steady_clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const long long wait = std::min<long long>(left.count(), 60000);
    timeval tv{static_cast<long>(wait / 1000), static_cast<long>((wait % 1000) * 1000)};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    int n = ::select(0, &set, nullptr, nullptr, &tv);
    if (n > 0) return true;
    if (n < 0 && ::WSAGetLastError() != WSAEINTR) return false;
  }
}

}  // namespace

struct LoopbackListener::Impl {
  Socket listener;
  Socket connection;
  Failure failure = Failure::None;
  int port = 0;
};

LoopbackListener::LoopbackListener() : impl_(new Impl) {
  if (!winsockReady()) {
    impl_->failure = Failure::Socket;
    return;
  }
  impl_->listener.reset(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
  if (!impl_->listener.ok()) {
    // Windows before 7 SP1 does not know the flag.
    impl_->listener.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  }
  const SOCKET s = impl_->listener.get();
  if (!impl_->listener.ok()) {
    impl_->failure = Failure::Socket;
    return;
  }
  notInherited(s);
  // What SO_REUSEADDR gives elsewhere (no wait for an old connection's
  // TIME_WAIT) is Windows' default; Windows' own SO_REUSEADDR would instead
  // let another program bind the same port and take the sign-in code. This
  // option forbids exactly that.
  BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
               sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  // Without the port read back there is no address to redirect to.
  if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    impl_->failure = Failure::Bind;
    return;
  }
  impl_->port = ntohs(addr.sin_port);
  if (::listen(s, 1) != 0) impl_->failure = Failure::Listen;
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
  const int want = static_cast<int>(std::min<size_t>(maxBytes, 1 << 30));
  while (readable(impl_->listener.get(), deadline)) {
    SOCKET s = ::accept(impl_->listener.get(), nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;  // the peer gave up before it was taken
    impl_->connection.reset(s);
    notInherited(s);
    if (readable(s, std::min(deadline, std::chrono::steady_clock::now() + idle))) {
      int n = ::recv(s, buffer.data(), want, 0);
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
  if (!impl_->connection.ok()) return;
  // Windows raises no signal for a peer that has gone: the send just fails.
  ::send(impl_->connection.get(), bytes.data(),
         static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)), 0);
  impl_->connection.reset();
}

}  // namespace tvoz
