// Browser sign-in with a one-shot loopback listener, and the host's OAuth
// hand-over.
#pragma once

#include <cstddef>
#include <string>

#include "plugin/vdj_sdk.h"

namespace tvoz {

// OnLogin: opens a listener on 127.0.0.1 (a port the system picks), starts a
// detached thread that serves its one connection, opens the service's
// sign-in page in the browser with the listener as redirect target, and
// returns. The thread trades the code it captures for tokens. Always S_OK;
// failures are logged. Host's calling thread; blocks while the browser
// opener runs, never for the sign-in itself.
HRESULT startLogin();

// OnOAuth: an error is logged; else a code is exchanged for tokens (on the
// calling thread); else a given access token (and refresh token, when not
// empty) is stored. Always S_OK.
HRESULT onOAuth(const char *accessToken, ULONG expiresIn, const char *refreshToken,
                const char *code, const char *errorMessage);

// The authorisation code in the first `size` bytes of a request the browser
// sent (the text ends early at a zero byte): what follows the first "code="
// anywhere in it, up to "&", a space, CR or LF. Empty when there is none.
std::string extractCode(const char *data, size_t size);

}  // namespace tvoz
