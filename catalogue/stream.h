// Stream addresses for the host's decks, and play reports.
#pragma once

#include <string>

#include "plugin/vdj_sdk.h"

namespace tvoz {

// The local copy as "file://..." or the service's address in `url` (S_OK), or
// a Spanish reason in `error` (S_FALSE). Reports the play first.
HRESULT streamUrl(const char *id, IVdjString &url, IVdjString &error);

// Reports a play on a detached thread and returns at once.
void logPlay(const std::string &id);

}  // namespace tvoz
