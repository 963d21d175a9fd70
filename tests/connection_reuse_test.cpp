// Consecutive requests share one connection to the service, and a
// connection the service dropped is never an error the DJ sees.
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/tokens.h"
#include "core/local_files.h"
#include "service/api.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

using namespace tvoz;
using tvoz_test::FakeService;
using tvoz_test::json;
using tvoz_test::kApi;

namespace {

std::set<int> clientPorts(const std::vector<tvoz_test::Request> &requests) {
  std::set<int> ports;
  for (const auto &r : requests) ports.insert(r.clientPort);
  return ports;
}

void serveFolders(FakeService &service) {
  service.api("/vdj/folders", 200, json{{"folders", json::array()}});
}

}  // namespace

TEST(ConnectionReuse, ConsecutiveRequestsAndARefreshShareOneConnection) {
  FakeService service;
  tvoz_test::TempHome home(service.origin());
  serveFolders(service);
  service.api("/vdj/crates", [](const tvoz_test::Request &r, httplib::Response &res) {
    bool ok = r.header("Authorization") == "Bearer fresh";
    tvoz_test::reply(res, ok ? 200 : 401, json::object());
  });
  service.on("POST", std::string(kApi) + "/oauth/token", [](const auto &, auto &res) {
    tvoz_test::reply(res, 200, json{{"access_token", "fresh"}});
  });
  storeTokens("old", std::string("R"));

  EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(apiGet("/vdj/crates").status, 200);  // 401, grant, repeat

  auto all = service.requests();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(clientPorts(all).size(), 1u);
}

TEST(ConnectionReuse, ClosedConnectionsAreReplacedWithoutAFailedRequest) {
  FakeService service;
  tvoz_test::TempHome home(service.origin());
  serveFolders(service);

  // A service that says "Connection: close" after every answer.
  service.server().set_keep_alive_max_count(1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(clientPorts(service.requests()).size(), 3u);

  // A service that drops a connection as soon as it falls idle, without a
  // word: our cached connection is dead when the next click comes.
  service.server().set_keep_alive_max_count(1000);
  service.server().set_keep_alive_timeout(0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(apiGet("/vdj/folders").status, 200);
  EXPECT_EQ(service.requests().size(), 8u);
}

TEST(ConnectionReuse, ConcurrentRequestsStayIndependent) {
  FakeService service;
  tvoz_test::TempHome home(service.origin());
  service.api("/vdj/resolve", [](const tvoz_test::Request &r, httplib::Response &res) {
    tvoz_test::reply(res, 200, json{{"echo", r.query}});
  });
  std::vector<std::string> answers(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < answers.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::string q = "file=" + std::to_string(t) + "-" + std::to_string(i);
        HttpResult r = apiGet("/vdj/resolve?" + q);
        if (r.status != 200 || json::parse(r.body)["echo"] != q) answers[t] = "wrong: " + r.body;
      }
    });
  }
  for (auto &t : threads) t.join();
  for (const auto &a : answers) EXPECT_EQ(a, "");
  EXPECT_EQ(service.apiRequests("/vdj/resolve").size(), 160u);
  // About one connection per thread: idle ones were handed on, not closed.
  EXPECT_LE(clientPorts(service.requests()).size(), 16u);
}
