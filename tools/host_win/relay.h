// A stand-in server on 127.0.0.1 that the plug-in is pointed at for part of
// the session, to see what WinHTTP really sends and how the transport treats
// redirects, answer sizes and slow answers. It records every request (method,
// target, headers, body, and which connection carried it) and answers:
//   GET            302 to `next` + the same target, keeping the connection open
//   POST           307 to the same place, with the body {"moved":true}
//   GET ...genero=tvoz-big-fits   200, a track list of exactly 64 MiB
//   GET ...genero=tvoz-big-over   200, the same plus one byte, with no length announced
//   GET ...genero=tvoz-slow       200, then one byte every 2 s for 60 s
//   GET ...genero=tvoz-devices    200, two tracks named like Windows devices
//   GET .../download?file=tvoz-dev-...  200, a few bytes of "audio"
// Each connection is served on a thread of its own. A relay lives until the
// process ends (its threads may still be serving then).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hostwin {

struct SeenRequest {
  int connection = 0;  // 1, 2, ... in the order the connections were accepted
  std::string method, target, body;
  std::map<std::string, std::string> headers;  // names in lower case
  bool has(const std::string &name) const { return headers.count(name) != 0; }
  std::string header(const std::string &name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

class Relay {
 public:
  // Starts listening; origin() is empty when it could not.
  explicit Relay(std::string next);
  Relay(const Relay &) = delete;
  Relay &operator=(const Relay &) = delete;

  const std::string &origin() const { return origin_; }
  std::vector<SeenRequest> seen();

 private:
  void acceptLoop(unsigned long long listener);
  void serve(unsigned long long connection, int number);
  void answer(unsigned long long connection, const SeenRequest &request);

  std::string next_;
  std::string origin_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

}  // namespace hostwin
