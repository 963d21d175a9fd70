// Whether the service can be reached, as the plug-in's own requests found it.
//
// At a venue "no internet" is most often a network that takes connections
// and never answers, where every request costs its whole budget. So a
// request that got no status line from the service's origin marks the
// service unreachable, and any status line from it marks it reachable. While
// it is unreachable the host's calls answer from what is saved without
// asking, the save queue waits, and a probe on a thread of its own asks the
// version endpoint after growing delays until the service answers again.
//
// The state belongs to the origin it was learned on: when the configured
// service origin changes, it starts over, reachable. Any thread; nothing here
// waits for the network, and the host's thread never waits at all.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "service/http.h"

namespace tvoz {

// For the configured origin, or for `origin` (the configured one, read once
// by the caller).
bool serviceReachable();
bool serviceReachable(const std::string &origin);

// What a request whose first hop was `origin` found there. The log says each
// change once: "servicio inalcanzable: <why>" and "servicio disponible otra
// vez". A result for an origin no longer configured, or of a request that
// never went out, changes nothing.
void noteFirstHop(const std::string &origin, const FirstHop &hop);

// Blocks until the service is reachable or `limit` has passed; true when it
// is. Never on the host's thread.
bool awaitReachable(std::chrono::milliseconds limit);

// The waits before each probe, first to last; the last one repeats. About
// 2, 4, 8, 15 and 30 seconds; tests shorten them.
void setProbeDelays(std::vector<std::chrono::milliseconds> delays);

}  // namespace tvoz
