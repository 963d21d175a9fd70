// Stream addresses for the host's decks, and play reports.
#pragma once

#include <string>

namespace tvoz {

// What the host's deck gets: an address in `url`, or a Spanish reason in
// `error`; exactly one of the two is not empty.
struct Resolution {
  std::string url;
  std::string error;
};

// The local copy as "file://..." (no request) or the service's address, or
// the reason there is none. A non-empty id's play is reported first. Blocks
// for the resolve request; any thread.
Resolution streamUrl(const std::string &id);

// Reports a play on a detached thread of its own and returns at once; the
// outcome is never known. When no thread can be started the report is
// dropped. Any thread.
void logPlay(const std::string &id);

// What the body of a 200 resolve answer gives the host. Never throws a JSON
// error.
Resolution readResolveBody(const std::string &body);

}  // namespace tvoz
