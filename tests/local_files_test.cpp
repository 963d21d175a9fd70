#include "core/local_files.h"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"

using namespace tvoz;
namespace fs = std::filesystem;

namespace {

struct LocalFiles : ::testing::Test {
  tvoz_test::TempHome home{"http://127.0.0.1:1"};
  std::string configPath = home.support("Tornavoz.config");
};

}  // namespace

TEST_F(LocalFiles, DamagedConfigurationReadsAsEmptyAndIsReplacedByTheNextSet) {
  for (const char *damaged : {"", "[1,2]", "\"text\"", "{\"offline_dir\":\"/x\"} trailing",
                              "{\"offline_dir\":\"/x\",}", "{/*c*/\"offline_dir\":\"/x\"}"}) {
    SCOPED_TRACE(damaged);
    home.write(configPath, damaged);
    EXPECT_EQ(configGet("offline_dir"), "");
    EXPECT_EQ(cacheDir(), home.path() + "/Music/Tornavoz");
  }
  home.write(configPath, "[]");
  configSet("offline_dir", "/Volumes/USB");
  EXPECT_EQ(*home.read(configPath), R"({"offline_dir":"/Volumes/USB"})");
  fs::remove(configPath);
  EXPECT_EQ(configGet("offline_dir"), "");
}

TEST_F(LocalFiles, DeeplyNestedConfigurationReadsAsDamagedAndSetStillWrites) {
  // Written back whole, the nesting used to recurse once per level.
  home.write(configPath, "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
  EXPECT_EQ(configGet("a"), "");
  configSet("device_id", "abc");
  EXPECT_EQ(*home.read(configPath), R"({"device_id":"abc"})");
}

TEST_F(LocalFiles, SetKeepsOtherMembersAndWritesCompactSortedUtf8) {
  home.write(configPath, R"({"zeta":"z", "offline_dir":"", "count": 3})");
  EXPECT_EQ(cacheDir(), home.path() + "/Music/Tornavoz");  // empty counts as unset
  EXPECT_EQ(configGet("count"), "");                       // not a string: absent

  configSet("offline_dir", "/Users/dj/Música");
  configSet("device_id", "abc");
  EXPECT_EQ(configGet("offline_dir"), "/Users/dj/Música");
  EXPECT_EQ(cacheDir(), "/Users/dj/Música");
  EXPECT_EQ(*home.read(configPath),
            R"({"count":3,"device_id":"abc","offline_dir":"/Users/dj/Música","zeta":"z"})");
}

TEST_F(LocalFiles, LogAppendsOneLinePerMessageInOrder) {
  home.write(home.support("Tornavoz.log"), "earlier\n");
  logLine("refresh falló: 0");
  logLine("segunda");
  EXPECT_EQ(*home.read(home.support("Tornavoz.log")), "earlier\nrefresh falló: 0\nsegunda\n");

  fs::remove_all(home.supportDir());
  logLine("dropped");  // no folder: silently nothing
  EXPECT_FALSE(fs::exists(home.support("Tornavoz.log")));
}

TEST_F(LocalFiles, AtomicWriteReplacesWholeOrLeavesTheOldFile) {
  std::string target = home.support("file.json");
  ASSERT_TRUE(writeFileAtomic(target, "old", 0600));
  ASSERT_TRUE(writeFileAtomic(target, "new content", 0640));
  EXPECT_EQ(*home.read(target), "new content");
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // A folder in the way of the rename: the write fails and leaves nothing behind.
  std::string blocked = home.support("blocked");
  fs::create_directories(blocked + "/inside");
  EXPECT_FALSE(writeFileAtomic(blocked, "x", 0644));
  EXPECT_FALSE(writeFileAtomic(home.path() + "/missing/dir/f", "x", 0644));
  size_t entries = 0;
  for (auto &e : fs::directory_iterator(home.supportDir())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3u);  // config, file.json, blocked: no temporary files left

  EXPECT_FALSE(fileExists(home.support("empty")));
  home.write(home.support("empty"), "");
  EXPECT_FALSE(fileExists(home.support("empty")));
  EXPECT_TRUE(fileExists(target));
}

TEST(LocalFilesHome, UnsetHomeFallsBackToTmp) {
  ::unsetenv("HOME");
  EXPECT_EQ(supportDir(), "/tmp/Library/Application Support/VirtualDJ");
  ::setenv("HOME", "", 1);
  EXPECT_EQ(supportDir(), "/Library/Application Support/VirtualDJ");
}
