#include "service/reachability.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "core/local_files.h"
#include "core/threads.h"
#include "service/api.h"

namespace tvoz {

namespace {

using std::chrono::milliseconds;

struct Reach {
  std::mutex mutex;
  std::condition_variable changed;
  std::string origin;  // what the state was learned on
  bool reachable = true;
  std::string probing;  // the origin a probe runs for; empty when none
  std::vector<milliseconds> delays = {milliseconds(2000), milliseconds(4000), milliseconds(8000),
                                      milliseconds(15000), milliseconds(30000)};
};

Reach &reach() {
  static Reach &r = *new Reach();
  return r;
}

// A new origin starts over, reachable. Caller holds the mutex.
void adopt(Reach &r, const std::string &origin) {
  if (r.origin == origin) return;
  r.origin = origin;
  r.reachable = true;
  r.changed.notify_all();
}

// Asks the version endpoint after each delay until `origin` answers, or is
// no longer the one configured.
void probe(const std::string &origin) {
  BackgroundTransfers background;
  Reach &r = reach();
  for (size_t round = 0;; ++round) {
    {
      std::unique_lock<std::mutex> lock(r.mutex);
      const milliseconds delay = r.delays[std::min(round, r.delays.size() - 1)];
      auto over = [&] { return r.reachable || r.origin != origin; };
      if (r.changed.wait_for(lock, delay, over)) {
        if (r.probing == origin) r.probing.clear();
        return;
      }
    }
    versionGet(origin);
  }
}

}  // namespace

bool serviceReachable() { return serviceReachable(serviceOrigin()); }

bool serviceReachable(const std::string &origin) {
  Reach &r = reach();
  std::lock_guard<std::mutex> lock(r.mutex);
  adopt(r, origin);
  return r.reachable;
}

void noteFirstHop(const std::string &origin, const FirstHop &hop) {
  if (!hop.answered && hop.failure.empty()) return;
  if (origin != serviceOrigin()) return;
  Reach &r = reach();
  bool startProbe = false;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    adopt(r, origin);
    if (hop.answered == r.reachable) return;
    r.reachable = hop.answered;
    r.changed.notify_all();
    if (!r.reachable && r.probing != origin) {
      r.probing = origin;
      startProbe = true;
    }
  }
  logLine(hop.answered ? "servicio disponible otra vez" : "servicio inalcanzable: " + hop.failure);
  if (startProbe && !startThread([origin] { probe(origin); })) {
    // Without a probe nothing would find the service again: the clicks go on
    // asking it, as if nothing had been learned.
    std::lock_guard<std::mutex> lock(r.mutex);
    r.probing.clear();
    r.reachable = true;
  }
}

bool awaitReachable(milliseconds limit) {
  const std::string origin = serviceOrigin();
  Reach &r = reach();
  std::unique_lock<std::mutex> lock(r.mutex);
  adopt(r, origin);
  return r.changed.wait_for(lock, limit, [&] { return r.reachable; });
}

void setProbeDelays(std::vector<milliseconds> delays) {
  if (delays.empty()) return;
  Reach &r = reach();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.delays = std::move(delays);
}

}  // namespace tvoz
