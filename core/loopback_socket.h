// The socket primitives the sign-in listener (core/loopback.cpp) stands on,
// one file per platform: loopback_posix.cpp, loopback_win.cpp. Internal to
// core/.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/loopback.h"

namespace tvoz::loopback {

// A socket as the platform knows it (a descriptor, or a Windows SOCKET).
using Handle = intptr_t;
constexpr Handle kNone = -1;

void closeSocket(Handle s);

// A TCP socket listening on 127.0.0.1 with a port the system picks (backlog
// 1, the port read back), not inherited by programs started later. `failure`
// names the step that failed; the socket is kNone then or already closed.
struct Opened {
  Handle socket = kNone;
  LoopbackListener::Failure failure = LoopbackListener::Failure::None;
  int port = 0;
};
Opened openListener();

// Waits until `s` is readable (a connection to take, or data) or `until`;
// false on time-out or error.
bool readable(Handle s, std::chrono::steady_clock::time_point until);
// The next connection on `listener`, not inherited either; kNone when none.
Handle acceptConnection(Handle listener);
// One receive into `buffer` (its size at most): bytes read, 0 when the peer
// closed, negative on error.
long receiveOnce(Handle s, std::string &buffer);
// One send of `bytes`; a peer that has gone is no signal, just a failure.
void sendOnce(Handle s, const std::string &bytes);

}  // namespace tvoz::loopback
