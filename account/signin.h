// Browser sign-in with a one-shot loopback listener, and the host's OAuth
// hand-over.
#pragma once

#include <string>

#include "plugin/vdj_sdk.h"

namespace tvoz {

HRESULT startLogin();
HRESULT onOAuth(const char *accessToken, ULONG expiresIn, const char *refreshToken,
                const char *code, const char *errorMessage);

}  // namespace tvoz
