// Stream addresses for the host's decks, and play reports.
#pragma once

#include <string>

#include "plugin/vdj_sdk.h"

namespace tvoz {

// The local copy as "file://..." (no request) or the service's address in
// `url` (S_OK), or a Spanish reason in `error` (S_FALSE). A non-empty id's
// play is reported first. Blocks for the resolve request; any thread.
HRESULT streamUrl(const char *id, IVdjString &url, IVdjString &error);

// Reports a play on a detached thread of its own and returns at once; the
// outcome is never known. When no thread can be started the report is
// dropped. Any thread.
void logPlay(const std::string &id);

}  // namespace tvoz
