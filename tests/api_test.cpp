#include "service/api.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/tokens.h"
#include "core/local_files.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

using namespace tvoz;
using tvoz_test::FakeService;
using tvoz_test::json;
using tvoz_test::kApi;

namespace {

// The service accepts only the token "fresh"; the token endpoint answers
// with `grant` (status and body).
struct Api : ::testing::Test {
  FakeService service;
  tvoz_test::TempHome home{service.origin()};
  std::string tokenPath = std::string(kApi) + "/oauth/token";

  void SetUp() override {
    service.api("/vdj/folders", [](const tvoz_test::Request &r, httplib::Response &res) {
      bool ok = r.header("Authorization") == "Bearer fresh";
      tvoz_test::reply(res, ok ? 200 : 401, ok ? json{{"folders", json::array()}}
                                               : json{{"message", "expired"}});
    });
    storeTokens("stale", std::string("R1"));
    configSet("device_id", "dev 1");
  }

  void grantAnswers(int status, const std::string &body) {
    service.on("POST", tokenPath, [status, body](const auto &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "application/json");
    });
  }
  std::vector<tvoz_test::Request> grants() { return service.requestsTo(tokenPath); }
};

}  // namespace

TEST_F(Api, RefusedTokenIsRefreshedOnceAndTheRequestRepeated) {
  grantAnswers(200, R"({"access_token":"fresh","refresh_token":"R2"})");
  HttpResult r = apiGet("/vdj/folders");
  EXPECT_EQ(r.status, 200);

  ASSERT_EQ(grants().size(), 1u);
  EXPECT_EQ(grants()[0].body, "grant_type=refresh_token&refresh_token=R1&device=dev%201");
  auto calls = service.apiRequests("/vdj/folders");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].query, "access_token=stale");
  EXPECT_EQ(calls[1].query, "access_token=fresh");
  EXPECT_EQ(*home.read(home.support("Tornavoz.tokens")), R"({"access":"fresh","refresh":"R2"})");
}

TEST_F(Api, GrantWithoutRefreshTokenKeepsTheStoredOne) {
  grantAnswers(200, R"({"access_token":"fresh"})");
  EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(refreshToken(), "R1");
  EXPECT_EQ(*home.read(home.support("Tornavoz.tokens")), R"({"access":"fresh","refresh":"R1"})");
}

TEST_F(Api, EmptyGrantSignsOutAndReturnsTheFirstRefusal) {
  grantAnswers(200, "{}");
  HttpResult r = apiGet("/vdj/folders");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.body, R"({"message":"expired"})");
  EXPECT_FALSE(isSignedIn());
  EXPECT_EQ(service.apiRequests("/vdj/folders").size(), 1u);  // not repeated
  EXPECT_EQ(*home.read(home.support("Tornavoz.tokens")), R"({"access":"","refresh":"R1"})");
}

TEST_F(Api, FailedGrantLogsOneLineAndIsTriedAgainNextTime) {
  grantAnswers(400, R"({"message":"bad refresh"})");
  EXPECT_EQ(apiGet("/vdj/folders").status, 401);
  EXPECT_EQ(home.logLines(), std::vector<std::string>{"refresh falló: 400"});
  EXPECT_EQ(accessToken(), "stale");

  grantAnswers(200, "not json");
  EXPECT_EQ(apiGet("/vdj/folders").status, 401);
  EXPECT_EQ(grants().size(), 2u);
  EXPECT_EQ(home.logLines().size(), 1u);  // an unusable 200 is not logged
  EXPECT_EQ(accessToken(), "stale");
}

TEST_F(Api, OnlyARefusalStartsARefreshAndOnlyWithARefreshToken) {
  grantAnswers(200, R"({"access_token":"fresh"})");
  service.api("/vdj/crates", 403, json{{"message", "forbidden"}});
  EXPECT_EQ(apiGet("/vdj/crates").status, 403);
  EXPECT_EQ(apiGet("/vdj/missing").status, 404);
  EXPECT_TRUE(grants().empty());

  storeTokens("stale", std::string(""));
  EXPECT_EQ(apiGet("/vdj/folders").status, 401);
  EXPECT_TRUE(grants().empty());

  // Signed out but still holding a refresh token: the grant runs and cures it.
  storeTokens("", std::string("R1"));
  EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(service.apiRequests("/vdj/folders")[1].query, "");
  EXPECT_EQ(grants().size(), 1u);
}

TEST_F(Api, ThreadsMeetingARefusalTogetherShareOneGrant) {
  grantAnswers(200, R"({"access_token":"fresh","refresh_token":"R2"})");
  std::vector<int64_t> statuses(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < statuses.size(); ++i) {
    threads.emplace_back([&, i] { statuses[i] = apiGet("/vdj/folders").status; });
  }
  for (auto &t : threads) t.join();
  for (auto s : statuses) EXPECT_EQ(s, 200);
  EXPECT_EQ(grants().size(), 1u);
}

TEST_F(Api, ConfiguredOriginWinsOverTheBuiltInOne) {
  EXPECT_EQ(apiBase(), service.origin() + "/wp-json/tvoz/v1");
  EXPECT_EQ(tokenEndpoint(), service.origin() + "/wp-json/tvoz/v1/oauth/token");
  configSet("service_origin", "");
  EXPECT_EQ(serviceOrigin(), "https://api.tornavoz.example");
}
