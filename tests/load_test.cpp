// The host's threads all at once, for a long set: listings, searches, plays
// and menus through the module, while the service lets each access token
// go stale after a few hundred requests. Every answer must stay right, each
// stale token must be refreshed exactly once, and the process must end the
// set with the threads, descriptors and memory it started with.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define TVOZ_LIVE_HEAP 1
#endif

namespace {
#ifdef TVOZ_LIVE_HEAP
// A leak of one small block per call would show as hundreds of kilobytes.
constexpr size_t kMemoryMargin = 1 << 20;
#else
// Resident pages also move with the allocator's arenas and caches.
constexpr size_t kMemoryMargin = 8 << 20;
#endif
}  // namespace

#include <gtest/gtest.h>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 500;
constexpr int kUsesPerToken = 300;
const std::string kGrantPath = std::string(kApi) + "/oauth/token";

// The service's side of the tokens: the current access token serves
// kUsesPerToken requests, then is refused (401) until the refresh grant
// with the current refresh token issues the next pair.
class ExpiringTokens {
 public:
  bool accept(const std::string &authorization) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (authorization != "Bearer " + access()) return false;
    if (uses_ == kUsesPerToken) {
      expired_ = generation_;
      return false;
    }
    ++uses_;
    return true;
  }
  std::optional<json> grant(const std::string &body) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (body.rfind("grant_type=refresh_token&refresh_token=" + refresh() + "&", 0) != 0) {
      ++refused_;
      return std::nullopt;
    }
    if (expired_ == generation_) ++refreshedAfterExpiry_;
    ++generation_;
    uses_ = 0;
    return json{{"access_token", access()}, {"refresh_token", refresh()}};
  }
  // Grants so far, those refused, and those that came after their token had
  // really gone stale.
  struct Counts {
    int generation, refused, refreshedAfterExpiry;
  };
  Counts counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {generation_, refused_, refreshedAfterExpiry_};
  }
  std::string access() const { return "acc-" + std::to_string(generation_); }
  std::string refresh() const { return "ref-" + std::to_string(generation_); }

 private:
  mutable std::mutex mutex_;
  int generation_ = 0;
  int uses_ = 0;
  int expired_ = -1;
  int refused_ = 0;
  int refreshedAfterExpiry_ = 0;
};

// The value of the first member of a query ("file=x&access_token=..." -> "x").
std::string value(const std::string &query) {
  auto start = query.find('=') + 1;
  return query.substr(start, query.find('&') - start);
}

size_t entriesIn(const char *dir) {
  size_t n = 0;
  if (DIR *d = ::opendir(dir)) {
    while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// Memory in use: the live heap under a sanitizer (whose quarantine of freed
// blocks makes the resident size grow without any leak), else VmRSS.
size_t memoryInUse() {
#ifdef TVOZ_LIVE_HEAP
  return __sanitizer_get_current_allocated_bytes();
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
#endif
}

// Requests the service accepted, with a wait for a number of them.
class Tally {
 public:
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int count, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  int take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(count_, 0);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

struct Usage {
  size_t threads, fds, memory;
};

Usage usage() { return {entriesIn("/proc/self/task"), entriesIn("/proc/self/fd"), memoryInUse()}; }

class Load : public ::testing::Test {
 protected:
  Load() {
    serve("/vdj/folders", [](const Request &) {
      return json{{"folders", {{{"id", "f0"}, {"name", "House"}, {"count", 3}},
                               {{"id", "f1"}, {"name", "Techno"}, {"count", 3}}}}};
    });
    serve("/vdj/tracks", [](const Request &r) {
      // Three tracks named after the folder or the search text.
      const std::string key = value(r.query);
      json tracks = json::array();
      for (int i = 0; i < 3; ++i) {
        tracks.push_back({{"id", key + "-" + std::to_string(i)}, {"title", "T"}, {"artist", "A"}});
      }
      return json{{"tracks", tracks}};
    });
    serve("/vdj/resolve", [](const Request &r) {
      return json{{"url", "https://cdn.example/" + value(r.query) + ".mp3"}};
    });
    serve("/vdj/crates",
          [](const Request &) { return json{{"crates", {{{"id", 7}, {"name", "Set"}}}}}; });
    serve("/vdj/played", [](const Request &) { return json{{"ok", true}}; }, &played);
    serve("/vdj/favorite", [](const Request &) { return json{{"ok", true}}; }, &favorited);
    service.on("POST", kGrantPath, [this](const Request &r, httplib::Response &res) {
      if (auto pair = tokens.grant(r.body)) {
        reply(res, 200, *pair);
      } else {
        reply(res, 400, {{"message", "refresh token gastado"}});
      }
    });
    service.api("/vdj/version", 200, json{{"version", "0"}});
    home.write(home.support("Tornavoz.tokens"),
               json({{"access", tokens.access()}, {"refresh", tokens.refresh()}}).dump());
  }

  // Answers `path` with `answer` to requests with a live token (counted in
  // `accepted` when given), and 401 to the others.
  void serve(const std::string &path, std::function<json(const Request &)> answer,
             Tally *accepted = nullptr) {
    service.api(path, [this, answer, accepted](const Request &r, httplib::Response &res) {
      if (!tokens.accept(r.header("Authorization"))) {
        res.status = 401;
        return;
      }
      reply(res, 200, answer(r));
      if (accepted) accepted->add();
    });
  }

  // One host call of the mix; false when its answer is wrong.
  bool call(int thread, int n) {
    const std::string id = "id" + std::to_string((thread * kCallsPerThread + n) % 97);
    switch (n % 6) {
      case 0: {
        auto folders = host.folders();
        return folders.size() == 2 && folders[1].id == "f1" && folders[1].label == "Techno (3)";
      }
      case 1: {
        const std::string folder = "f" + std::to_string(n % 2);
        auto tracks = host.open(folder.c_str());
        return tracks.size() == 3 && tracks[2].id == folder + "-2";
      }
      case 2: {
        const std::string text = "q" + std::to_string(n % 50);
        auto tracks = host.search(text.c_str());
        return tracks.size() == 3 && tracks[0].id == text + "-0";
      }
      case 3: {
        streams.fetch_add(1);
        auto answer = host.stream(id.c_str());
        return answer.result == 0 && answer.url == "https://cdn.example/" + id + ".mp3";
      }
      case 4:
        return host.menu(id.c_str()) ==
               std::vector<std::string>{"Me gusta", "Anadir a: Set", "Anadir a nueva playlist",
                                        "Guardar para tocar sin internet"};
      default:
        favorites.fetch_add(1);
        return host.choose(id.c_str(), 0) == 0;  // "Me gusta" in every menu
    }
  }

  // 8 threads x 500 calls; the number of wrong answers.
  int round() {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int n = 0; n < kCallsPerThread; ++n) {
          if (!call(t, n)) wrong.fetch_add(1);
        }
      });
    }
    for (auto &thread : threads) thread.join();
    return wrong;
  }

  // Waits until every play report has been received, then until the
  // process is back to `limit` threads and descriptors (connection threads
  // of the fake service and the idle connections they serve close within
  // its keep-alive time).
  Usage settle(const std::optional<Usage> &limit) {
    EXPECT_TRUE(played.waitFor(streams, std::chrono::seconds(20)));
    EXPECT_EQ(played.take(), streams);
    EXPECT_EQ(favorited.take(), favorites);
    service.clearRequests();
    streams = 0;
    favorites = 0;
    if (!limit) return usage();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    Usage now = usage();
    while ((now.threads > limit->threads || now.fds > limit->fds) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
      now = usage();
    }
    return now;
  }

  ExpiringTokens tokens;
  FakeService service;
  TempHome home{service.origin()};
  FakePrograms programs;
  TestHost host;
  std::atomic<int> streams{0}, favorites{0};  // calls made
  Tally played, favorited;                     // requests accepted
};

}  // namespace

TEST_F(Load, EightThreadsOfMixedCallsStayCorrectAndLeaveNothingBehind) {
  host.plugin();
  ASSERT_TRUE(service.waitFor(std::string(kApi) + "/vdj/version", 1));

  // The first round warms up what is made once per process (libcurl, the
  // connection cache, the track maps) and gives the figures to hold.
  EXPECT_EQ(round(), 0);
  const Usage before = settle(std::nullopt);
  const int refreshesBefore = tokens.counts().generation;
  EXPECT_GE(refreshesBefore, kThreads * kCallsPerThread / kUsesPerToken);

  EXPECT_EQ(round(), 0);
  const Usage after = settle(before);

  // Exactly one refresh per stale token: each grant followed an expiry, and
  // none spent a refresh token that another thread had already spent.
  EXPECT_EQ(tokens.counts().refreshedAfterExpiry, tokens.counts().generation);
  EXPECT_EQ(tokens.counts().refused, 0);
  EXPECT_GT(tokens.counts().generation, refreshesBefore);
  EXPECT_EQ(home.read(home.support("Tornavoz.tokens")),
            json({{"access", tokens.access()}, {"refresh", tokens.refresh()}}).dump());

  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.fds, before.fds);
  EXPECT_LT(after.memory, before.memory + kMemoryMargin)
      << "before " << before.memory << ", after " << after.memory;
  std::printf("threads %zu -> %zu, descriptors %zu -> %zu, memory %zu -> %zu, refreshes %d\n",
              before.threads, after.threads, before.fds, after.fds, before.memory, after.memory,
              tokens.counts().generation);
}
