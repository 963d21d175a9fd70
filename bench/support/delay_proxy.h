// A TCP relay on 127.0.0.1 that makes loopback look like a distant network:
// every chunk it relays, in either direction, arrives one-way-delay later
// than it was sent (latency, not bandwidth: chunks in flight overlap), and a
// new connection costs one extra round trip before its first byte, as a TCP
// handshake does.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvoz_bench {

class DelayProxy {
 public:
  DelayProxy(int targetPort, std::chrono::microseconds roundTrip);
  ~DelayProxy();
  DelayProxy(const DelayProxy &) = delete;
  DelayProxy &operator=(const DelayProxy &) = delete;

  int port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_.load(); }

 private:
  void acceptLoop();
  void relay(int client);

  int targetPort_;
  std::chrono::microseconds oneWay_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
};

}  // namespace tvoz_bench
