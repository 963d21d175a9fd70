// Announcing a newer plug-in at load: which versions count as newer, the
// notice before the download page, and what never reaches the system opener.
#include <future>

#include "plugin/update_check.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

using UpdateCheck = Scenario;

std::string notice(const std::string &version) {
  return "--text=Hay una version nueva del plugin Tornavoz (" + version +
         "). Se abrira la descarga; instalala para tener las ultimas mejoras.";
}

}  // namespace

TEST(UpdateNotice, VersionsThatSortAfterOursAsTextAreNewer) {
  const std::pair<std::string, bool> cases[] = {
      {"1.0.1", true},  {"1.0.10", true}, {"1.1", true},    {"2", true},      {"10.0.0", true},
      {"1.0.0-beta", true}, {"1.0.0 ", true}, {"v1", true}, {"\xc3\xbf", true}, {"1.0.0", false},
      {"1.0", false},   {"0.9.9", false}, {"", false}};
  for (const auto &[version, newer] : cases) {
    EXPECT_EQ(tvoz::updateNoticeFor(json{{"version", version}, {"url", "u"}}.dump()).has_value(), newer)
        << version;
  }
  for (const char *bad : {"<html>2.0.0</html>", "/* x */{\"version\":\"2\"}", "[\"2.0.0\"]",
                          R"({"version":2,"url":"u"})", R"({"version":"2.0.0","url":7})"}) {
    EXPECT_FALSE(tvoz::updateNoticeFor(bad)) << bad;
  }
}

TEST_F(UpdateCheck, LoadReturnsAtOnceAndTheNoticeComesBeforeTheDownloadPage) {
  signIn();
  std::promise<void> answered;
  std::shared_future<void> gate = answered.get_future().share();
  service.api("/vdj/version", [gate](const demo::Request &, httplib::Response &res) {
    gate.wait_for(std::chrono::seconds(10));
    res.set_content(R"({"version":"1.0.1","url":"https://dl.example/p"})", "application/json");
  });
  hostabi::OnlineSource *plugin = host.createPlugin();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(plugin->OnLoad(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  answered.set_value();  // only now may the service answer

  ASSERT_TRUE(desktop.waitForCalls("xdg-open", 1));
  auto calls = desktop.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args.back(), notice("1.0.1"));
  EXPECT_EQ(calls[1].args, std::vector<std::string>{"https://dl.example/p"});
  EXPECT_EQ(sent("/vdj/version"), std::vector<std::string>{"/vdj/version"}) << "no token";
  EXPECT_FALSE(service.apiRequests("/vdj/version")[0].hasHeader("Authorization"));
}

TEST_F(UpdateCheck, OnlyAWebAddressIsOpenedAndABadAnswerShowsNothing) {
  const std::pair<std::string, bool> urls[] = {
      {"file:///Applications/Calculator.app", false}, {"/Applications/Calculator.app", false},
      {"smb://nas/share", false}, {"javascript:alert(1)", false}, {"", false},
      {"HTTPS://dl.example/it's;$(touch x)", true}, {"http://dl.example/p", true}};
  for (const auto &[url, opened] : urls) {
    SCOPED_TRACE(url);
    service.api("/vdj/version", 200, json{{"version", "2.0"}, {"url", url}}.dump());
    const size_t before = desktop.calls("xdg-open").size();
    tvoz::checkForUpdate();
    EXPECT_EQ(desktop.calls("zenity").back().args.back(), notice("2.0")) << "the notice still shows";
    auto opener = desktop.calls("xdg-open");
    ASSERT_EQ(opener.size(), before + (opened ? 1 : 0));
    if (opened) {
      EXPECT_EQ(opener.back().args, std::vector<std::string>{url});
    }
  }

  const size_t shown = desktop.calls().size();
  for (int status : {500, 304}) {
    service.api("/vdj/version", status, R"({"version":"2.0","url":"https://dl.example/p"})");
    tvoz::checkForUpdate();
  }
  service.api("/vdj/version", 200, R"({"version":"2.0","url":7})");
  tvoz::checkForUpdate();
  EXPECT_EQ(desktop.calls().size(), shown);
  EXPECT_TRUE(home.logLines().empty());
}
