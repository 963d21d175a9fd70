#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

constexpr const char *kRefused = "No se pudo abrir la canción (¿sesión vencida?).";
constexpr const char *kInvalid = "Respuesta inválida del servidor.";
constexpr const char *kNoUrl = "Sin URL de streaming.";

class StreamTest : public ::testing::Test {
 protected:
  FakeService service;
  TempHome home{service.origin()};
  TestHost host;

  std::string played() { return std::string(kApi) + "/vdj/played"; }
  std::vector<std::string> queries(const std::string &apiPath) {
    std::vector<std::string> out;
    for (const auto &r : service.apiRequests(apiPath)) out.push_back(r.query);
    return out;
  }
};

}  // namespace

TEST_F(StreamTest, SavedTrackPlaysLocallyUntilItsFileIsGone) {
  const std::string path = home.offlineDir() + "/Ana - Luna (1).mp3";
  home.write(path, "audio");
  home.write(home.support("Tornavoz-cache-index.json"), json({{"t 1", path}}).dump());
  service.api("/vdj/resolve", 200, json{{"url", "https://cdn.example/t1.mp3?sig=a%2Fb"}});

  StreamAnswer local = host.stream("t 1");
  EXPECT_EQ(local.result, 0);
  EXPECT_EQ(local.url, "file://" + path);  // spaces kept as they are
  EXPECT_EQ(local.error, std::nullopt);
  ASSERT_TRUE(service.waitFor(played(), 1));
  EXPECT_EQ(queries("/vdj/played"), std::vector<std::string>{"file=t%201"});
  EXPECT_TRUE(service.apiRequests("/vdj/resolve").empty());

  std::remove(path.c_str());
  StreamAnswer streamed = host.stream("t 1");
  EXPECT_EQ(streamed.result, 0);
  EXPECT_EQ(streamed.url, "https://cdn.example/t1.mp3?sig=a%2Fb");
  EXPECT_EQ(queries("/vdj/resolve"), std::vector<std::string>{"file=t%201"});
  EXPECT_TRUE(service.waitFor(played(), 2));
}

TEST_F(StreamTest, EachFailureHasItsText) {
  const std::vector<std::tuple<int, std::string, const char *>> cases = {
      {500, R"({"url":"https://cdn/x"})", kRefused},
      {404, "", kRefused},
      {200, "no es JSON", kInvalid},
      {200, R"(["https://cdn/x"])", kInvalid},
      {200, R"({"url":5})", kInvalid},
      {200, R"({"url":""})", kNoUrl},
      {200, R"({})", kNoUrl},
  };
  for (const auto &[status, body, text] : cases) {
    SCOPED_TRACE(std::to_string(status) + " " + body);
    service.api("/vdj/resolve", status, body);
    StreamAnswer a = host.stream("t1");
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.error, text);
    EXPECT_EQ(a.url, std::nullopt);
  }
}

TEST_F(StreamTest, RefusalThatOutlivesRefreshIsReportedAndPlayStillLogged) {
  home.write(home.support("Tornavoz.tokens"), json({{"access", "old"}, {"refresh", "r1"}}).dump());
  service.on("POST", std::string(kApi) + "/oauth/token", [](const Request &, httplib::Response &res) {
    reply(res, 200, {{"access_token", "new"}, {"refresh_token", "r2"}});
  });
  service.api("/vdj/resolve", 401, json{{"message", "no"}});
  service.api("/vdj/played", 401, json{{"message", "no"}});

  StreamAnswer a = host.stream("t1");
  EXPECT_EQ(a.result, 1);
  EXPECT_EQ(a.error, kRefused);
  EXPECT_EQ(service.apiRequests("/vdj/resolve").size(), 2u);  // the first try and one repeat
  EXPECT_TRUE(service.waitFor(played(), 1));
}

TEST_F(StreamTest, EmptyIdIsResolvedWithoutReport) {
  service.api("/vdj/resolve", 200, json{{"url", "https://cdn/x"}});
  EXPECT_EQ(host.stream(nullptr).result, 0);
  EXPECT_EQ(host.stream("").result, 0);
  EXPECT_EQ(queries("/vdj/resolve"), (std::vector<std::string>{"file=", "file="}));

  // A report for the empty ids would have been started before this one.
  host.stream("marker");
  ASSERT_TRUE(service.waitFor(played(), 1));
  EXPECT_EQ(queries("/vdj/played"), std::vector<std::string>{"file=marker"});
}
