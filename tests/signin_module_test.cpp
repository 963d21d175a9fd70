#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/file_watch.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

const std::string kTokenPath = std::string(kApi) + "/oauth/token";

const std::string kPage =
    "<html><body style='font-family:sans-serif;text-align:center;padding-top:80px;"
    "background:#111;color:#eee'><h2>Tornavoz</h2><p>Sesion iniciada. Ya puedes volver a "
    "VirtualDJ.</p></body></html>";

// What a browser does with the plug-in's listener, on a plain socket: one
// request, then everything until the listener closes.
std::string fetchRaw(int port, const std::string &request) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    char buf[1024];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, n);
  }
  ::close(fd);
  return reply;
}

class Signin : public ::testing::Test {
 protected:
  void SetUp() override {
    // The service's sign-in page sends the browser back to the listener.
    service.on("GET", "/", [](const Request &r, httplib::Response &res) {
      auto at = r.query.find("redirect_uri=");
      if (r.query.rfind("tvoz_vdj_oauth=1&", 0) != 0 || at == std::string::npos) {
        res.status = 400;
        return;
      }
      res.status = 302;
      res.set_header("Location", r.query.substr(at + 13) + "?code=abc%2Fdef&state=s1");
    });
    grantAnswer(200, {{"access_token", "acc-1"}, {"refresh_token", "ref-1"}});
  }

  void grantAnswer(int status, const json &body) {
    grantAnswer(status, body.dump());
  }
  void grantAnswer(int status, const std::string &body) {
    service.on("POST", kTokenPath, [status, body](const Request &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "application/json");
    });
  }

  bool logged(const std::string &line) const {
    auto lines = home.logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool waitForLog(const std::string &line) const {
    return waitInFolder(home.supportDir(), [&] { return logged(line); });
  }
  json tokenFile() const {
    auto text = home.read(home.support("Tornavoz.tokens"));
    return text ? json::parse(*text) : json();
  }

  // The listener's port, from the sign-in URL the browser was given.
  int lastListenerPort() const {
    auto opened = programs.calls("xdg-open");
    if (opened.empty()) return 0;
    const std::string &url = opened.back().args.at(0);
    auto at = url.rfind("127.0.0.1:");
    return at == std::string::npos ? 0 : std::stoi(url.substr(at + 10));
  }

  FakeService service;
  TempHome home{service.origin()};
  FakePrograms programs;
  TestHost host;
};

}  // namespace

TEST_F(Signin, BrowserSignInStoresTheTokensTheCapturedCodeWasTradedFor) {
  programs.followLinks();
  ASSERT_EQ(host.plugin().OnLogin(), 0);

  auto opened = programs.calls("xdg-open");
  ASSERT_EQ(opened.size(), 1u);
  int port = lastListenerPort();
  ASSERT_GT(port, 0);
  const std::string url = service.origin() +
                          "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" +
                          std::to_string(port) + "/";
  EXPECT_EQ(opened[0].args, std::vector<std::string>{url});
  EXPECT_TRUE(logged("startLogin puerto=" + std::to_string(port) + " url=" + url));

  EXPECT_EQ(programs.fetchedPage(), kPage) << "the browser lands on the listener's page";
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));

  auto grants = service.requestsTo(kTokenPath);
  ASSERT_EQ(grants.size(), 1u);
  const std::string device = home.config().value("device_id", "");
  ASSERT_FALSE(device.empty());
  const std::string start =
      "grant_type=authorization_code&code=abc%2Fdef&device=" + device + "&device_name=";
  EXPECT_EQ(grants[0].body.substr(0, start.size()), start) << grants[0].body;
  EXPECT_EQ(grants[0].body.find('&', start.size()), std::string::npos) << grants[0].body;

  EXPECT_EQ(tokenFile(), json({{"access", "acc-1"}, {"refresh", "ref-1"}}));
  EXPECT_TRUE(host.signedIn());
  EXPECT_TRUE(programs.calls("zenity").empty());
}

TEST_F(Signin, ListenerRepliesWithTheFixedPageEvenWithoutACode) {
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  int first = lastListenerPort();
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  int second = lastListenerPort();
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_NE(first, second) << "every sign-in gets a listener of its own";

  std::string reply =
      fetchRaw(second, "GET /?error=access_denied HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Connection: close\r\n\r\n" + kPage);
  ASSERT_TRUE(waitForLog("loopback: no llego code"));
  EXPECT_TRUE(service.requestsTo(kTokenPath).empty());
  EXPECT_FALSE(host.signedIn());
}

TEST_F(Signin, ListenerSurvivesABrowserThatHangsUpAtOnce) {
  // A host does not ignore SIGPIPE for us (the test's libraries do).
  std::signal(SIGPIPE, SIG_DFL);
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  // The browser resets the connection before sending anything, so the
  // listener's reply goes to a dead peer: that must not raise SIGPIPE, which
  // would end the host.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(lastListenerPort()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  EXPECT_TRUE(waitForLog("loopback: no llego code"));
}

TEST_F(Signin, FailedGrantShowsTheServiceMessageOnceAndKeepsTheTokens) {
  const std::string message = "El código caducó. " + std::string(200, 'x');
  grantAnswer(400, json{{"message", message}});
  host.plugin().OnOAuth(nullptr, 0, nullptr, "c1", nullptr);

  auto alerts = programs.calls("zenity");
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].args.back(), "--text=" + message);
  const std::string body = json{{"message", message}}.dump();
  EXPECT_TRUE(logged("exchangeCode falló: 400 " + body.substr(0, 160)));
  EXPECT_FALSE(host.signedIn());

  SCOPED_TRACE("a body that is not JSON shows nothing");
  grantAnswer(502, std::string("Bad gateway"));
  host.plugin().OnOAuth(nullptr, 0, nullptr, "c2", nullptr);
  EXPECT_EQ(programs.calls("zenity").size(), 1u);
  EXPECT_TRUE(logged("exchangeCode falló: 502 Bad gateway"));
}

TEST_F(Signin, GrantAnswerSetsBothTokensOrNothing) {
  // A refresh token of the wrong type: nothing of this answer is kept, so a
  // half-read grant cannot sign in with a token the file does not hold.
  grantAnswer(200, json{{"access_token", "new-a"}, {"refresh_token", 5}});
  host.plugin().OnOAuth(nullptr, 0, nullptr, "c1", nullptr);
  EXPECT_FALSE(host.signedIn());
  EXPECT_FALSE(home.read(home.support("Tornavoz.tokens")).has_value());

  // A 200 without tokens signs out, and says so in the file.
  host.plugin().OnOAuth("old-a", 0, "old-r", nullptr, nullptr);
  ASSERT_TRUE(host.signedIn());
  grantAnswer(200, json::object());
  host.plugin().OnOAuth(nullptr, 0, nullptr, "c2", nullptr);
  EXPECT_FALSE(host.signedIn());
  EXPECT_EQ(tokenFile(), json({{"access", ""}, {"refresh", ""}}));
}

TEST_F(Signin, OnOAuthPrefersErrorThenCodeThenTokens) {
  grantAnswer(200, json{{"access_token", "from-grant"}, {"refresh_token", "r-grant"}});

  host.plugin().OnOAuth("handed", 3600, "r-handed", "c1", "access_denied");
  EXPECT_TRUE(logged("OnOAuth: code=c1 access=SI err=access_denied"));
  EXPECT_TRUE(logged("OAuth error: access_denied"));
  EXPECT_TRUE(service.requestsTo(kTokenPath).empty());
  EXPECT_FALSE(host.signedIn());

  host.plugin().OnOAuth("handed", 3600, "r-handed", "c%2F1", "");
  ASSERT_EQ(service.requestsTo(kTokenPath).size(), 1u);
  EXPECT_EQ(service.requestsTo(kTokenPath)[0].body.rfind(
                "grant_type=authorization_code&code=c%2F1&device=", 0),
            0u);
  EXPECT_EQ(tokenFile(), json({{"access", "from-grant"}, {"refresh", "r-grant"}}));

  host.plugin().OnOAuth("handed", 3600, "r-handed", "", nullptr);
  EXPECT_EQ(tokenFile(), json({{"access", "handed"}, {"refresh", "r-handed"}}));
}

TEST_F(Signin, OnOAuthWithoutRefreshTokenKeepsTheStoredOne) {
  home.write(home.support("Tornavoz.tokens"), R"({"access":"old-a","refresh":"keep-me"})");
  host.plugin().OnOAuth("new-a", 3600, nullptr, nullptr, nullptr);
  EXPECT_EQ(tokenFile(), json({{"access", "new-a"}, {"refresh", "keep-me"}}));
  host.plugin().OnOAuth("newer-a", 3600, "", nullptr, nullptr);
  EXPECT_EQ(tokenFile(), json({{"access", "newer-a"}, {"refresh", "keep-me"}}));

  host.plugin().OnOAuth(nullptr, 0, nullptr, nullptr, nullptr);
  EXPECT_TRUE(logged("OnOAuth: code=(null) access=no err=(null)"));
  EXPECT_EQ(tokenFile(), json({{"access", "newer-a"}, {"refresh", "keep-me"}}));
  EXPECT_TRUE(host.signedIn());
}
