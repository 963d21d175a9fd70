// A stand-in service on 127.0.0.1, to see what WinHTTP really sends and how
// the transport treats redirects, answer sizes and stalls. It records every
// request and answers each on a connection of its own, then closes it:
//   POST                            307 to `next`, body {"moved":true}
//   GET tracks?genero=tvoz-big-fits    a track list of exactly 64 MiB
//   GET tracks?genero=tvoz-big-over    one byte more, no length announced
//   GET tracks?genero=tvoz-con         one track titled CON
//   GET tracks?genero=tvoz-stall       one track whose download stalls
//   GET download?file=tvoz-stall       a few bytes, then silence for minutes
//   any other GET                   302 to `next` with the same target; with
//                                   no `next`, a few bytes of "audio"
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace hostwin {

struct SeenRequest {
  std::string method, target, authorization, range;
  std::chrono::steady_clock::time_point at;
};

class Relay {
 public:
  // Listens at once; origin() is empty when it could not. Lives until the
  // process ends, since its threads may still be serving then.
  explicit Relay(std::string next);
  const std::string &origin() const { return origin_; }
  std::vector<SeenRequest> seen();

 private:
  void serve(unsigned long long connection);

  std::string next_, origin_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

}  // namespace hostwin
