// What the plug-in exposes, seen from outside the host: the token file and
// the log, and whom it trusts over TLS. (The sign-in listener's address is
// checked with the rest of the listener.)
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "core/local_files.h"
#include "plugin/update_check.h"
#include "service/http.h"
#include "tests/support/support.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

using Security = Scenario;

TEST_F(Security, SecretsNeverReachTheLogAndTheTokenFileStaysPrivate) {
  // The service knows neither the first pair nor the first code.
  const std::string a1 = "tokA1-9f2c7e", r1 = "tokR1-41d0aa", a2 = "tokA2-77b1e3", r2 = "tokR2-c08d5f";
  const std::string bad = "code-5e31b0", good = service.tokens().newCode();
  service.tokens().add({a2, r2}, std::chrono::seconds(0));
  host.oauth(a1.c_str(), r1.c_str(), nullptr, nullptr);
  host.folders();                                  // refused, renewal refused
  host.oauth(nullptr, nullptr, bad.c_str(), nullptr);
  host.oauth(a2.c_str(), r2.c_str(), nullptr, nullptr);
  EXPECT_EQ(host.folders().size(), 11u);           // refused, renewed, repeated
  host.oauth(nullptr, nullptr, good.c_str(), nullptr);
  EXPECT_EQ(fs::status(home.support("Tornavoz.tokens")).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // The refusals above are logged with the service's answer: the likeliest way out for a secret.
  const std::string log = home.read(home.support("Tornavoz.log")).value_or("");
  const std::string secrets[] = {a1, r1, a2, r2, bad, good, tokenFile()["access"], tokenFile()["refresh"]};
  for (const auto &secret : secrets) EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST(SecurityTls, EveryRequestRefusesAnUntrustedCertificate) {
  Home home;
  demo::Service service(untrustedTls(home.path()));
  home.write(home.support("Tornavoz.config"), json{{"service_origin", service.origin()}}.dump());
  home.write(home.support("Tornavoz.tokens"), R"({"access":"secret-a","refresh":"secret-r"})");
  service.api("/vdj/version", 200, R"({"version":"99.0","url":"https://evil.example/x.pkg"})");
  Desktop desktop;
  host::PluginHost host(TVOZ_MODULE_PATH);

  // An API call, which takes the service for unreachable, then the code
  // grant, which goes out whatever is known of the service.
  EXPECT_TRUE(host.folders().empty());
  EXPECT_GT(home.logCount("servicio inalcanzable: "), 0u);
  host.oauth(nullptr, nullptr, "c1", nullptr);
  // A save waits for a reachable service: its transfer is tried here, with
  // the update check.
  const tvoz::Transfer download = tvoz::httpDownload(service.origin() + kApi + "/download?file=t001", "secret-a",
                                                     [](const char *, size_t) { return true; }, {});
  EXPECT_FALSE(download.firstHop.answered || download.firstHop.failure.empty());
  tvoz::checkForUpdate();
  EXPECT_TRUE(desktop.calls().empty()) << "no notice, no download page";
  EXPECT_TRUE(service.requests().empty()) << "not one request got through the handshake";
}

TEST(SecurityLog, StaysUnderOneMebibyteKeepingTheLatestLinesWholeFromEveryThread) {
  Home home("http://127.0.0.1:9");
  const std::string path = home.support("Tornavoz.log");
  // Lines of a length that puts none of their starts exactly 512 KiB from
  // the end, so that a cut in mid-line shows.
  std::string earlier;
  while (earlier.size() + 80 <= 1 << 20)
    earlier += "earlier " + std::to_string(earlier.size()) + std::string(61, '.') + "\n";
  home.write(path, earlier);
  // The first line crosses the limit; the 1,600 after it fit in what is left.
  std::vector<std::string> lines;
  for (int i = 0; i < 1600; ++i) lines.push_back("hilo " + std::to_string(i) + std::string(100, '-'));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([t, &lines] { for (size_t i = t; i < lines.size(); i += 4) tvoz::logLine(lines[i]); });
  }
  for (auto &thread : threads) thread.join();

  const std::string text = home.read(path).value_or("");
  // The earlier lines left are the latest, whole, about 512 KiB of them ...
  const size_t cut = text.find("hilo ");
  ASSERT_NE(cut, std::string::npos);
  EXPECT_TRUE(earlier.compare(earlier.size() - cut - 1, cut + 1, "\n" + text.substr(0, cut)) == 0)
      << "not the latest whole lines";
  EXPECT_NEAR(cut, 512 << 10, 100);
  // ... then every line written, once and whole.
  std::multiset<std::string> written;
  std::istringstream rest(text.substr(cut));
  for (std::string line; std::getline(rest, line);) written.insert(line);
  EXPECT_TRUE(written == std::multiset<std::string>(lines.begin(), lines.end())) << written.size() << " lines";
}
