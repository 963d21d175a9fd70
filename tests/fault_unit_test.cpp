// Faults whose reader is internal: a process killed while it rewrites its
// files, and JSON texts built to exhaust the parser.
#include <chrono>
#include <cstdio>
#include <functional>
#include <csignal>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "service/tokens.h"
#include "offline/cache_index.h"
#include "core/json_fields.h"
#include "core/local_files.h"
#include "tests/support/file_watch.h"
#include "tests/support/temp_home.h"

using namespace tvoz;
using namespace tvoz_test;

namespace {

// Starts a child that runs `write(0)`, `write(1)`, `write(0)`, ... until it
// is killed, and kills it with SIGKILL at a random moment after its first
// change of `file`.
void killWhileRewriting(const std::string &dir, const std::string &file,
                        const std::function<void(int)> &write, std::mt19937 &random) {
  const auto initial = readWholeFile(file);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int i = 0;; i ^= 1) write(i);
  }
  EXPECT_TRUE(waitInFolder(dir, [&] { return readWholeFile(file) != initial; }));
  // The random moment itself, not a wait for something to happen.
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
}

}  // namespace

TEST(CrashSafety, FilesKilledMidRewriteHoldTheOldOrTheNewContentWhole) {
  TempHome home("http://127.0.0.1:1");
  std::mt19937 random(std::random_device{}());
  // Large enough that a write takes many system calls.
  const std::string big(256 << 10, 'x');
  const std::string tokens[2] = {json({{"access", "a0" + big}, {"refresh", "r0"}}).dump(),
                                 json({{"access", "a1"}, {"refresh", "r1" + big}}).dump()};
  const std::string entries[2] = {"/music/" + big + ".mp3", "/music/short.mp3"};

  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    killWhileRewriting(home.supportDir(), tokenFilePath(), [&](int i) {
      storeTokens(i ? "a1" : "a0" + big, std::string(i ? "r1" + big : "r0"));
    }, random);
    auto text = home.read(tokenFilePath());
    EXPECT_TRUE(text == tokens[0] || text == tokens[1]);

    writeCacheIndex({{"keep", "/music/keep.mp3"}});
    killWhileRewriting(home.supportDir(), cacheIndexPath(), [&](int i) {
      cacheIndexSet("t1", entries[i]);
    }, random);
    json index = loadCacheIndex();
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(index.value("keep", ""), "/music/keep.mp3");
    EXPECT_TRUE(index.value("t1", "") == entries[0] || index.value("t1", "") == entries[1]);
  }
}

TEST(JsonFields, RefusesTenMegabytesOfBracketsUnreadButNotBracketsInText) {
  EXPECT_FALSE(parseJson(std::string(10 << 20, '[')));
  // Brackets inside strings, escaped quotes included, are text, not levels.
  const std::string text = "{\"a\":\"\\\"" + std::string(100, '[') + "\",\"b\":[[1]]}";
  auto value = parseJson(text);
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["a"], "\"" + std::string(100, '['));
}
