// How long a click waits on a distant service: GetFolderList, GetFolder,
// GetContextMenu and GetStreamUrl through a delay proxy that adds a round
// trip per request and one more per new connection, measured as multiples
// of that round trip. The anchor is the same service closing every
// connection after its answer, which is what a new connection per request
// costs.
//
//   tvoz_click_bench [ROUND_TRIP_MS] [CALLS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "actions/track_menu.h"
#include "bench/bench_home.h"
#include "bench/support/delay_proxy.h"
#include "catalogue/folders.h"
#include "catalogue/stream.h"
#include "catalogue/tracks.h"
#include "service/tokens.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

struct NullFolders : IVdjSubfoldersList {
  HRESULT add(const char *, const char *) override { return 0; }
};
struct NullTracks : IVdjTracksList {
  HRESULT add(const char *, const char *, const char *, const char *, const char *, const char *,
              const char *, const char *, const char *, float, float, int, int, bool,
              bool) override {
    return 0;
  }
};
struct NullMenu : IVdjContextMenu {
  HRESULT add(const char *) override { return 0; }
};
struct NullString : IVdjString {
  HRESULT set(const char *) override { return 0; }
};

// The service's answers, small as they are in real use.
class Service {
 public:
  explicit Service(bool closeEveryConnection) {
    const std::string api = "/wp-json/tvoz/v1";
    json folders = json::array(), tracks = json::array();
    for (int i = 0; i < 8; ++i) folders.push_back({{"id", "g" + std::to_string(i)}, {"name", "Salsa"}, {"count", 40}});
    for (int i = 0; i < 40; ++i) {
      tracks.push_back({{"id", "t" + std::to_string(i)}, {"title", "Tema"}, {"artist", "Artista"}, {"bpm", 98}});
    }
    answer(api + "/vdj/folders", json{{"folders", folders}}.dump());
    answer(api + "/vdj/tracks", json{{"tracks", tracks}}.dump());
    answer(api + "/vdj/crates", json{{"crates", {{{"id", 1}, {"name", "Boda"}}}}}.dump());
    answer(api + "/vdj/resolve", json{{"url", "https://cdn.example/t.mp3"}}.dump());
    server_.Get(api + "/vdj/played", [this](const httplib::Request &, httplib::Response &res) {
      res.set_content("{}", "application/json");
      ++played_;
    });
    server_.set_keep_alive_max_count(closeEveryConnection ? 1 : 1000);
    server_.set_tcp_nodelay(true);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~Service() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  int played() const { return played_.load(); }

 private:
  void answer(const std::string &path, const std::string &body) {
    server_.Get(path, [body](const httplib::Request &, httplib::Response &res) {
      res.set_content(body, "application/json");
    });
  }
  httplib::Server server_;
  std::atomic<int> played_{0};
  int port_ = 0;
  std::thread thread_;
};

struct Figures {
  double first = 0, rest = 0;  // in round trips
};

Figures measure(int calls, double rttMs, const std::function<void()> &click,
                const std::function<void(int)> &settle) {
  std::vector<double> rtts;
  for (int i = 0; i < calls; ++i) {
    auto start = Clock::now();
    click();
    std::chrono::duration<double, std::milli> took = Clock::now() - start;
    rtts.push_back(took.count() / rttMs);
    settle(i + 1);
  }
  Figures f;
  f.first = rtts.front();
  double sum = 0;
  for (size_t i = 1; i < rtts.size(); ++i) sum += rtts[i];
  f.rest = rtts.size() > 1 ? sum / static_cast<double>(rtts.size() - 1) : f.first;
  return f;
}

struct Row {
  const char *name;
  Figures anchor, reused;
};

}  // namespace

int main(int argc, char **argv) {
  const int rttMs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  const int calls = argc > 2 ? std::max(2, std::atoi(argv[2])) : 20;
  auto &home = tvoz_bench::benchHome();
  tvoz::storeTokens("bench-token", std::string("bench-refresh"));

  std::vector<Row> rows = {{"GetFolderList", {}, {}}, {"GetFolder", {}, {}},
                           {"GetContextMenu", {}, {}}, {"GetStreamUrl", {}, {}}};
  int connections[2] = {0, 0};
  for (int mode = 0; mode < 2; ++mode) {
    const bool anchor = mode == 0;
    Service service(anchor);
    tvoz_bench::DelayProxy proxy(service.port(), std::chrono::milliseconds(rttMs));
    home.setOrigin(proxy.origin());
    auto none = [](int) {};
    auto pick = [&](Row &r) -> Figures & { return anchor ? r.anchor : r.reused; };
    pick(rows[0]) = measure(calls, rttMs, [] { NullFolders l; tvoz::listFolders(&l); }, none);
    pick(rows[1]) = measure(calls, rttMs, [] { NullTracks l; tvoz::openFolder("g1", &l); }, none);
    pick(rows[2]) = measure(calls, rttMs, [] { NullMenu m; tvoz::buildTrackMenu("t1", &m); }, none);
    // Each play also reports itself on a thread of its own; let that report
    // finish before the next click so every click starts from the same state.
    const int playedBefore = service.played();
    pick(rows[3]) = measure(
        calls, rttMs, [] { NullString url, error; tvoz::streamUrl("t1", url, error); },
        [&](int n) {
          auto deadline = Clock::now() + std::chrono::seconds(10);
          while (service.played() < playedBefore + n && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        });
    connections[mode] = proxy.connections();
  }

  std::printf("Emulated round trip: %d ms; %d clicks of each kind; figures in round trips\n", rttMs, calls);
  std::printf("%-16s | %-22s | %-14s | %-14s\n", "click", "new connection each", "reused: first", "reused: after");
  bool ok = true;
  for (const auto &r : rows) {
    std::printf("%-16s | %22.2f | %14.2f | %14.2f\n", r.name, r.anchor.rest, r.reused.first, r.reused.rest);
    ok = ok && r.reused.rest <= 1.2;
  }
  std::printf("connections opened: %d with a new connection each, %d reused\n", connections[0], connections[1]);
  std::printf("%s: at most 1.2 round trips per click after the first\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
