#include "service/http.h"

#include <gtest/gtest.h>

#include "service/tokens.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/tls_cert.h"

using namespace tvoz;
using tvoz_test::FakeService;

namespace {

struct Http : ::testing::Test {
  FakeService service;
  tvoz_test::TempHome home{service.origin()};
  std::string url(const std::string &path) { return service.origin() + path; }
};

}  // namespace

TEST(WithToken, AppendsTheTokenWithTheRightSeparator) {
  tvoz_test::TempHome home("http://127.0.0.1:1");
  EXPECT_EQ(withToken("https://h/p"), "https://h/p");  // signed out: byte for byte
  storeTokens("t0k", std::nullopt);
  EXPECT_EQ(withToken("https://h/p"), "https://h/p?access_token=t0k");
  EXPECT_EQ(withToken("https://h/p?q=1"), "https://h/p?q=1&access_token=t0k");
  EXPECT_EQ(withToken("https://h/p", "x y"), "https://h/p?access_token=x y");
}

TEST_F(Http, AuthorisedGetCarriesTheTokenTwiceAndOnlyWhenSignedIn) {
  service.on("GET", "/p", [](const auto &, auto &res) {
    res.status = 401;
    res.set_content("nope", "text/plain");
  });

  HttpResult signedOut = httpGet(url("/p?x=1"), true);
  EXPECT_EQ(signedOut.status, 401);
  EXPECT_EQ(signedOut.body, "nope");

  storeTokens("tok", std::nullopt);
  httpGet(url("/p?x=1"), true);
  httpGet(url("/p"), false);

  auto seen = service.requestsTo("/p");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].query, "x=1");
  EXPECT_FALSE(seen[0].hasHeader("Authorization"));
  EXPECT_EQ(seen[1].query, "x=1&access_token=tok");
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer tok");
  EXPECT_EQ(seen[1].header("User-Agent"), "Tornavoz-VDJ/1.0");
  EXPECT_EQ(seen[2].query, "");
  EXPECT_FALSE(seen[2].hasHeader("Authorization"));
}

TEST_F(Http, GetFollowsRedirectsButFormPostDoesNot) {
  service.on("GET", "/old", [](const auto &, auto &res) { res.set_redirect("/new"); });
  service.on("GET", "/new", [](const auto &, auto &res) { res.status = 204; });
  service.on("POST", "/token", [](const auto &, auto &res) {
    res.status = 302;
    res.set_header("Location", "/elsewhere");
    res.set_content("moved", "text/plain");
  });

  HttpResult get = httpGet(url("/old"), false);
  EXPECT_EQ(get.status, 204);
  EXPECT_EQ(get.body, "");

  HttpResult post = httpPostForm(url("/token"), "grant_type=x&code=a%20b");
  EXPECT_EQ(post.status, 302);
  EXPECT_EQ(post.body, "moved");
  auto posts = service.requestsTo("/token");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "grant_type=x&code=a%20b");
  EXPECT_EQ(posts[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_FALSE(posts[0].hasHeader("Authorization"));
  EXPECT_TRUE(service.requestsTo("/elsewhere").empty());
}

TEST_F(Http, FailedTransfersAndUntrustedCertificatesGiveStatusZero) {
  FakeService tlsService(tvoz_test::makeSelfSignedCert(home.path()));
  tlsService.on("GET", "/p", [](const auto &, auto &res) { res.set_content("secret", "text/plain"); });
  tlsService.on("POST", "/p", [](const auto &, auto &res) { res.set_content("secret", "text/plain"); });

  EXPECT_EQ(httpGet(tlsService.origin() + "/p", false).status, 0);
  EXPECT_EQ(httpPostForm(tlsService.origin() + "/p", "a=b").status, 0);
  EXPECT_TRUE(tlsService.requestsTo("/p").empty());

  HttpResult refused = httpGet("http://127.0.0.1:1/p", false);
  EXPECT_EQ(refused.status, 0);
  EXPECT_EQ(refused.body, "");
}
