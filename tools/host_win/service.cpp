// tvoz-host-win-service: the demo service that tvoz-host-win meets under Wine,
// run on Linux beside it, with a few routes reshaped so that the DLL's WinHTTP
// transport shows how it treats redirects, answer sizes and stalls. Each
// reshaped answer is one only a right transport gets past:
//   tracks?genero=tvoz-con        one track titled CON; its download must carry
//                                 the bearer header and is sent on to another
//                                 origin, which refuses any bearer header
//   tracks?genero=tvoz-stall      one track; its download sends 4 bytes, then
//                                 nothing for minutes, unless the rest is asked
//                                 for with If-Range naming the first answer's ETag
//   tracks?genero=tvoz-hops-N     N redirects, then a listing of one track
//   tracks?genero=tvoz-big-fits   a listing of exactly 64 MiB, its size
//   unannounced tracks?genero=tvoz-big-over   the same, one byte more POST
//   oauth/token, code relay-code   307 to the other origin
// Beside it, two ports of a venue's dead network (demo::Gateway with nothing
// behind it): one takes connections and never answers, one drops them.
// Its first lines on stdout are "listening ORIGIN", "silent ORIGIN" and
// "dropping ORIGIN"; requests are logged on stderr; SIGTERM ends it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "tools/demo_service/gateway.h"
#include "tools/demo_service/routes.h"
#include "tools/demo_service/service.h"

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  demo::Service::Options options;
  options.logToStderr = true;
  demo::Service a(options), b;
  b.api("/download", [](const demo::Request &r, httplib::Response &res) {
    if (r.hasHeader("Authorization")) return (void)(res.status = 403);
    res.set_content("RIFF device-name test", "audio/wav");
  });
  a.on("POST", std::string(demo::kApiBase) + "/oauth/token",
       [&](const demo::Request &r, httplib::Response &res) {
         if (r.body.find("code=relay-code") == std::string::npos) return a.serveDefault(r, res);
         res.set_redirect(b.origin() + r.target, 307);
         res.set_content("{\"moved\":true}", "application/json");
       });
  a.api("/vdj/tracks", [&](const demo::Request &r, httplib::Response &res) {
    const std::string genre = r.http->get_param_value("genero");
    const int hops = genre.rfind("tvoz-hops-", 0) == 0 ? std::stoi(genre.substr(10)) : 0;
    if (hops > 0) return res.set_redirect("?genero=tvoz-hops-" + std::to_string(hops - 1));
    if (genre == "tvoz-con" || genre == "tvoz-stall" || genre == "tvoz-hops-0") {
      const std::string title = genre == "tvoz-con" ? "CON" : "Lento";
      return res.set_content(
          "{\"tracks\":[{\"id\":\"" + genre + "\",\"title\":\"" + title + "\",\"ext\":\"wav\"}]}",
          "application/json");
    }
    if (genre.rfind("tvoz-big-", 0) != 0) return a.serveDefault(r, res);
    auto body = std::make_shared<std::string>("{\"tracks\":[{\"id\":\"big\"}]}");
    body->resize((size_t{64} << 20) + (genre == "tvoz-big-over"), ' ');
    res.set_chunked_content_provider(
        "application/json", [body](size_t at, httplib::DataSink &sink) {
          if (at == body->size()) return sink.done(), true;
          return sink.write(body->data() + at, std::min<size_t>(body->size() - at, 1 << 20));
        });
  });
  a.api("/download", [&](const demo::Request &r, httplib::Response &res) {
    const std::string file = r.http->get_param_value("file"), auth = r.header("Authorization");
    if (file == "tvoz-con") {
      const bool bearer = auth.compare(0, 7, "Bearer ") == 0 &&
                          a.tokens().check(auth.substr(7)) == demo::TokenCheck::Valid;
      return bearer ? res.set_redirect(b.origin() + r.target) : (void)(res.status = 401);
    }
    if (file != "tvoz-stall") return a.serveDefault(r, res);
    res.set_header("ETag", "\"lento-1\"");
    if (r.hasHeader("Range") && r.header("If-Range") != "\"lento-1\"")
      return (void)(res.status = 412);
    // httplib serves a Range by starting the provider at its first byte.
    res.set_content_provider(100000, "audio/wav",
                             [](size_t at, size_t size, httplib::DataSink &sink) {
                               if (at > 0) return sink.write(std::string(size, ' ').data(), size);
                               sink.write("RIFF", 4);
                               std::this_thread::sleep_for(std::chrono::minutes(5));
                               return false;
                             });
  });
  demo::Gateway silent(0, demo::Gateway::Mode::Silent), dropping(0, demo::Gateway::Mode::Drop);
  std::printf("listening %s\nsilent %s\ndropping %s\n", a.origin().c_str(), silent.origin().c_str(),
              dropping.origin().c_str());
  std::fflush(stdout);
  for (;;) pause();
}
