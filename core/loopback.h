// The one-shot listener of the browser sign-in: TCP on 127.0.0.1 with a port
// the system picks, which the browser is sent back to. One file per platform
// (loopback_posix.cpp, loopback_win.cpp). Its sockets never reach programs
// the plug-in starts. Owned by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace tvoz {

class LoopbackListener {
 public:
  enum class Failure { None, Socket, Bind, Listen };

  // Opens the listening socket (backlog 1); failure() tells which step failed.
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(LoopbackListener &&) noexcept;
  LoopbackListener &operator=(LoopbackListener &&) noexcept;

  Failure failure() const;
  int port() const;

  // Waits until `deadline` for a connection that sends something and returns
  // what it sent, keeping that connection open for reply(). The request is
  // read until the end of its headers (an empty line), `maxBytes` bytes, the
  // peer's end, or `idle` without a byte, whichever comes first: a browser may
  // send it in pieces. A connection that ends, or sends nothing for `idle`,
  // is closed without a word and the wait goes on: a browser's idle
  // pre-connection or a port scanner cannot hold the sign-in up. Nothing when
  // the deadline passes first.
  std::optional<std::string> awaitRequest(std::chrono::steady_clock::time_point deadline,
                                          std::chrono::milliseconds idle, size_t maxBytes);
  // Sends `bytes` in one send on the connection awaitRequest returned, without
  // raising SIGPIPE when the peer has gone, and closes it.
  void reply(const std::string &bytes);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tvoz
