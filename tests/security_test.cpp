// What the plug-in exposes, seen from outside the host: the sign-in
// listener's address, the token file and the log, what reaches other
// programs, and whom it trusts over TLS.
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin/update_check.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

const std::string kGrant = kApi + "/oauth/token";

// Connects to `address`:`port`, sends `request` and reads until the peer
// closes; false when the connection was refused.
bool connectAndSend(const std::string &address, int port, const std::string &request = "") {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  if (ok && !request.empty() && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
    char buf[1024];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
  }
  ::close(fd);
  return ok;
}

class Security : public Scenario {
 protected:
  int listenerPort() const {
    int port = 0;
    for (const auto &line : home.logLines()) {
      if (line.rfind("startLogin puerto=", 0) == 0) port = std::stoi(line.substr(18));
    }
    return port;
  }
  mode_t tokenFileMode() const {
    struct stat st {};
    return ::stat(home.support("Tornavoz.tokens").c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

}  // namespace

TEST_F(Security, SignInListenerAcceptsOnlyOnTheLoopbackAddress) {
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  const int port = listenerPort();
  ASSERT_GT(port, 0);
  // The listening sockets on the port, as /proc/net/tcp writes them.
  std::vector<std::string> listening;
  std::ifstream table("/proc/net/tcp");
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) {
      listening.push_back(local.substr(0, local.size() - 5));
    }
  }
  EXPECT_EQ(listening, std::vector<std::string>{"0100007F"});
  ifaddrs *all = nullptr;
  ASSERT_EQ(::getifaddrs(&all), 0);
  for (ifaddrs *a = all; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) {
      EXPECT_FALSE(connectAndSend(text, port)) << text;
    }
  }
  ::freeifaddrs(all);
  EXPECT_FALSE(connectAndSend("127.0.0.2", port));
}

TEST_F(Security, TokensNeverReachTheLogAndTheirFileStaysPrivate) {
  const std::string a1 = "tokA1-9f2c7e", r1 = "tokR1-41d0aa", a2 = "tokA2-77b1e3", r2 = "tokR2-c08d5f";
  service.tokens().add({a1, r1}, std::chrono::seconds(0));
  service.tokens().add({a2, r2}, std::chrono::seconds(0));
  service.on("POST", kGrant, [&](const demo::Request &r, httplib::Response &res) {
    if (r.body.rfind("grant_type=refresh_token&refresh_token=" + r1 + "&", 0) == 0) {
      res.status = 500;  // the first renewal fails ...
      res.set_content(R"({"message":"temporalmente fuera de servicio"})", "application/json");
    } else if (r.body.rfind("grant_type=authorization_code&code=bad", 0) == 0) {
      res.status = 400;  // ... so does a refused code ...
      res.set_content(R"({"message":"Código vencido"})", "application/json");
    } else {
      service.serveDefault(r, res);  // ... and the demo's own grants work
    }
  });
  desktop.followLinks();

  host.oauth(a1.c_str(), r1.c_str(), nullptr, nullptr);
  EXPECT_EQ(tokenFileMode(), 0600);
  host.folders();                                    // refused, renewal fails
  host.oauth(nullptr, nullptr, "bad-1", nullptr);   // refused code
  host.oauth(a2.c_str(), r2.c_str(), nullptr, nullptr);
  EXPECT_EQ(host.folders().size(), 11u);             // refused, renewed, repeated
  ASSERT_EQ(host.login(), 0);                        // through the browser and the listener
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));
  EXPECT_EQ(tokenFileMode(), 0600);

  const std::string log = home.read(home.support("Tornavoz.log")).value_or("");
  for (const char *line : {"refresh falló: 500", "exchangeCode falló: 400", "startLogin puerto="}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  const std::string everyToken[] = {a1, r1, a2, r2, tokenFile()["access"], tokenFile()["refresh"]};
  for (const auto &token : everyToken) EXPECT_EQ(log.find(token), std::string::npos) << token;
}

TEST_F(Security, NothingFromTheNetworkReachesAShell) {
  const std::string marker = home.path() + "/pwned";
  // No blanks, so the listener takes it whole as a code; ${IFS} is one for a shell.
  const std::string payload = "$(touch${IFS}" + marker + ")`touch${IFS}" + marker + "`';touch${IFS}" +
                              marker + ";'\";touch${IFS}" + marker + ";\"";
  service.on("POST", kGrant, [&](const demo::Request &, httplib::Response &res) {
    res.status = 400;
    res.set_content(json{{"message", payload}}.dump(), "application/json");
  });
  host.oauth(payload.c_str(), payload.c_str(), nullptr, nullptr);  // sent with a request, refreshed
  host.folders();
  host.oauth(nullptr, nullptr, payload.c_str(), nullptr);  // a code, whose refusal carries it back
  ASSERT_EQ(host.login(), 0);
  connectAndSend("127.0.0.1", listenerPort(), "GET /?code=" + payload + " HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));

  auto alerts = desktop.calls("zenity");
  ASSERT_EQ(alerts.size(), 2u);
  for (const auto &alert : alerts) EXPECT_EQ(alert.args.back(), "--text=" + payload);
  EXPECT_FALSE(std::filesystem::exists(marker)) << "a shell ran a command from the network";
}

TEST(SecurityTls, EveryRequestRefusesAnUntrustedCertificate) {
  Home home;
  demo::Service service(untrustedTls(home.path()));
  home.write(home.support("Tornavoz.config"), json{{"service_origin", service.origin()}}.dump());
  const std::string tokens = R"({"access":"secret-a","refresh":"secret-r"})";
  home.write(home.support("Tornavoz.tokens"), tokens);
  service.tokens().add({"secret-a", "secret-r"}, std::chrono::seconds(3600));
  service.api("/vdj/version", 200, R"({"version":"99.0","url":"https://evil.example/x.pkg"})");
  Desktop desktop;
  host::PluginHost host(TVOZ_MODULE_PATH);

  EXPECT_TRUE(host.folders().empty());
  EXPECT_TRUE(host.open("cumbia-lunar").empty());
  EXPECT_TRUE(host.search("luna").empty());
  EXPECT_EQ(host.play("t001").url, std::nullopt);
  host.oauth(nullptr, nullptr, "c1", nullptr);
  EXPECT_EQ(home.read(home.support("Tornavoz.tokens")), tokens);
  auto menu = host.menu("t001");
  EXPECT_EQ(menu.size(), 3u) << "no playlists";
  EXPECT_EQ(host.choose("t001", menu.size() - 1), 1);
  EXPECT_EQ(home.logLines().back(), "descarga offline falló: http 0");
  tvoz::checkForUpdate();
  EXPECT_TRUE(desktop.calls().empty()) << "no notice, no download page";
  EXPECT_TRUE(service.requests().empty()) << "not one request got through the handshake";
}
