#include "bench/support/delay_proxy.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tvoz_bench {

namespace {

using Clock = std::chrono::steady_clock;

// One direction of a connection: a reader stamps each chunk with its due
// time, a writer delivers it no earlier than that.
void pump(int from, int to, std::chrono::microseconds delay, Clock::time_point notBefore) {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed
  };
  std::mutex m;
  std::condition_variable cv;
  std::deque<Chunk> queue;

  std::thread writer([&] {
    for (;;) {
      Chunk c;
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return !queue.empty(); });
        c = std::move(queue.front());
        queue.pop_front();
      }
      std::this_thread::sleep_until(c.due);
      if (c.bytes.empty()) {
        ::shutdown(to, SHUT_WR);
        return;
      }
      size_t off = 0;
      while (off < c.bytes.size()) {
        ssize_t n = ::send(to, c.bytes.data() + off, c.bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
      }
    }
  });

  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    Clock::time_point due = std::max(Clock::now(), notBefore) + delay;
    std::lock_guard<std::mutex> lock(m);
    queue.push_back({due, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string()});
    cv.notify_one();
    if (n <= 0) break;
  }
  writer.join();
}

}  // namespace

DelayProxy::DelayProxy(int targetPort, std::chrono::microseconds roundTrip)
    : targetPort_(targetPort), oneWay_(roundTrip / 2) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    throw std::runtime_error("delay proxy: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

DelayProxy::~DelayProxy() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
}

void DelayProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    ++connections_;
    std::thread([this, client] { relay(client); }).detach();
  }
}

void DelayProxy::relay(int client) {
  // The handshake's round trip: nothing the client sends arrives before it.
  Clock::time_point open = Clock::now() + 2 * oneWay_;
  int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(targetPort_));
  int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(upstream, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
    std::thread back([&] { pump(upstream, client, oneWay_, {}); });
    pump(client, upstream, oneWay_, open);
    back.join();
  }
  ::close(upstream);
  ::close(client);
}

}  // namespace tvoz_bench
