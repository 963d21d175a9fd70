#include "service/tokens.h"

#include <filesystem>
#include <regex>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "service/device.h"
#include "core/local_files.h"
#include "tests/support/temp_home.h"

using namespace tvoz;
namespace fs = std::filesystem;

namespace {

struct Tokens : ::testing::Test {
  tvoz_test::TempHome home{"http://127.0.0.1:1"};
  std::string file = home.support("Tornavoz.tokens");
};

}  // namespace

TEST_F(Tokens, LoadTakesWhatTheFileHoldsUpToTheFirstBadMember) {
  struct Case {
    const char *content;
    const char *access;
    const char *refresh;
  } cases[] = {
      {R"({"access":"A","refresh":"R","extra":1})", "A", "R"},
      {R"({"access":"","refresh":"R"})", "", "R"},
      {R"({"access":"A"})", "A", ""},
      {R"({"access":"A","refresh":5})", "A", ""},
      {R"({"access":5,"refresh":"R"})", "", ""},
      {R"(["A","R"])", "", ""},
      {"", "", ""},
      {"not json", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content);
    storeTokens("", std::string());
    home.write(file, c.content);
    loadTokens();
    EXPECT_EQ(accessToken(), c.access);
    EXPECT_EQ(refreshToken(), c.refresh);
    EXPECT_EQ(isSignedIn(), *c.access != '\0');
    EXPECT_EQ(*home.read(file), c.content);  // a load never rewrites the file
  }
}

TEST_F(Tokens, SaveWritesCompactPrivateFileAndRefusesTextJsonCannotCarry) {
  storeTokens("acc", std::string("ref"));
  EXPECT_EQ(*home.read(file), R"({"access":"acc","refresh":"ref"})");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  storeTokens("new", std::nullopt);  // no refresh token given: the stored one stays
  EXPECT_EQ(*home.read(file), R"({"access":"new","refresh":"ref"})");

  // Invalid UTF-8: the old file stays whole, the token lives in memory.
  EXPECT_NO_THROW(storeTokens("bad\xff", std::string("ref")));
  EXPECT_EQ(accessToken(), "bad\xff");
  EXPECT_EQ(*home.read(file), R"({"access":"new","refresh":"ref"})");

  storeTokens("", std::string(""));
  EXPECT_EQ(*home.read(file), R"({"access":"","refresh":""})");
  clearTokens();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(isSignedIn());
  EXPECT_NO_THROW(clearTokens());
}

TEST_F(Tokens, DeviceIdIsMadeOnceAndAStoredOneIsNeverTouched) {
  std::string id = deviceId();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")) ||
              std::regex_match(id, std::regex("[0-9a-f]{32}")))
      << id;
  EXPECT_EQ(deviceId(), id);
  EXPECT_EQ(home.config()["device_id"], id);

  configSet("device_id", "hand edited!");
  EXPECT_EQ(deviceId(), "hand edited!");
  EXPECT_EQ(home.config()["device_id"], "hand edited!");
}

TEST(DeviceName, DropsTheLocalSuffixAndFallsBack) {
  EXPECT_EQ(deviceNameFrom("Studio-MacBook.local"), "Studio-MacBook");
  EXPECT_EQ(deviceNameFrom("cabina.localdomain"), "cabina");
  EXPECT_EQ(deviceNameFrom("a.LOCAL"), "a.LOCAL");
  EXPECT_EQ(deviceNameFrom(".local"), "Computadora");
  EXPECT_EQ(deviceNameFrom(""), "Computadora");
  EXPECT_EQ(deviceNameFrom(nullptr), "Computadora");
  EXPECT_FALSE(deviceName().empty());
}
