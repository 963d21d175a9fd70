#include "tools/demo_service/gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace demo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 64;

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = loopback(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Copies bytes one way until the sender closes (passed on as a half close)
// or either side fails. Each chunk goes on `delay` after it came, and none
// before `notBefore`.
void pump(int from, int to, Clock::duration delay, Clock::time_point notBefore) {
  std::deque<std::pair<Clock::time_point, std::string>> due;  // "": the sender closed
  char buffer[64 * 1024];
  for (bool open = true; open || !due.empty();) {
    // Until the next chunk is due, to the nanosecond: milliseconds would add up.
    const long long ns = due.empty() ? 0 : std::max<long long>(0, std::chrono::nanoseconds(
                                               due.front().first - Clock::now()).count());
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{from, POLLIN, 0};
    if (!open) {
      std::this_thread::sleep_until(due.front().first);
    } else if (::ppoll(&p, 1, due.empty() ? nullptr : &wait, nullptr) > 0) {
      const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
      open = n > 0;
      due.emplace_back(std::max(Clock::now(), notBefore) + delay,
                       std::string(buffer, open ? static_cast<size_t>(n) : 0));
    }
    for (; !due.empty() && due.front().first <= Clock::now(); due.pop_front()) {
      const std::string &bytes = due.front().second;
      if (bytes.empty()) ::shutdown(to, SHUT_WR);
      for (size_t off = 0; off < bytes.size();) {
        const ssize_t n = ::send(to, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
      }
    }
  }
}

// A relay holds nothing back: small requests go out as they are written.
void sendAtOnce(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

struct Gateway::State {
  std::mutex mutex;
  int listener = -1, port = 0, target = 0;
  Clock::duration roundTrip{};
  int wake[2] = {-1, -1};  // a byte here makes the accepting thread look at the mode again
  Mode mode = Mode::Relay;
  bool stopped = false;
  std::set<int> relayed;   // both ends of every relayed connection; their threads close them
  std::vector<int> held;   // taken in Silent mode, or filling the queue in Drop mode
  size_t taken = 0;
  std::condition_variable tookOne;

  // Ends what the mode held; caller holds the mutex.
  void cutAllLocked() {
    for (int fd : relayed) ::shutdown(fd, SHUT_RDWR);
    for (int fd : held) ::close(fd);
    held.clear();
  }
  void closeRelayed(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    relayed.erase(fd);
    ::close(fd);
  }
  void relay(int client) {
    const auto open = Clock::now() + roundTrip;  // the handshake
    const int upstream = connectTo(target);
    if (upstream >= 0) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        relayed.insert(upstream);
      }
      sendAtOnce(client);
      sendAtOnce(upstream);
      const Clock::duration oneWay = roundTrip / 2;
      std::thread back(pump, upstream, client, oneWay, Clock::time_point{});
      pump(client, upstream, oneWay, open);
      back.join();
      closeRelayed(upstream);
    }
    closeRelayed(client);
  }
};

Gateway::Gateway(int targetPort, Mode mode, std::chrono::milliseconds roundTrip)
    : state_(std::make_shared<State>()) {
  State &s = *state_;
  s.target = targetPort;
  s.roundTrip = roundTrip;
  s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (s.listener < 0 || ::bind(s.listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(s.listener, kBacklog) != 0 ||
      ::getsockname(s.listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
      ::pipe2(s.wake, O_CLOEXEC) != 0) {
    throw std::runtime_error("gateway: cannot listen");
  }
  s.port = ntohs(addr.sin_port);
  std::thread([state = state_] {
    State &s = *state;
    for (;;) {
      pollfd fds[2] = {{s.wake[0], POLLIN, 0}, {s.listener, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.stopped) break;
        if (s.mode == Mode::Drop) fds[1].fd = -1;  // the queue stays full
      }
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[0].revents) {
        char c;
        (void)!::read(s.wake[0], &c, 1);
        continue;
      }
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.stopped || s.mode == Mode::Drop) continue;
      const int client = ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++s.taken;
      s.tookOne.notify_all();
      if (s.mode == Mode::Reset) {
        const linger reset{1, 0};  // closed with a reset, not an orderly end
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(client);
        continue;
      }
      if (s.mode == Mode::Silent) {
        s.held.push_back(client);
        continue;
      }
      s.relayed.insert(client);
      std::thread([state, client] { state->relay(client); }).detach();
    }
    ::close(s.listener);
  }).detach();
  set(mode);
}

Gateway::~Gateway() {
  State &s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stopped = true;
  s.cutAllLocked();
  (void)!::write(s.wake[1], "x", 1);
}

std::string Gateway::origin() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

size_t Gateway::taken() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->taken;
}

bool Gateway::waitTaken(size_t count, std::chrono::milliseconds timeout) const {
  State &s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.tookOne.wait_for(lock, timeout, [&] { return s.taken >= count; });
}

void Gateway::set(Mode mode) {
  State &s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.mode = mode;
  s.cutAllLocked();
  ::listen(s.listener, mode == Mode::Drop ? 0 : kBacklog);
  if (mode == Mode::Drop) {
    // One connection of our own fills a queue of length 0, which nobody
    // serves: the system then drops every further attempt.
    const int fd = connectTo(s.port);
    if (fd >= 0) s.held.push_back(fd);
  }
  (void)!::write(s.wake[1], "x", 1);
}

}  // namespace demo
