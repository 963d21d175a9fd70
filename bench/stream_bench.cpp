// Resolving a saved track when the offline index holds 10,000 entries; the
// index is read from disk on every call.
#include <benchmark/benchmark.h>

#include "bench/bench_home.h"
#include "catalogue/stream.h"
#include "offline/cache_index.h"

namespace {

constexpr int kEntries = 10000;
const std::string kSaved = "trk-5000";

struct CountingString : IVdjString {
  HRESULT set(const char *) override {
    ++calls;
    return 0;
  }
  int calls = 0;
};

// The index, and the saved track's file with some content.
void prepareIndex() {
  static const bool done = [] {
    auto &home = tvoz_bench::benchHome();
    const std::string offline = home.path() + "/Music/Tornavoz/";
    tvoz::json index = tvoz::json::object();
    for (int i = 0; i < kEntries; ++i) {
      const std::string n = std::to_string(i);
      index["trk-" + n] = offline + "Artista " + std::to_string(i % 500) + " - Título " + n + ".mp3";
    }
    home.write(index[kSaved].get<std::string>(), std::string(4096, 'a'));
    return tvoz::writeCacheIndex(index);
  }();
  (void)done;
}

void BM_CachedFileForSaved(benchmark::State &state) {
  prepareIndex();
  for (auto _ : state) {
    std::string path = tvoz::cachedFileFor(kSaved);
    if (path.empty()) {
      state.SkipWithError("saved track not found");
      break;
    }
    benchmark::DoNotOptimize(path);
  }
}

// The whole GetStreamUrl, the start of the play report's thread included; the
// reports go to a closed loopback port and fail at once.
void BM_StreamUrlSaved(benchmark::State &state) {
  prepareIndex();
  tvoz_bench::benchHome().setOrigin("http://127.0.0.1:1");
  for (auto _ : state) {
    CountingString url, error;
    if (tvoz::streamUrl(kSaved.c_str(), url, error) != S_OK || url.calls != 1) {
      state.SkipWithError("saved track not answered locally");
      break;
    }
  }
}

}  // namespace

BENCHMARK(BM_CachedFileForSaved)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamUrlSaved)->Unit(benchmark::kMicrosecond)->UseRealTime();
