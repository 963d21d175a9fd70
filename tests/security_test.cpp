// What the plug-in exposes, seen from outside the host: the sign-in
// listener's address, the token file and the log, what reaches other
// programs, and whom it trusts over TLS.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/file_watch.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"
#include "tests/support/tls_cert.h"

using namespace tvoz_test;

namespace {

const std::string kGrantPath = std::string(kApi) + "/oauth/token";

// Connects to `address`:`port`; when that works, sends `request` (if any)
// and reads until the peer closes. True when the connection was accepted.
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

// The machine's IPv4 addresses outside 127.0.0.0/8.
std::vector<std::string> otherLocalAddresses() {
  std::vector<std::string> out;
  ifaddrs *all = nullptr;
  if (::getifaddrs(&all) != 0) return out;
  for (ifaddrs *a = all; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) out.push_back(text);
  }
  ::freeifaddrs(all);
  return out;
}

// Local addresses (as /proc/net/tcp writes them, e.g. "0100007F" for
// 127.0.0.1) of the sockets listening on `port`.
std::vector<std::string> listeningAddresses(int port) {
  std::vector<std::string> out;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, "%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    auto colon = local.find(':');
    if (state == "0A" && local.substr(colon + 1) == wanted) out.push_back(local.substr(0, colon));
  }
  return out;
}

class Security : public ::testing::Test {
 protected:
  // The listener's port from the log line "startLogin puerto=N url=...".
  int listenerPort() const {
    for (const auto &line : home.logLines()) {
      if (line.rfind("startLogin puerto=", 0) == 0) return std::stoi(line.substr(18));
    }
    return 0;
  }
  bool waitForLog(const std::string &line) const {
    return waitInFolder(home.supportDir(), [&] {
      auto lines = home.logLines();
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
  }
  mode_t tokenFileMode() const {
    struct stat st {};
    if (::stat(home.support("Tornavoz.tokens").c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }

  FakeService service;
  TempHome home{service.origin()};
  FakePrograms programs;
  TestHost host;
};

}  // namespace

TEST_F(Security, SignInListenerAcceptsOnlyOnTheLoopbackAddress) {
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  const int port = listenerPort();
  ASSERT_GT(port, 0);

  EXPECT_EQ(listeningAddresses(port), std::vector<std::string>{"0100007F"});
  for (const std::string &other : otherLocalAddresses()) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(connectAndSend(other, port));
  }
  // Still the loopback interface, but not the one address it listens on.
  EXPECT_FALSE(connectAndSend("127.0.0.2", port));
}

TEST_F(Security, TokensNeverReachTheLogAndTheirFileStaysPrivate) {
  // Every token of the session, distinctive enough to be found anywhere.
  const std::string a1 = "tokA1-9f2c7e", r1 = "tokR1-41d0aa", a2 = "tokA2-77b1e3",
                    r2 = "tokR2-c08d5f", a3 = "tokA3-2ee9b4", r3 = "tokR3-6a3f10",
                    a4 = "tokA4-d51c82", r4 = "tokR4-0b7e69";
  service.on("GET", "/", [](const Request &r, httplib::Response &res) {
    auto at = r.query.find("redirect_uri=");
    res.status = 302;
    res.set_header("Location", r.query.substr(at + 13) + "?code=loop-1");
  });
  service.on("POST", kGrantPath, [&](const Request &r, httplib::Response &res) {
    auto starts = [&](const std::string &s) { return r.body.rfind(s + "&", 0) == 0; };
    if (starts("grant_type=authorization_code&code=good-1")) {
      reply(res, 200, {{"access_token", a2}, {"refresh_token", r2}});
    } else if (starts("grant_type=authorization_code&code=loop-1")) {
      reply(res, 200, {{"access_token", a4}, {"refresh_token", r4}});
    } else if (starts("grant_type=refresh_token&refresh_token=" + r2)) {
      reply(res, 200, {{"access_token", a3}, {"refresh_token", r3}});
    } else if (starts("grant_type=refresh_token&refresh_token=" + r1)) {
      reply(res, 500, {{"message", "temporalmente fuera de servicio"}});
    } else {
      reply(res, 400, {{"message", "Código vencido"}});
    }
  });
  service.api("/vdj/folders", [&](const Request &r, httplib::Response &res) {
    if (r.header("Authorization") == "Bearer " + a3) {
      reply(res, 200, {{"folders", json::array()}});
    } else {
      res.status = 401;
    }
  });
  service.api("/vdj/resolve", 401, json::object());
  programs.followLinks();

  host.plugin().OnOAuth(a1.c_str(), 3600, r1.c_str(), nullptr, nullptr);
  EXPECT_EQ(tokenFileMode(), 0600);
  host.folders();  // 401, and the refresh grant fails
  host.plugin().OnOAuth(nullptr, 0, nullptr, "bad-1", nullptr);  // refused code
  host.plugin().OnOAuth(nullptr, 0, nullptr, "good-1", nullptr);
  host.folders();  // 401, refreshed, repeated
  host.stream("t1");  // 401, and the refresh grant is refused
  ASSERT_EQ(host.plugin().OnLogin(), 0);  // through the browser and the listener
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));
  EXPECT_EQ(tokenFileMode(), 0600);
  EXPECT_EQ(home.read(home.support("Tornavoz.tokens")),
            json({{"access", a4}, {"refresh", r4}}).dump());

  // The session went through each failure that writes to the log ...
  const std::string log = home.read(home.support("Tornavoz.log")).value_or("");
  for (const char *line : {"refresh falló: 500", "exchangeCode falló: 400", "refresh falló: 400",
                           "startLogin puerto="}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // ... and no token ever reached it.
  for (const std::string &token : {a1, r1, a2, r2, a3, r3, a4, r4}) {
    EXPECT_EQ(log.find(token), std::string::npos) << token;
  }
}

TEST_F(Security, NothingFromTheNetworkReachesAShell) {
  const std::string marker = home.path() + "/pwned";
  // No blanks, so the listener takes it whole as a code; ${IFS} is one for a shell.
  const std::string payload = "$(touch${IFS}" + marker + ")`touch${IFS}" + marker + "`';touch${IFS}" +
                              marker + ";'\";touch${IFS}" + marker + ";\"";
  service.on("POST", kGrantPath, [&](const Request &, httplib::Response &res) {
    reply(res, 400, {{"message", payload}});
  });
  service.api("/vdj/folders", 401, json::object());

  // As a token handed over by the host, sent with a request and refreshed.
  host.plugin().OnOAuth(payload.c_str(), 3600, payload.c_str(), nullptr, nullptr);
  host.folders();
  // As a code from the host and from the browser; the service's answer
  // carries it back into an alert.
  host.plugin().OnOAuth(nullptr, 0, nullptr, payload.c_str(), nullptr);
  ASSERT_EQ(host.plugin().OnLogin(), 0);
  connectAndSend("127.0.0.1", listenerPort(), "GET /?code=" + payload + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_TRUE(waitForLog("login OK (code capturado)"));

  auto alerts = programs.calls("zenity");
  ASSERT_EQ(alerts.size(), 2u);
  for (const auto &alert : alerts) EXPECT_EQ(alert.args.back(), "--text=" + payload);
  EXPECT_EQ(::access(marker.c_str(), F_OK), -1) << "a shell ran a command from the network";
}

TEST(SecurityTls, EveryRequestPathRefusesAnUntrustedCertificate) {
  TempHome home("");
  FakeService service(makeSelfSignedCert(home.path()));
  std::filesystem::create_directories(home.supportDir());
  home.writeConfig({{"service_origin", service.origin()}});
  const std::string tokens = R"({"access":"secret-a","refresh":"secret-r"})";
  home.write(home.support("Tornavoz.tokens"), tokens);
  FakePrograms programs;
  // Everything a trusting client would be happy with.
  service.api("/vdj/folders", 200, json{{"folders", {{{"id", "f"}, {"name", "F"}, {"count", 1}}}}});
  service.api("/vdj/tracks", 200, json{{"tracks", {{{"id", "t1"}, {"title", "Luna"}}}}});
  service.api("/vdj/resolve", 200, json{{"url", "https://cdn.example/t1.mp3"}});
  service.api("/vdj/crates", 200, json{{"crates", {{{"id", 1}, {"name", "Set"}}}}});
  service.api("/download", 200, std::string("audio"));
  service.on("POST", kGrantPath, [](const Request &, httplib::Response &res) {
    reply(res, 200, {{"access_token", "mitm-a"}, {"refresh_token", "mitm-r"}});
  });
  TestHost host;

  EXPECT_TRUE(host.folders().empty());
  EXPECT_TRUE(host.open("f").empty());
  EXPECT_TRUE(host.search("luna").empty());
  StreamAnswer stream = host.stream("t1");
  EXPECT_EQ(stream.result, 1);
  EXPECT_EQ(stream.url, std::nullopt);
  host.plugin().OnOAuth(nullptr, 0, nullptr, "c1", nullptr);
  EXPECT_EQ(home.read(home.support("Tornavoz.tokens")), tokens);

  auto menu = host.menu("t1");
  EXPECT_EQ(std::count(menu.begin(), menu.end(), "Anadir a: Set"), 0);
  auto offline = std::find(menu.begin(), menu.end(), "Guardar para tocar sin internet");
  ASSERT_NE(offline, menu.end());
  EXPECT_EQ(host.choose("t1", static_cast<unsigned long>(offline - menu.begin())), 1);
  EXPECT_EQ(home.logLines().back(), "descarga offline falló: http 0");
  EXPECT_FALSE(std::filesystem::exists(home.offlineDir() + "/t1.mp3"));

  // Not one request got through the handshake; no token was sent anywhere.
  EXPECT_TRUE(service.requests().empty());
}
