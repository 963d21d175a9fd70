// What a listing of 20,000 tracks costs the plug-in beyond reading the JSON.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include <httplib.h>

#include "bench/bench_home.h"
#include "catalogue/tracks.h"

namespace {

constexpr int kTracks = 20000;

// One /vdj/tracks answer with every field the listing reads.
const std::string &listingBody() {
  static const std::string body = [] {
    tvoz::json tracks = tvoz::json::array();
    for (int i = 0; i < kTracks; ++i) {
      const std::string n = std::to_string(i);
      tracks.push_back({{"id", "trk-" + n},
                        {"title", "Título " + n},
                        {"artist", "Artista " + std::to_string(i % 500)},
                        {"remix", i % 3 ? "" : "Extended Mix"},
                        {"genre", "Salsa"},
                        {"cover", "https://cdn.example/covers/" + n + ".jpg"},
                        {"bpm", 90.0 + (i % 80) / 2.0},
                        {"video", i % 10 == 0},
                        {"ext", i % 4 ? "mp3" : "m4a"}});
    }
    return tvoz::json{{"tracks", tracks}}.dump();
  }();
  return body;
}

struct CountingList : IVdjTracksList {
  HRESULT add(const char *, const char *, const char *, const char *, const char *,
              const char *, const char *, const char *, const char *, float, float, int, int,
              bool, bool) override {
    ++count;
    return 0;
  }
  int count = 0;
};

template <class ListFn>
void listAndCheck(benchmark::State &state, ListFn listFn) {
  for (auto _ : state) {
    CountingList list;
    listFn(list);
    if (list.count != kTracks) {
      state.SkipWithError("not every track reached the host");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * listingBody().size()));
}

// The yardstick: nlohmann parsing the same body and nothing else.
void BM_ListingParseOnly(benchmark::State &state) {
  const std::string &body = listingBody();
  for (auto _ : state) {
    auto root = tvoz::parseJson(body);
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// The plug-in's handling of a 200 answer: the same parse, then every track to
// the host with its name and extension recorded.
void BM_ListingParseAndAdd(benchmark::State &state) {
  const std::string &body = listingBody();
  listAndCheck(state, [&](CountingList &list) { tvoz::listTracksBody(body, &list); });
}

// A loopback service answering /vdj/tracks with the body.
class LoopbackService {
 public:
  LoopbackService() {
    server_.Get("/wp-json/tvoz/v1/vdj/tracks", [](const httplib::Request &, httplib::Response &res) {
      res.set_content(listingBody(), "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~LoopbackService() {
    server_.stop();
    thread_.join();
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// The whole GetFolder, the transfer over loopback included.
void BM_ListingGetFolderLoopback(benchmark::State &state) {
  LoopbackService service;
  tvoz_bench::benchHome().setOrigin(service.origin());
  listAndCheck(state, [](CountingList &list) { tvoz::openFolder("salsa", &list); });
}

}  // namespace

BENCHMARK(BM_ListingParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingParseAndAdd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingGetFolderLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();
