// Browser sign-in with a one-shot loopback listener, and the host's OAuth
// hand-over.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "core/loopback.h"


namespace tvoz {

// OnLogin: opens a listener on 127.0.0.1 (a port the system picks), starts a
// detached thread that serves its one connection, opens the service's
// sign-in page in the browser with the listener as redirect target, and
// returns. The thread trades the code it captures for tokens. Failures are
// logged. Host's calling thread; blocks while the browser
// opener runs, never for the sign-in itself.
void startLogin();

// The listener thread's body: serves the first connection that sends a
// request (replying with the fixed page, trading a captured code for tokens)
// and ends, or ends after `life` with a log line. Exposed so that the time
// limit can be shown without waiting ten minutes.
void serveSignIn(LoopbackListener listener, std::chrono::steady_clock::duration life) noexcept;

// OnOAuth: an error is logged; else a code is exchanged for tokens (on the
// calling thread); else a given access token (and refresh token, when not
// empty) is stored. Null texts are allowed. The log says whether a code came,
// never which.
void onOAuth(const char *accessToken, const char *refreshToken, const char *code,
             const char *errorMessage);

// The authorisation code in the first `size` bytes of a request the browser
// sent (the text ends early at a zero byte): what follows the first "code="
// anywhere in it, up to "&", a space, CR or LF. Empty when there is none.
std::string extractCode(const char *data, size_t size);

// The tokens in the body of an authorisation-code grant's 200 answer, both to
// be stored (a missing member reads as empty); nothing when the body is not
// a JSON object with string members, so that memory and the token file never
// hold half of a grant. Never throws a JSON error; touches no state.
struct CodeGrant {
  std::string access;
  std::string refresh;
};
std::optional<CodeGrant> readCodeGrant(const std::string &body);

}  // namespace tvoz
