#include "tests/support/raw_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tvoz_test {

namespace {

bool recvSome(int fd, std::string &into) {
  char buf[65536];
  ssize_t n;
  do {
    n = ::recv(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  into.append(buf, static_cast<size_t>(n));
  return true;
}

void sendAll(int fd, const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

size_t contentLength(const std::string &head) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (strncasecmp(head.c_str() + at, "content-length:", 15) == 0) {
      return std::stoul(head.substr(at + 15));
    }
  }
  return 0;
}

}  // namespace

std::string rawResponse(int status, const std::string &body, long length) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\n" +
         "Content-Length: " + std::to_string(length < 0 ? static_cast<long>(body.size()) : length) +
         "\r\nConnection: close\r\n\r\n" + body;
}

RawServer::RawServer(RawResponder responder) : responder_(std::move(responder)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("raw server: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
  // Wakes the blocked accept(), which then fails and ends the loop, and a
  // connection the client opened but never used.
  ::shutdown(listenFd_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (activeFd_ >= 0) ::shutdown(activeFd_, SHUT_RDWR);
  }
  thread_.join();
  ::close(listenFd_);
}

std::string RawServer::origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<RawRequest> RawServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void RawServer::serve() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      activeFd_ = fd;
    }
    handle(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    activeFd_ = -1;
    ::close(fd);
  }
}

void RawServer::handle(int fd) {
  // A client that stops talking cannot hold the server up for long.
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string data;
  size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (!recvSome(fd, data)) return;
  }
  RawRequest r;
  r.head = data.substr(0, end + 2);
  size_t need = contentLength(r.head);
  r.body = data.substr(end + 4);
  if (r.head.find("100-continue") != std::string::npos) sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  while (r.body.size() < need) {
    if (!recvSome(fd, r.body)) return;
  }
  size_t sp1 = r.head.find(' ');
  size_t sp2 = r.head.find(' ', sp1 + 1);
  r.method = r.head.substr(0, sp1);
  r.target = r.head.substr(sp1 + 1, sp2 - sp1 - 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(r);
  }
  sendAll(fd, responder_(r));
  // Everything sent reaches the client before it sees the end.
  ::shutdown(fd, SHUT_WR);
  char sink[4096];
  while (::recv(fd, sink, sizeof sink, 0) > 0) {
  }
}

}  // namespace tvoz_test
