// Rules easier to state as tables than as scenarios: the local files'
// readers and writers, the device identity, safe file names and the JSON
// nesting limit, called directly.
#include <regex>

#include "core/local_files.h"
#include "offline/download.h"
#include "service/device.h"
#include "service/tokens.h"
#include "tests/support/support.h"

using namespace tvoz_test;

TEST(LocalFiles, ConfigurationSurvivesDamageAndIsWrittenCompactSortedAndWhole) {
  Home home("http://127.0.0.1:9");
  const std::string file = home.support("Tornavoz.config");
  for (const char *damaged : {"", "[1,2]", "{\"offline_dir\":\"\",\"n\":3}"}) {
    SCOPED_TRACE(damaged);
    home.write(file, damaged);
    EXPECT_EQ(tvoz::cacheDir(), home.offline());
    EXPECT_EQ(tvoz::configGet("n"), "") << "a member that is not a string reads as absent";
  }
  tvoz::configSet("offline_dir", "/Users/dj/Música");
  tvoz::configSet("device_id", "abc");
  EXPECT_EQ(home.read(file), R"({"device_id":"abc","n":3,"offline_dir":"/Users/dj/Música"})");

  ::unsetenv("HOME");
  EXPECT_EQ(tvoz::supportDir(), "/tmp/Library/Application Support/VirtualDJ");
}

TEST(LocalFiles, TokenFileIsReadUpToTheFirstBadMemberAndWrittenOnlyWhenJsonCanHoldIt) {
  Home home("http://127.0.0.1:9");
  const std::tuple<const char *, const char *, const char *> files[] = {
      {R"({"access":"A","refresh":"R","extra":1})", "A", "R"}, {R"({"access":"A"})", "A", ""},
      {R"({"access":"A","refresh":5})", "A", nullptr}, {R"({"access":5,"refresh":"R"})", nullptr, nullptr},
      {"not json", nullptr, nullptr}};
  for (const auto &[text, access, refresh] : files) {
    SCOPED_TRACE(text);
    tvoz::FileTokens read = tvoz::readTokenFile(text);
    EXPECT_EQ(read.access, access ? std::optional<std::string>(access) : std::nullopt);
    EXPECT_EQ(read.refresh, refresh ? std::optional<std::string>(refresh) : std::nullopt);
  }
  tvoz::storeTokens("acc", std::string("ref"));
  EXPECT_EQ(home.read(tvoz::tokenFilePath()), R"({"access":"acc","refresh":"ref"})");
  // A token JSON cannot carry lives in memory; the file stays whole.
  EXPECT_NO_THROW(tvoz::storeTokens("bad\xff", std::string("ref")));
  EXPECT_EQ(tvoz::accessToken(), "bad\xff");
  EXPECT_EQ(home.read(tvoz::tokenFilePath()), R"({"access":"acc","refresh":"ref"})");
}

TEST(Device, IdIsMadeOnceAndNeverTouchedAgainAndTheNameDropsLocal) {
  Home home("http://127.0.0.1:9");
  const std::string id = tvoz::deviceId();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}|[0-9a-f]{32}"))) << id;
  EXPECT_EQ(tvoz::deviceId(), id);
  tvoz::configSet("device_id", "hand edited!");
  EXPECT_EQ(tvoz::deviceId(), "hand edited!");
  EXPECT_EQ(home.readJson(home.support("Tornavoz.config"))["device_id"], "hand edited!");

  const std::pair<const char *, const char *> names[] = {
      {"Studio-MacBook.local", "Studio-MacBook"}, {"cabina.localdomain", "cabina"}, {".local", "Computadora"}};
  for (const auto &[host, name] : names) EXPECT_EQ(tvoz::deviceNameFrom(host), name) << host;
}

TEST(SafeName, ReservedCharactersControlsAndTrimsAndTheCutKeepCharactersWhole) {
  const std::pair<std::string, std::string> names[] = {
      {"AC/DC: Back? \"In\" <Black>*|\\", "AC-DC- Back- -In- -Black----"},
      {"Tab\there\nline\x7f", "Tabhereline\x7f"}, {"Canción Ñandú", "Canción Ñandú"},
      {". Hidden", ". Hidden"}, {"  A  . b .", "A  . b"}, {" . . ", "track"},
      // The cut comes after the trims, so what ends the 120 bytes stays; a
  // character it would split goes whole (through the module in the offline tests).
      {std::string(118, 'a') + ". " + std::string(80, 'b'), std::string(118, 'a') + ". "},
      {std::string(116, 'a') + "𝄞x", std::string(116, 'a') + "𝄞"}};
  for (const auto &[display, safe] : names) EXPECT_EQ(tvoz::safeFileName(display), safe) << display;
  EXPECT_EQ(tvoz::safeExtension(".."), "");
}

TEST(JsonFields, NestingBeyondTheLimitIsRefusedButBracketsInsideTextAreNot) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(tvoz::parseJson(nested(tvoz::kMaxJsonDepth)));
  EXPECT_FALSE(tvoz::parseJson(nested(tvoz::kMaxJsonDepth + 1)));
  const std::string brackets(1000, '[');
  auto text = tvoz::parseJson("{\"t\":\"" + brackets + "\\\"" + brackets + "\",\"n\":[[1]]}");
  ASSERT_TRUE(text);
  EXPECT_EQ((*text)["t"], brackets + "\"" + brackets);
}

TEST(LocalFiles, ASavedCopyNeverReplacesAFileThatIsThere) {
  Home home;
  home.write(home.path() + "/mine.mp3", "the DJ's own");
  tvoz::PartFile part(home.path());
  ASSERT_TRUE(part.write("download", 8) && part.close());
  EXPECT_FALSE(part.moveTo(home.path() + "/mine.mp3"));
  EXPECT_EQ(home.read(home.path() + "/mine.mp3"), "the DJ's own");
  EXPECT_TRUE(part.moveTo(home.path() + "/free.mp3"));
  EXPECT_EQ(home.read(home.path() + "/free.mp3"), "download");
}
