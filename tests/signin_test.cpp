// Signing in: the browser flow through the loopback listener, the code grant
// and what its answers leave behind, and the host's own OAuth hand-over.
#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include "account/signin.h"
#include "service/device.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

// The page the browser shows, sent in full after the whole request.
bool isReply(const std::string &reply) {
  return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
         reply.find("Sesion iniciada. Ya puedes volver a VirtualDJ.</p></body></html>") != std::string::npos;
}

// A connection to the listener on `port`, whose receives give up after 30 s
// (only a listener that never answers is that slow); -1 when refused.
int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}

// Sends a request in `pieces`, each once the listener had a moment to answer
// too early, and reads until the listener closes.
std::string exchange(int port, const std::vector<std::string> &pieces) {
  const int fd = connectTo(port);
  std::string reply;
  for (const auto &piece : pieces) {
    pollfd early{fd, POLLIN, 0};
    if (::poll(&early, 1, 100) != 0) reply = "<answered early> ";
    ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
  }
  char buf[1024];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, n);
  ::close(fd);
  return reply;
}

// The local addresses listening on `port`, as /proc/net/tcp writes them.
std::vector<std::string> listeningOn(unsigned port) {
  std::vector<std::string> out;
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    char local[16];
    unsigned localPort, state;
    const int read = std::sscanf(line.c_str(), " %*u: %15[0-9A-F]:%X %*s %X", local, &localPort, &state);
    if (read == 3 && localPort == port && state == 0x0A) out.push_back(local);
  }
  return out;
}

using Signin = Scenario;

}  // namespace

TEST(ExtractCode, TakesTheTextAfterTheFirstCodeEquals) {
  const std::pair<std::string, std::string> cases[] = {
      {"GET /?code=abc123&state=x HTTP/1.1\r\nHost: a\r\n\r\n", "abc123"},
      {"GET /?code=a%2Fb%3D", "a%2Fb%3D"},  // escapes kept as sent, up to the end
      {"GET /?error_code=denied&code=real HTTP/1.1", "denied"},  // the first "code=" anywhere
      {std::string("GET /?x=1\0&code=hidden", 22), ""},  // a zero byte ends the text
  };
  for (const auto &[request, code] : cases) {
    SCOPED_TRACE(request);
    EXPECT_EQ(tvoz::extractCode(request.data(), request.size()), code);
  }
}

TEST_F(Signin, ListenerOnLoopbackOnlyRepliesToAnyRequestWaitsOutIdleConnectionsAndEndsAfterItsLife) {
  auto listenerPort = [this] {
    EXPECT_EQ(host.plugin().OnLogin(), 0);
    auto opened = desktop.calls("xdg-open");
    const std::string url = opened.at(opened.size() - 1).args.at(0);
    EXPECT_EQ(url, service.origin() + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" +
                       url.substr(url.rfind(':') + 1));
    return std::stoi(url.substr(url.rfind(':') + 1));
  };
  EXPECT_TRUE(isReply(exchange(listenerPort(), {"GET /?error=access_denied HTTP/1.1\r\n\r\n"})));

  // A browser's pre-connection that never sends anything is dropped without
  // a word; the request that follows may come in pieces.
  const int port = listenerPort(), idle = connectTo(port);
  EXPECT_EQ(listeningOn(port), std::vector<std::string>{"0100007F"}) << "reachable from other machines";
  char byte;
  EXPECT_EQ(::recv(idle, &byte, 1, 0), 0);
  ::close(idle);
  const std::string code = service.tokens().newCode();
  ASSERT_TRUE(isReply(exchange(port, {"GET /?co", "de=" + code.substr(0, 4),
                                      code.substr(4) + " HTTP/1.1\r\nHost: 127.0.0.1\r", "\n\r\n"})));
  ASSERT_TRUE(waitInFolder(home.support(), [&] { return logged("login OK (code capturado)"); },
                           std::chrono::minutes(1)));
  auto grants = service.requestsTo(kGrant);
  ASSERT_EQ(grants.size(), 1u) << "none without a code";
  // Made now when the grant sent none: then it cannot match.
  const std::string start = "grant_type=authorization_code&code=" + code + "&device=" + tvoz::deviceId() + "&device_name=";
  EXPECT_EQ(grants[0].body.rfind(start, 0), 0u) << grants[0].body;
  EXPECT_TRUE(host.signedIn());

  // Nobody sends a request: once its life is over the listener closes its
  // port, and the connection still waiting behind the one it took is reset.
  tvoz::LoopbackListener unused;
  const int taken = connectTo(unused.port()), waiting = connectTo(unused.port());
  tvoz::serveSignIn(std::move(unused), std::chrono::milliseconds(300));
  EXPECT_EQ(::recv(waiting, &byte, 1, 0) < 0 ? errno : 0, ECONNRESET);
  ::close(taken);
  ::close(waiting);
}

TEST_F(Signin, CodeGrantKeepsBothTokensOrNothingAndShowsTheServiceMessage) {
  const std::string longMessage = "El código caducó. " + std::string(200, 'x');
  const std::tuple<int, std::string, json, std::string> cases[] = {
      // status, body, the token file afterwards, the alert shown (the fuzz
      // target proves both grants read every answer alike)
      {200, R"({"access_token":"a1","refresh_token":"r1"})", {{"access", "a1"}, {"refresh", "r1"}}, ""},
      {400, json{{"message", longMessage}}.dump(), {{"access", "a1"}, {"refresh", "r1"}}, longMessage},
      {502, "Bad gateway", {{"access", "a1"}, {"refresh", "r1"}}, ""},
      // A 200 without tokens signs out, and says so in the file.
      {200, "{}", {{"access", ""}, {"refresh", ""}}, ""},
  };
  for (const auto &[status, body, tokens, message] : cases) {
    SCOPED_TRACE(body);
    grantAnswers(status, body);
    const size_t alerts = desktop.calls("zenity").size();
    host.plugin().OnOAuth(nullptr, 0, nullptr, "c%2F1", nullptr);
    EXPECT_EQ(service.requestsTo(kGrant).back().body.rfind("grant_type=authorization_code&code=c%2F1&device=", 0), 0u);
    EXPECT_EQ(tokenFile(), tokens);
    auto shown = desktop.calls("zenity");
    EXPECT_EQ(shown.size() > alerts ? shown.back().args.back() : "", message.empty() ? "" : "--text=" + message);
    EXPECT_EQ(logged("exchangeCode falló: " + std::to_string(status) + " " + body.substr(0, 160)), status != 200);
  }
}

TEST_F(Signin, OnOAuthPrefersTheErrorThenTheCodeThenTheTokens) {
  grantAnswers(200, R"({"access_token":"from-grant","refresh_token":"r-grant"})");
  host.plugin().OnOAuth("handed", 3600, "r-handed", "c1", "access_denied");
  EXPECT_TRUE(logged("OnOAuth: code=*** access=SI err=access_denied")) << "the log goes to support";
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
  EXPECT_EQ(tokenFile(), json({{"access", "newest"}, {"refresh", "r-handed"}}));
  EXPECT_EQ(service.requestsTo(kGrant).size(), 1u);
}
