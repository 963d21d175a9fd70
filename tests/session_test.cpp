// The session with the service: where the access token travels, how a
// refused token is renewed, what each grant answer leaves behind, and that
// consecutive requests share one connection.
#include <regex>
#include <set>

#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

const std::string kGrant = kApi + "/oauth/token";

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
  // The token endpoint answers as told.
  void grantAnswers(int status, const std::string &body) {
    service.on("POST", kGrant, [status, body](const demo::Request &, httplib::Response &res) {
      res.status = status;
      if (status == 302) res.set_header("Location", "/elsewhere");
      res.set_content(body, "application/json");
    });
  }
  void tokens(const std::string &access, const std::string &refresh) {
    home.write(home.support("Tornavoz.tokens"), json{{"access", access}, {"refresh", refresh}}.dump());
    host.plugin().OnLoad();
  }
};

}  // namespace

TEST_F(Session, TokenTravelsInQueryAndHeaderAndARefusedOneIsRenewedOnce) {
  home.write(home.support("Tornavoz.config"),
             json{{"service_origin", service.origin() + "/"}, {"device_id", "dev 1"}}.dump());
  signIn("old-a", "old-r", /*expired=*/true);

  EXPECT_EQ(host.open("cumbia-lunar").size(), 15u);
  const json renewed = tokenFile();
  const std::string fresh = renewed.value("access", "");
  ASSERT_NE(fresh, "old-a");
  EXPECT_NE(renewed.value("refresh", ""), "old-r");
  EXPECT_EQ(sent("/vdj/tracks"), (std::vector<std::string>{
                                     "/vdj/tracks?genero=cumbia-lunar&access_token=old-a",
                                     "/vdj/tracks?genero=cumbia-lunar&access_token=" + fresh}));
  auto tracks = service.apiRequests("/vdj/tracks");
  EXPECT_EQ(tracks[0].header("Authorization"), "Bearer old-a");
  EXPECT_EQ(tracks[1].header("Authorization"), "Bearer " + fresh);
  EXPECT_EQ(tracks[1].header("User-Agent"), "Tornavoz-VDJ/1.0");

  auto grants = service.requestsTo(kGrant);
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_EQ(grants[0].body, "grant_type=refresh_token&refresh_token=old-r&device=dev%201");
  EXPECT_EQ(grants[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(grants[0].header("User-Agent"), "Tornavoz-VDJ/1.0");
  EXPECT_FALSE(grants[0].hasHeader("Authorization"));

  EXPECT_EQ(host.folders().size(), 11u);
  EXPECT_EQ(sent("/vdj/folders"), std::vector<std::string>{"/vdj/folders?access_token=" + fresh});
  EXPECT_EQ(service.requestsTo(kGrant).size(), 1u) << "the new token serves later requests";

  // One connection carried the clicks and the grant; the update check at
  // load may have opened a second one beside them.
  std::set<int> ports;
  for (const auto &r : service.requests()) ports.insert(r.clientPort);
  EXPECT_LE(ports.size(), 2u);
}

TEST_F(Session, EachGrantAnswerLeavesTheTokensAsItSays) {
  struct Case {
    const char *name;
    int status;
    std::string body;
    size_t folders;       // listed after the refusal
    json tokens;          // the token file afterwards
    const char *logLine;  // written by the failed grant, if any
  };
  acceptOnlyFresh();
  const Case cases[] = {
      {"renewed without a refresh token", 200, R"({"access_token":"fresh"})", 1,
       {{"access", "fresh"}, {"refresh", "R1"}}, nullptr},
      {"no access token signs out", 200, "{}", 0, {{"access", ""}, {"refresh", "R1"}}, nullptr},
      {"refused", 400, R"({"message":"bad refresh"})", 0, {{"access", "stale"}, {"refresh", "R1"}},
       "refresh falló: 400"},
      {"redirected, not followed", 302, "moved", 0, {{"access", "stale"}, {"refresh", "R1"}},
       "refresh falló: 302"},
      {"not JSON", 200, "not json", 0, {{"access", "stale"}, {"refresh", "R1"}}, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tokens("stale", "R1");
    grantAnswers(c.status, c.body);
    const size_t lines = home.logLines().size(), asked = service.apiRequests("/vdj/folders").size();
    EXPECT_EQ(host.folders().size(), c.folders);
    EXPECT_EQ(tokenFile(), c.tokens);
    EXPECT_EQ(service.apiRequests("/vdj/folders").size(), asked + (c.folders ? 2 : 1));
    EXPECT_EQ(home.logLines().size(), lines + (c.logLine ? 1 : 0));
    if (c.logLine) {
      EXPECT_EQ(home.logLines().back(), c.logLine);
    }
  }
  EXPECT_EQ(service.requestsTo(kGrant).size(), std::size(cases));
  EXPECT_TRUE(service.requestsTo("/elsewhere").empty());
}

TEST_F(Session, OnlyARefusalWithARefreshTokenStartsAGrant) {
  acceptOnlyFresh();
  grantAnswers(200, R"({"access_token":"fresh"})");
  tokens("stale", "R1");
  service.api("/vdj/crates", 403, R"({"message":"forbidden"})");
  EXPECT_EQ(host.menu("t1").size(), 3u);  // no playlists
  tokens("stale", "");
  EXPECT_TRUE(host.folders().empty());
  EXPECT_TRUE(service.requestsTo(kGrant).empty());

  // Signed out but still holding a refresh token: the grant runs and cures it.
  tokens("", "R1");
  EXPECT_EQ(host.folders().size(), 1u);
  EXPECT_EQ(sent("/vdj/folders").end()[-2], "/vdj/folders");
  EXPECT_FALSE(service.apiRequests("/vdj/folders").end()[-2].hasHeader("Authorization"));
  EXPECT_EQ(service.requestsTo(kGrant).size(), 1u);
}
