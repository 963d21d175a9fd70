#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/loopback_socket.h"
#include "core/platform.h"

namespace tvoz::loopback {

namespace {

// Sockets must not leak into the programs the plug-in starts (the browser
// opener and what it launches would hold the port open).
void closeOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace

void closeSocket(Handle s) { ::close(static_cast<int>(s)); }

Opened openListener() {
  Opened o;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    o.failure = LoopbackListener::Failure::Socket;
    return o;
  }
  o.socket = fd;
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
    o.failure = LoopbackListener::Failure::Bind;
    return o;
  }
  o.port = ntohs(addr.sin_port);
  if (::listen(fd, 1) != 0) o.failure = LoopbackListener::Failure::Listen;
  return o;
}

bool readable(Handle s, std::chrono::steady_clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{static_cast<int>(s), POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

Handle acceptConnection(Handle listener) {
  int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
  if (fd < 0) return kNone;
  closeOnExec(fd);
  return fd;
}

long receiveOnce(Handle s, std::string &buffer) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(s), buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

void sendOnce(Handle s, const std::string &bytes) {
  sendNoSignal(static_cast<int>(s), bytes.data(), bytes.size());
}

}  // namespace tvoz::loopback
