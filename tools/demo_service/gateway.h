// A port on 127.0.0.1 between the plug-in and the demo service that plays the
// networks a DJ meets at a venue:
//   Relay   every byte passes both ways: the service is there; given a round
//           trip, as far away as that: each chunk arrives half of it after
//           it was sent, either way (latency, not bandwidth: chunks in
//           flight overlap), and a new connection's first byte waits one
//           round trip more, the handshake that loopback does not pay;
//   Silent  connections are taken and never answered: Wi-Fi without upstream,
//           a captive network, a service that hangs;
//   Drop    no connection is taken at all: the port's accept queue is full,
//           and the system drops further attempts without a word;
//   Reset   every connection is taken and reset at once: a network that is
//           down, and says so.
// Leaving a mode closes what it held, relayed connections included, so that
// no connection kept from before carries on through a network that died.
// Any member function may be called from any thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace demo {

class Gateway {
 public:
  enum class Mode { Relay, Silent, Drop, Reset };

  Gateway(int targetPort, Mode mode, std::chrono::milliseconds roundTrip = std::chrono::milliseconds(0));
  ~Gateway();
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  std::string origin() const;  // "http://127.0.0.1:PORT"
  void set(Mode mode);
  // Connections taken so far, in any mode.
  size_t taken() const;
  // Waits until `count` connections have been taken; false after `timeout`.
  bool waitTaken(size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the threads, which may end after this
};

}  // namespace demo
