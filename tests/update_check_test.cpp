// Announcing a newer plug-in at load: the notice before the download page,
// and what never reaches the system opener.
#include <future>

#include "plugin/update_check.h"
#include "tests/support/support.h"

using namespace tvoz_test;
using UpdateCheck = Scenario;

namespace {

std::string notice(const std::string &version) {
  return "--text=Hay una version nueva del plugin Tornavoz (" + version +
         "). Se abrira la descarga; instalala para tener las ultimas mejoras.";
}

}  // namespace

TEST_F(UpdateCheck, LoadReturnsBeforeTheAnswerAndTheNoticeComesBeforeTheDownloadPage) {
  signIn();
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  service.api("/vdj/version", [gate](const demo::Request &, httplib::Response &res) {
    // Held until OnLoad has returned: a load that waited for the check would
    // show nothing, or show it before returning.
    gate.wait_for(std::chrono::seconds(60));
    res.set_content(R"({"version":"1.0.1","url":"https://dl.example/p"})", "application/json");
  });
  EXPECT_EQ(host.createPlugin()->OnLoad(), 0);
  EXPECT_TRUE(desktop.calls().empty()) << "the load waited for the service";
  release.set_value();

  ASSERT_TRUE(desktop.waitForCalls("xdg-open", 1));
  auto calls = desktop.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args.back(), notice("1.0.1"));
  EXPECT_EQ(calls[1].args, std::vector<std::string>{"https://dl.example/p"});
  EXPECT_EQ(sent("/vdj/version"), std::vector<std::string>{"/vdj/version"}) << "no token";
  EXPECT_FALSE(service.apiRequests("/vdj/version")[0].hasHeader("Authorization"));
}

TEST_F(UpdateCheck, OnlyAWebAddressIsOpenedAndOnlyANewerVersionShowsAnything) {
  const std::pair<std::string, bool> urls[] = {{"file:///Applications/Calculator.app", false},
                                               {"HTTPS://dl.example/it's;$(touch x)", true},
                                               {"http://dl.example/p", true}};
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

  // Our own version and older ones are not news; a bad "url" stops the check
  // even when the version is newer.
  const size_t shown = desktop.calls().size();
  const std::pair<int, std::string> quiet[] = {
      {500, R"({"version":"2.0","url":"https://dl.example/p"})"},
      {200, R"({"version":"1.0.0","url":""})"}, {200, R"({"version":"0.9.9","url":""})"},
      {200, R"({"version":2,"url":""})"}, {200, R"({"version":"2.0","url":7})"}, {200, "<html>2.0</html>"}};
  for (const auto &[status, body] : quiet) {
    service.api("/vdj/version", status, body);
    tvoz::checkForUpdate();
    EXPECT_EQ(desktop.calls().size(), shown) << status << " " << body;
  }
}
