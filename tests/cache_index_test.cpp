#include <gtest/gtest.h>

#include <thread>

#include "offline/cache_index.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_home.h"

using namespace tvoz_test;
using tvoz::json;
using tvoz::cachedFileFor;
using tvoz::cacheIndexSet;
using tvoz::loadCacheIndex;

namespace {

constexpr const char *kIndex = "Tornavoz-cache-index.json";

class CacheIndexTest : public ::testing::Test {
 protected:
  TempHome home{"http://127.0.0.1:9"};

  std::optional<std::string> indexText() { return home.read(home.support(kIndex)); }
  // A saved track's file, `content` as its bytes.
  std::string track(const std::string &name, const std::string &content = "audio") {
    std::string path = home.offlineDir() + "/" + name;
    home.write(path, content);
    return path;
  }
};

}  // namespace

TEST_F(CacheIndexTest, MissingOrDamagedIndexReadsEmptyAndIsReplacedOnSet) {
  const std::string path = track("Ana - Luna.mp3");
  const std::vector<std::optional<std::string>> files = {std::nullopt, "", "[]", "{\"a\":",
                                                         "\"texto\""};
  for (const auto &content : files) {
    SCOPED_TRACE(content.value_or("<no file>"));
    std::remove(home.support(kIndex).c_str());
    if (content) home.write(home.support(kIndex), *content);

    EXPECT_EQ(loadCacheIndex(), json::object());
    EXPECT_EQ(cachedFileFor("t1"), "");
    cacheIndexSet("t1", path);
    EXPECT_EQ(indexText(), json({{"t1", path}}).dump());
    EXPECT_EQ(cachedFileFor("t1"), path);
  }
}

TEST_F(CacheIndexTest, WritesOneCompactLineInByteOrder) {
  cacheIndexSet("9", "/old/9.mp3");
  cacheIndexSet("10", "/música/10.mp3");
  cacheIndexSet("a", "/a.mp3");
  cacheIndexSet("A", "/A.mp3");
  cacheIndexSet("9", "/new/9.mp3");  // replaces
  EXPECT_EQ(indexText(),
            R"({"10":"/música/10.mp3","9":"/new/9.mp3","A":"/A.mp3","a":"/a.mp3"})");

  tvoz::cacheIndexErase("A");
  tvoz::cacheIndexErase("missing");
  EXPECT_EQ(indexText(), R"({"10":"/música/10.mp3","9":"/new/9.mp3","a":"/a.mp3"})");
}

TEST_F(CacheIndexTest, LocalCopyCountsOnlyWhenFileHasContent) {
  const std::string path = track("Ana - Luna.mp3", "");
  home.write(home.support(kIndex),
             json({{"t1", path}, {"gone", home.offlineDir() + "/gone.mp3"}, {"empty", ""},
                   {"number", 5}, {"object", {{"path", path}}}})
                 .dump());

  for (const char *id : {"t1", "gone", "empty", "number", "object", "T1", "none"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(cachedFileFor(id), "");
  }
  track("Ana - Luna.mp3", "audio");
  EXPECT_EQ(cachedFileFor("t1"), path);
}

TEST_F(CacheIndexTest, FailedWriteLeavesOldIndexWhole) {
  cacheIndexSet("t1", "/a.mp3");
  const auto before = indexText();

  SCOPED_TRACE("text JSON cannot carry");
  EXPECT_FALSE(tvoz::writeCacheIndex({{"t1", "/a.mp3"}, {"t2", "\xff\xfe"}}));
  EXPECT_EQ(indexText(), before);

  {
    // A file size limit stops the write even for root, where permissions do not.
    FileSizeLimit tight(64);
    cacheIndexSet("t2", "/" + std::string(200, 'x') + ".mp3");
  }
  EXPECT_EQ(indexText(), before);
  EXPECT_EQ(cachedFileFor("t2"), "");
}

TEST_F(CacheIndexTest, ConcurrentChangesAreAllKept) {
  auto setMany = [](char prefix) {
    for (int i = 0; i < 25; ++i) cacheIndexSet(prefix + std::to_string(i), "/p");
  };
  std::thread a(setMany, 'a'), b(setMany, 'b');
  a.join();
  b.join();
  EXPECT_EQ(loadCacheIndex().size(), 50u);
}
