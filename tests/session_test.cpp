// The session with the service: where the access token travels, how a
// refused token is renewed, what each grant answer leaves behind, that a
// sign-out cannot be undone by a grant in flight, and that consecutive
// requests share one connection.
#include <future>
#include <set>
#include <tuple>

#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

// Answers `body` once `opened` is set, or gone: a promise's end releases its
// waiters too, so no answer outlives the test that held it.
demo::Handler after(std::promise<void> &opened, const std::string &body) {
  return [body, answers = opened.get_future().share()](const demo::Request &, httplib::Response &res) {
    answers.wait();
    res.set_content(body, "application/json");
  };
}

class Session : public Scenario {
 protected:
  // "/vdj/folders" answers only the token "fresh".
  void acceptOnlyFresh() {
    service.api("/vdj/folders", [](const demo::Request &r, httplib::Response &res) {
      const bool ok = r.header("Authorization") == "Bearer fresh";
      res.status = ok ? 200 : 401;
      res.set_content(ok ? R"({"folders":[{"id":"f","name":"F","count":1}]})" : R"({"message":"expired"})",
                      "application/json");
    });
  }
  void tokens(const std::string &access, const std::string &refresh) {
    home.write(home.support("Tornavoz.tokens"), json{{"access", access}, {"refresh", refresh}}.dump());
    host.plugin().OnLoad();
  }
};

}  // namespace

TEST_F(Session, TokenTravelsInQueryAndHeaderAndARefusedOneIsRenewedOnce) {
  home.write(home.support("Tornavoz.config"), json{{"service_origin", service.origin() + "/"}, {"device_id", "dev 1"}}.dump());
  signIn("old-a", "old-r", /*expired=*/true);
  // The update check at load stays unanswered, so the clicks and the grant
  // alone show how connections are used; and no pause of a slow machine may
  // let the service close an idle one.
  std::promise<void> updateCheck;
  service.api("/vdj/version", after(updateCheck, "{}"));
  service.server().set_keep_alive_timeout(600);

  EXPECT_EQ(host.open("cumbia-lunar").size(), 15u);
  const std::string fresh = tokenFile().value("access", "");
  ASSERT_NE(fresh, "old-a");
  EXPECT_EQ(sent("/vdj/tracks"), (std::vector<std::string>{
                                     "/vdj/tracks?genero=cumbia-lunar&access_token=old-a",
                                     "/vdj/tracks?genero=cumbia-lunar&access_token=" + fresh}));
  // The header's token is the load test's, whose service reads only that.
  EXPECT_EQ(service.apiRequests("/vdj/tracks")[1].header("User-Agent"), "Tornavoz-VDJ/1.0");

  auto grants = service.requestsTo(kGrant);
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_EQ(grants[0].body, "grant_type=refresh_token&refresh_token=old-r&device=dev%201");
  EXPECT_EQ(grants[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(grants[0].header("User-Agent"), "Tornavoz-VDJ/1.0");
  EXPECT_FALSE(grants[0].hasHeader("Authorization"));

  EXPECT_EQ(host.folders().size(), 11u);
  EXPECT_EQ(sent("/vdj/folders"), std::vector<std::string>{"/vdj/folders?access_token=" + fresh});

  std::set<int> ports;
  for (const auto &r : service.requests()) {
    if (r.path != kApi + "/vdj/version") ports.insert(r.clientPort);
  }
  EXPECT_EQ(ports.size(), 1u) << "one connection carries the clicks and the grant";
}

TEST_F(Session, EachGrantAnswerLeavesTheTokensAsItSays) {
  acceptOnlyFresh();
  const std::tuple<int, std::string, size_t, json, std::string> cases[] = {
      // status, body, folders listed after the refusal, the token file afterwards, the grant's log line
      {200, R"({"access_token":"fresh"})", 1, {{"access", "fresh"}, {"refresh", "R1"}}, ""},
      {200, "{}", 0, {{"access", ""}, {"refresh", "R1"}}, ""},  // no access token signs out
      {400, R"({"message":"bad refresh"})", 0, {{"access", "stale"}, {"refresh", "R1"}}, "refresh falló: 400"},
      {302, "moved", 0, {{"access", "stale"}, {"refresh", "R1"}}, "refresh falló: 302"},  // not followed
      {200, "not json", 0, {{"access", "stale"}, {"refresh", "R1"}}, ""},
  };
  for (const auto &[status, body, folders, file, line] : cases) {
    SCOPED_TRACE(body);
    tokens("stale", "R1");
    grantAnswers(status, body);
    const size_t lines = home.logLines().size(), asked = service.apiRequests("/vdj/folders").size();
    EXPECT_EQ(host.folders().size(), folders);
    EXPECT_EQ(tokenFile(), file);
    EXPECT_EQ(service.apiRequests("/vdj/folders").size(), asked + (folders ? 2 : 1));
    EXPECT_EQ(home.logLines().size() > lines ? home.logLines().back() : "", line);
  }
  EXPECT_EQ(service.requestsTo(kGrant).size(), std::size(cases));
}

TEST_F(Session, OnlyARefusalWithARefreshTokenStartsAGrant) {
  acceptOnlyFresh();
  grantAnswers(200, R"({"access_token":"fresh"})");
  tokens("stale", "R1");
  service.api("/vdj/crates", 403, R"({"crates":[{"id":1,"name":"x"}]})");
  EXPECT_EQ(host.menu("t1").size(), 3u);  // no playlists from a refusal
  tokens("stale", "");
  EXPECT_TRUE(host.folders().empty());
  EXPECT_TRUE(service.requestsTo(kGrant).empty());

  // Signed out but still holding a refresh token: the grant runs and cures it.
  tokens("", "R1");
  EXPECT_EQ(host.folders().size(), 1u);
  EXPECT_EQ(sent("/vdj/folders").end()[-2], "/vdj/folders");
  EXPECT_FALSE(service.apiRequests("/vdj/folders").end()[-2].hasHeader("Authorization"));
}

TEST_F(Session, GrantsStillAwayWhenTheDjSignsOutAreDropped) {
  acceptOnlyFresh();
  for (const bool refresh : {true, false}) {
    SCOPED_TRACE(refresh ? "refresh grant" : "code grant");
    tokens("stale", "R1");
    std::promise<void> signedOut;
    service.on("POST", kGrant, after(signedOut, R"({"access_token":"fresh","refresh_token":"R2"})"));
    const size_t asked = service.requestsTo(kGrant).size();
    auto away = std::async(std::launch::async, [&] {
      return refresh ? host.folders().size() : size_t(host.oauth(nullptr, nullptr, "c1", nullptr));
    });
    EXPECT_TRUE(service.waitFor(kGrant, asked + 1, std::chrono::minutes(1)));
    EXPECT_EQ(host.logout(), 0);
    signedOut.set_value();
    EXPECT_EQ(away.get(), 0u) << "the fresh token went unused";
    EXPECT_FALSE(host.signedIn());
    EXPECT_FALSE(home.read(home.support("Tornavoz.tokens")));
  }
  EXPECT_EQ(service.apiRequests("/vdj/folders").size(), 1u);
}
