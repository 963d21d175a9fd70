#include <algorithm>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "core/loopback_socket.h"

namespace tvoz::loopback {

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

SOCKET native(Handle s) { return static_cast<SOCKET>(s); }

// Sockets must not reach the programs the plug-in or the host starts (the
// browser and what it launches would hold the port open).
void notInherited(SOCKET s) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

void closeSocket(Handle s) { ::closesocket(native(s)); }

Opened openListener() {
  Opened o;
  if (!winsockReady()) {
    o.failure = LoopbackListener::Failure::Socket;
    return o;
  }
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Windows before 7 SP1 does not know the flag.
  if (s == INVALID_SOCKET) s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    o.failure = LoopbackListener::Failure::Socket;
    return o;
  }
  o.socket = static_cast<Handle>(s);
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
    o.failure = LoopbackListener::Failure::Bind;
    return o;
  }
  o.port = ntohs(addr.sin_port);
  if (::listen(s, 1) != 0) o.failure = LoopbackListener::Failure::Listen;
  return o;
}

bool readable(Handle s, std::chrono::steady_clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const long long wait = std::min<long long>(left.count(), 60000);
    timeval tv{static_cast<long>(wait / 1000), static_cast<long>((wait % 1000) * 1000)};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(s), &set);
    int n = ::select(0, &set, nullptr, nullptr, &tv);
    if (n > 0) return true;
    if (n < 0 && ::WSAGetLastError() != WSAEINTR) return false;
  }
}

Handle acceptConnection(Handle listener) {
  SOCKET s = ::accept(native(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNone;
  notInherited(s);
  return static_cast<Handle>(s);
}

long receiveOnce(Handle s, std::string &buffer) {
  return ::recv(native(s), buffer.data(), static_cast<int>(std::min<size_t>(buffer.size(), 1 << 30)), 0);
}

// Windows raises no signal for a peer that has gone: the send just fails.
void sendOnce(Handle s, const std::string &bytes) {
  ::send(native(s), bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)), 0);
}

}  // namespace tvoz::loopback
