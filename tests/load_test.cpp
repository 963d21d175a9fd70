// The host's threads all at once, for a long set: listings, searches, plays
// (each starting a play report) and menus through the module, while the
// service lets each access token go stale after a few hundred requests and
// closes connections at random. Every answer must stay right, each stale
// token must be renewed exactly once, and the process must end the set with
// the threads, descriptors and memory it started with.
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "tests/support/support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
// The live heap, which only the sanitizers' allocators report exactly.
size_t memoryInUse() { return __sanitizer_get_current_allocated_bytes(); }
#else
size_t memoryInUse() { return 0; }
#endif

using namespace tvoz_test;

namespace {

// A token lives long enough that a request repeated with a new one cannot
// find it stale again, however the threads are scheduled.
constexpr int kThreads = 8, kCallsPerThread = 500, kUsesPerToken = 1000;

size_t entriesIn(const char *dir) {
  return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

struct Usage { size_t threads, fds, memory; };
Usage usage() { return {entriesIn("/proc/self/task"), entriesIn("/proc/self/fd"), memoryInUse()}; }

class Load : public Scenario {
 protected:
  Load() {
    const json folders = json::array({{{"id", "f0"}, {"name", "House"}, {"count", 3}}, {{"id", "f1"}, {"name", "Techno"}, {"count", 3}}});
    for (const char *path : {"/vdj/folders", "/vdj/tracks", "/vdj/resolve", "/vdj/crates", "/vdj/played", "/vdj/favorite"}) {
      service.api(path, [this, folders](const demo::Request &r, httplib::Response &res) {
        if (!accept(r.header("Authorization"))) return void(res.status = 401);
        // One answer serves every route, each reading its own member, made from
        // the value of the query's first member ("file=x&access_token=..." -> "x").
        const auto start = r.query.find('=') + 1;
        const std::string key = r.query.substr(start, r.query.find('&') - start);
        json tracks = json::array();
        for (int i = 0; i < 3; ++i) tracks.push_back({{"id", key + "-" + std::to_string(i)}, {"title", "T"}});
        res.set_content(json{{"folders", folders}, {"tracks", tracks}, {"url", "https://cdn.example/" + key + ".mp3"},
                             {"crates", {{{"id", 7}, {"name", "Set"}}}}, {"ok", true}}.dump(), "application/json");
        if (++answers % 7 == 0) res.set_header("Connection", "close");
        if (r.path == kApi + "/vdj/played") {
          std::lock_guard<std::mutex> lock(mutex);
          ++reported;
          reportedChanged.notify_all();
        }
      });
    }
    service.on("POST", kGrant, [this](const demo::Request &r, httplib::Response &res) {
      std::lock_guard<std::mutex> lock(mutex);
      if (r.body.rfind("grant_type=refresh_token&refresh_token=ref-" + std::to_string(generation) + "&", 0) != 0) {
        ++refused;
        return void(res.status = 400);
      }
      refreshedAfterExpiry += expired == generation;
      ++generation;
      uses = 0;
      res.set_content(json{{"access_token", token("acc-")}, {"refresh_token", token("ref-")}}.dump(), "application/json");
    });
    home.write(home.support("Tornavoz.tokens"), json{{"access", "acc-0"}, {"refresh", "ref-0"}}.dump());
  }

  std::string token(const char *kind) const { return kind + std::to_string(generation); }
  // The current access token serves kUsesPerToken requests, then is refused
  // until the refresh grant issues the next pair.
  bool accept(const std::string &authorization) {
    std::lock_guard<std::mutex> lock(mutex);
    if (authorization != "Bearer " + token("acc-")) return false;
    if (uses == kUsesPerToken) expired = generation;
    return uses < kUsesPerToken && ++uses;
  }

  // One host call of the mix; false when its answer is wrong. Every call
  // names its own key: a folder, a search text or a track id.
  bool call(int thread, int n) {
    const std::string key = "k" + std::to_string((thread * kCallsPerThread + n) % 97);
    auto listed = [&key](const std::vector<host::TrackRow> &tracks) {
      return tracks.size() == 3 && tracks[2].id == key + "-2";
    };
    switch (n % 6) {
      case 0: {
        auto folders = host.folders();
        return folders.size() == 2 && folders[1].label == "Techno (3)";
      }
      case 1:
        return listed(host.open(key.c_str()));
      case 2:
        return listed(host.search(key.c_str()));
      case 3:
        ++plays;
        return host.play(key.c_str()).url == "https://cdn.example/" + key + ".mp3";
      case 4:
        return host.menu(key.c_str()) == std::vector<std::string>{"Me gusta", "Anadir a: Set", "Anadir a nueva playlist",
                                                                   "Guardar para tocar sin internet"};
      default:
        return host.choose(key.c_str(), 0) == 0;  // "Me gusta" in every menu
    }
  }

  // 8 threads x 500 calls, then every play report; the wrong answers.
  int round() {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] { for (int n = 0; n < kCallsPerThread; ++n) wrong += !call(t, n); });
    }
    for (auto &thread : threads) thread.join();
    // Reports refused by a stale token are repeated after the renewal.
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(reportedChanged.wait_for(lock, std::chrono::seconds(30), [&] { return reported == plays; }));
    return wrong;
  }

  std::mutex mutex;
  std::condition_variable reportedChanged;
  int generation = 0, uses = 0, expired = -1, refused = 0, refreshedAfterExpiry = 0, reported = 0;
  std::atomic<int> answers{0}, plays{0};
};

}  // namespace

TEST_F(Load, EightThreadsOfMixedCallsStayRightAndLeaveNothingBehind) {
  host.plugin();
  ASSERT_TRUE(service.waitFor(kApi + "/vdj/version", 1));
  // The first round warms up what is made once per process (libcurl, the
  // handle pool, the track maps) and gives the figures to hold.
  EXPECT_EQ(round(), 0);
  service.clearRequests();
  plays = 0;
  reported = 0;
  const Usage before = usage();
  const int renewalsBefore = generation;

  EXPECT_EQ(round(), 0);
  // Exactly one renewal per stale token, and none spent a refresh token
  // that another thread had already spent.
  EXPECT_GT(generation, renewalsBefore);
  EXPECT_EQ(refreshedAfterExpiry, generation);
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(tokenFile(), json({{"access", token("acc-")}, {"refresh", token("ref-")}}));

  // The service's connection threads, the idle connections they serve and
  // the buffers of both go within its keep-alive time of 5 s; what is still
  // held a minute later stays for good. A leak of one small block per call
  // would keep hundreds of kilobytes.
  service.clearRequests();
  const size_t memoryMargin = 256 * kThreads * kCallsPerThread;
  Usage after = usage();
  for (int waited = 0; waited < 600; ++waited) {
    if (after.threads <= before.threads && after.fds <= before.fds && after.memory < before.memory + memoryMargin) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = usage();
  }
  std::printf("threads %zu -> %zu, descriptors %zu -> %zu, memory %zu -> %zu, renewals %d\n",
              before.threads, after.threads, before.fds, after.fds, before.memory, after.memory, generation);
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.fds, before.fds);
  EXPECT_LT(after.memory, before.memory + memoryMargin);
}
