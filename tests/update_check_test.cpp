#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "service/tokens.h"
#include "plugin/update_check.h"
#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

using namespace tvoz_test;

namespace {

std::string notice(const std::string &version) {
  return "--text=Hay una version nueva del plugin Tornavoz (" + version +
         "). Se abrira la descarga; instalala para tener las ultimas mejoras.";
}

class UpdateCheck : public ::testing::Test {
 protected:
  // checkForUpdate runs on the test's thread, so the answer is never read
  // while it changes.
  void answer(int status, const std::string &body) { service.api("/vdj/version", status, body); }

  FakeService service;
  TempHome home{service.origin()};
  FakePrograms programs;
};

}  // namespace

TEST_F(UpdateCheck, AnnouncesVersionsThatSortAfterOursAsText) {
  struct Case {
    std::string version;
    bool newer;
  };
  const Case cases[] = {
      {"1.0.1", true},  {"1.0.10", true}, {"1.1", true},   {"2", true},      {"10.0.0", true},
      {"1.0.0-beta", true}, {"1.0.0 ", true}, {"v1", true}, {"1.0.0", false}, {"1.0", false},
      {"0.9.9", false}, {"", false}, {"1.0.0\xc3\xa9", true}, {"\xc3\xbf", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("version \"" + c.version + "\"");
    answer(200, json{{"version", c.version}, {"url", ""}}.dump());
    size_t before = programs.calls("zenity").size();
    tvoz::checkForUpdate();
    auto alerts = programs.calls("zenity");
    ASSERT_EQ(alerts.size(), before + (c.newer ? 1 : 0));
    if (c.newer) {
      EXPECT_EQ(alerts.back().args.back(), notice(c.version));
    }
  }
  EXPECT_TRUE(programs.calls("xdg-open").empty()) << "an empty url opens nothing";
}

TEST_F(UpdateCheck, StaysSilentOnAnythingButAUsableAnswer) {
  const std::string newer = json{{"version", "2.0.0"}, {"url", "https://dl.example/p"}}.dump();
  struct Case {
    const char *name;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"status 500", 500, newer},
      {"status 304", 304, newer},
      {"not JSON", 200, "<html>2.0.0</html>"},
      {"JSON with a comment", 200, "/* x */" + newer},
      {"not an object", 200, "[\"2.0.0\"]"},
      {"numeric version", 200, R"({"version":2,"url":"https://dl.example/p"})"},
      {"numeric url", 200, R"({"version":"2.0.0","url":7})"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    answer(c.status, c.body);
    tvoz::checkForUpdate();
  }
  EXPECT_TRUE(programs.calls().empty());
  EXPECT_TRUE(home.logLines().empty());
}

TEST_F(UpdateCheck, OpensTheDownloadPageAfterTheNoticeWithoutCredentials) {
  tvoz::storeTokens("secret-token", std::string("r"));
  const std::string marker = home.path() + "/ran";
  const std::string url = "https://dl.example/it's;touch " + marker + ";$(touch " + marker + ")";
  answer(200, json{{"version", "1.0.1"}, {"url", url}}.dump());
  tvoz::checkForUpdate();

  auto calls = programs.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].program, "zenity");
  EXPECT_EQ(calls[1].program, "xdg-open");
  EXPECT_EQ(calls[1].args, std::vector<std::string>{url});
  EXPECT_FALSE(std::filesystem::exists(marker));

  auto asked = service.apiRequests("/vdj/version");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].query, "");
  EXPECT_FALSE(asked[0].hasHeader("Authorization"));
}
