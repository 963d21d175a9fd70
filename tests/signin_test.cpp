// Signing in: the browser flow through the loopback listener, the code grant
// and what its answers leave behind, and the host's own OAuth hand-over.
#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "account/signin.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

const std::string kGrant = kApi + "/oauth/token";
const std::string kPage =
    "<html><body style='font-family:sans-serif;text-align:center;padding-top:80px;"
    "background:#111;color:#eee'><h2>Tornavoz</h2><p>Sesion iniciada. Ya puedes volver a "
    "VirtualDJ.</p></body></html>";

// A connection to the listener on `port`; sends `request` when given and
// reads until the listener closes. -1 when refused.
int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}
std::string exchange(int port, const std::string &request) {
  int fd = connectTo(port);
  std::string reply;
  if (fd >= 0 && ::send(fd, request.data(), request.size(), 0) > 0) {
    char buf[1024];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, n);
  }
  if (fd >= 0) ::close(fd);
  return reply;
}

class Signin : public Scenario {
 protected:
  void grantAnswers(int status, const std::string &body) {
    service.on("POST", kGrant, [status, body](const demo::Request &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "application/json");
    });
  }
  // The sign-in page the browser was sent to last, and its listener's port.
  std::string openedUrl() const {
    auto opened = desktop.calls("xdg-open");
    return opened.empty() ? "" : opened.back().args.at(0);
  }
  int listenerPort() const {
    const std::string url = openedUrl();
    auto at = url.rfind("127.0.0.1:");
    return at == std::string::npos ? 0 : std::stoi(url.substr(at + 10));
  }
};

}  // namespace

TEST(ExtractCode, TakesTheTextAfterTheFirstCodeEquals) {
  const std::pair<std::string, std::string> cases[] = {
      {"GET /?code=abc123&state=x HTTP/1.1\r\nHost: a\r\n\r\n", "abc123"},
      {"GET /?code=abc123 HTTP/1.1\r\n", "abc123"},
      {"GET /?code=abc123", "abc123"},
      {"GET /?code=abc\nHost: a", "abc"},
      {"GET /?code=a%2Fb%3D HTTP/1.1", "a%2Fb%3D"},  // escapes kept as sent
      {"GET /?error_code=denied&code=real HTTP/1.1", "denied"},
      {"GET /?code= HTTP/1.1", ""},
      {"GET /?error=access_denied HTTP/1.1", ""},
      {std::string("GET /?x=1\0&code=hidden", 22), ""},  // a zero byte ends the text
      {std::string("GET /?code=ab\0cd", 16), "ab"},
  };
  for (const auto &[request, code] : cases) {
    SCOPED_TRACE(request);
    EXPECT_EQ(tvoz::extractCode(request.data(), request.size()), code);
  }
}

TEST_F(Signin, BrowserComesBackPastAnIdleConnectionAndTheCodeIsTradedForTokens) {
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  const int port = listenerPort();
  ASSERT_GT(port, 0);
  const std::string url = service.origin() + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" +
                          std::to_string(port) + "/";
  EXPECT_EQ(desktop.calls("xdg-open").at(0).args, std::vector<std::string>{url});
  EXPECT_TRUE(logged("startLogin puerto=" + std::to_string(port) + " url=" + url));

  // A connection that never sends anything comes first, as a browser's
  // pre-connection does; the real redirect must still be served.
  const int idle = connectTo(port);
  ASSERT_GE(idle, 0);
  auto browser = std::async(std::launch::async, [&] {
    httplib::Client client(service.origin());
    client.set_follow_location(true);
    client.set_read_timeout(std::chrono::seconds(20));  // the idle connection holds it 5 s
    auto res = client.Get(url.substr(service.origin().size()).c_str());
    return res ? res->body : std::string("<no answer>");
  });
  EXPECT_EQ(browser.get(), kPage);
  ::close(idle);
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));

  auto grants = service.requestsTo(kGrant);
  ASSERT_EQ(grants.size(), 1u);
  const std::string device = home.readJson(home.support("Tornavoz.config")).value("device_id", "");
  const std::string start = "grant_type=authorization_code&code=" +
                            grants[0].body.substr(35, 32) + "&device=" + device + "&device_name=";
  EXPECT_EQ(grants[0].body.rfind(start, 0), 0u) << grants[0].body;
  EXPECT_EQ(grants[0].body.find('&', start.size()), std::string::npos) << grants[0].body;
  EXPECT_FALSE(device.empty());
  EXPECT_TRUE(host.signedIn());
  EXPECT_EQ(tokenFile().size(), 2u);
  EXPECT_TRUE(desktop.calls("zenity").empty());
}

TEST_F(Signin, ListenerRepliesWithTheFixedPageEvenWithoutACodeAndEndsAfterItsLife) {
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  const int first = listenerPort();
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  const int second = listenerPort();
  EXPECT_NE(first, second) << "every sign-in gets a listener of its own";
  EXPECT_EQ(exchange(second, "GET /?error=access_denied HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Connection: close\r\n\r\n" + kPage);
  ASSERT_TRUE(waitForLog("loopback: no llego code"));
  EXPECT_TRUE(service.requestsTo(kGrant).empty());
  EXPECT_FALSE(host.signedIn());

  // A listener nobody comes back to closes its port and ends its thread.
  tvoz::LoopbackListener listener;
  const int port = listener.port();
  auto ended = std::async(std::launch::async, [&] {
    tvoz::serveSignIn(std::move(listener), std::chrono::milliseconds(300));
  });
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(logged("loopback: nadie volvio, puerto cerrado"));
  EXPECT_EQ(connectTo(port), -1);
}

TEST_F(Signin, CodeGrantKeepsBothTokensOrNothingAndShowsTheServiceMessage) {
  struct Case {
    int status;
    std::string body;
    json tokens;          // the token file afterwards
    std::string message;  // the alert shown, if any
  };
  const std::string longMessage = "El código caducó. " + std::string(200, 'x');
  const Case cases[] = {
      {200, R"({"access_token":"a1","refresh_token":"r1"})", {{"access", "a1"}, {"refresh", "r1"}}, ""},
      // A refresh token of the wrong type: nothing of this answer is kept.
      {200, R"({"access_token":"a2","refresh_token":5})", {{"access", "a1"}, {"refresh", "r1"}}, ""},
      {400, json{{"message", longMessage}}.dump(), {{"access", "a1"}, {"refresh", "r1"}}, longMessage},
      {502, "Bad gateway", {{"access", "a1"}, {"refresh", "r1"}}, ""},
      // A 200 without tokens signs out, and says so in the file.
      {200, "{}", {{"access", ""}, {"refresh", ""}}, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.body);
    grantAnswers(c.status, c.body);
    const size_t alerts = desktop.calls("zenity").size();
    host.plugin().OnOAuth(nullptr, 0, nullptr, "c%2F1", nullptr);
    EXPECT_EQ(service.requestsTo(kGrant).back().body.rfind("grant_type=authorization_code&code=c%2F1&device=", 0), 0u);
    EXPECT_EQ(tokenFile(), c.tokens);
    EXPECT_EQ(host.signedIn(), c.tokens["access"] != "");
    auto shown = desktop.calls("zenity");
    EXPECT_EQ(shown.size(), alerts + (c.message.empty() ? 0 : 1));
    if (!c.message.empty()) {
      EXPECT_EQ(shown.back().args.back(), "--text=" + c.message);
    }
    if (c.status != 200) {
      EXPECT_TRUE(logged("exchangeCode falló: " + std::to_string(c.status) + " " + c.body.substr(0, 160)));
    }
  }
}

TEST_F(Signin, OnOAuthPrefersTheErrorThenTheCodeThenTheTokens) {
  grantAnswers(200, R"({"access_token":"from-grant","refresh_token":"r-grant"})");
  host.plugin().OnOAuth("handed", 3600, "r-handed", "c1", "access_denied");
  EXPECT_TRUE(logged("OnOAuth: code=c1 access=SI err=access_denied"));
  EXPECT_TRUE(logged("OAuth error: access_denied"));
  EXPECT_TRUE(service.requestsTo(kGrant).empty());
  EXPECT_FALSE(host.signedIn());

  host.plugin().OnOAuth("handed", 3600, "r-handed", "c1", "");
  EXPECT_EQ(tokenFile(), json({{"access", "from-grant"}, {"refresh", "r-grant"}}));
  host.plugin().OnOAuth("handed", 3600, "r-handed", "", nullptr);
  EXPECT_EQ(tokenFile(), json({{"access", "handed"}, {"refresh", "r-handed"}}));
  // Without a refresh token, the stored one stays.
  host.plugin().OnOAuth("newer", 3600, nullptr, nullptr, nullptr);
  host.plugin().OnOAuth("newest", 3600, "", nullptr, nullptr);
  EXPECT_EQ(tokenFile(), json({{"access", "newest"}, {"refresh", "r-handed"}}));
  host.plugin().OnOAuth(nullptr, 0, nullptr, nullptr, nullptr);
  EXPECT_TRUE(logged("OnOAuth: code=(null) access=no err=(null)"));
  EXPECT_EQ(tokenFile(), json({{"access", "newest"}, {"refresh", "r-handed"}}));
  EXPECT_EQ(service.requestsTo(kGrant).size(), 1u);
}
