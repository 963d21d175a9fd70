// Saving tracks to play without internet: where the copy goes and under what
// name, what the index records, and that a failure never costs an earlier copy.
#include <filesystem>
#include <future>
#include <mutex>

#include "tests/support/support.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

namespace {

const std::string kDownload = kApi + "/download";

class Offline : public Scenario {
 protected:
  Offline() { fs::create_directories(home.path() + "/Music"); }

  void list(const json &tracks) {
    service.api("/vdj/tracks", 200, json{{"tracks", tracks}}.dump());
    host.open("pool");
  }
  void serve(int status, const std::string &body) {
    service.api("/download", [status, body](const demo::Request &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "audio/mpeg");
    });
  }
  std::vector<std::string> offlineFolder() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(home.offline())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace

TEST_F(Offline, SaveFollowsRedirectsThenPlaysFromDiskAndRemovalDeletesTheCopy) {
  signIn("tok", "ref");
  list(json::array({{{"id", "t 1"}, {"artist", "Ana"}, {"title", "Luna: Remix?"}, {"ext", "wav"}}}));
  service.api("/download", [this](const demo::Request &, httplib::Response &res) {
    res.set_redirect(service.origin() + "/media/t1", 302);
  });
  service.on("GET", "/media/t1", [](const demo::Request &, httplib::Response &res) {
    res.set_content("RIFF-audio", "audio/wav");
  });
  const std::string path = home.offline("Ana - Luna- Remix-.wav");

  ASSERT_EQ(toggle("t 1"), 0);
  ASSERT_TRUE(savedAs("t 1"));
  EXPECT_EQ(sent("/download"), std::vector<std::string>{"/download?file=t%201&access_token=tok"});
  EXPECT_EQ(service.apiRequests("/download")[0].header("Authorization"), "Bearer tok");
  EXPECT_EQ(home.read(path), "RIFF-audio");
  EXPECT_EQ(offlineFolder(), std::vector<std::string>{"Ana - Luna- Remix-.wav"});
  EXPECT_EQ(index(), json({{"t 1", path}}));
  EXPECT_EQ(host.play("t 1").url, "file://" + path);
  EXPECT_EQ(host.menu("t 1").back(), "Quitar de sin conexion");

  ASSERT_EQ(toggle("t 1"), 0);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(index(), json::object());
  EXPECT_EQ(sent("/download").size(), 1u);
  EXPECT_EQ(host.menu("t 1").back(), "Guardar para tocar sin internet");
}

TEST_F(Offline, NamesComeFromTheLatestListingOrTheIdAndTravelWithoutCredentialsWhenSignedOut) {
  // 128 bytes whose "\u00d1" (C3 91) straddles the 120-byte limit: cut between
  // its two bytes, the name would not be UTF-8, and the index (JSON) could
  // not record the copy.
  const std::string longTitle = "C\xef\x82\x82\xef\x82\x82ooo" + std::string(101, ':') + "Cac:::::\xc3\x91:::oou-";
  std::string longName = longTitle.substr(0, 119);
  std::replace(longName.begin(), longName.end(), ':', '-');
  list(json::array({{{"id", "c"}, {"title", "Sol"}, {"ext", "wav"}},
                    {{"id", "c"}, {"title", "Sol (Remix)"}, {"ext", "m4a"}},  // the later one wins
                    {{"id", "e"}, {"title", "Eco"}, {"ext", "/../../x"}},     // cannot leave the folder
                    {{"id", "l"}, {"title", longTitle}},
                    {{"id", "d"}, {"title", "Mar"}, {"ext", 5}}}));  // named, no extension; ends the listing
  // A member that is not a path counts as no copy.
  home.write(home.support("Tornavoz-cache-index.json"), R"({"x/9":5})");
  serve(200, "ID3-audio");
  for (const char *id : {"c", "d", "e", "l", "x/9"}) ASSERT_EQ(toggle(id), 0) << id;
  for (const char *id : {"c", "d", "e", "l", "x/9"}) ASSERT_TRUE(savedAs(id)) << id;
  EXPECT_EQ(offlineFolder(), (std::vector<std::string>{longName + ".mp3", "Eco.-..-..-x", "Mar.mp3", "Sol (Remix).m4a", "x-9.mp3"}));
  EXPECT_EQ(sent("/download").back(), "/download?file=x%2F9");
  EXPECT_FALSE(service.apiRequests("/download").back().hasHeader("Authorization"));
  EXPECT_EQ(index()["x/9"], home.offline("x-9.mp3"));
}

TEST_F(Offline, FailedSaveLogsTheStatusAndKeepsEarlierFilesWhileAnExpiredTokenIsRenewedOnce) {
  signIn("acc-1", "ref-1");
  list(json::array({{{"id", "t001"}, {"artist", "Ana"}, {"title", "Luna"}}}));
  const std::string path = home.offline("Ana - Luna.mp3");
  const std::string indexText = R"({"other":"/elsewhere/x.mp3"})";
  home.write(home.support("Tornavoz-cache-index.json"), indexText);
  home.write(path, "earlier good copy");

  struct Case {
    const char *name;
    std::function<void()> arrange;
    const char *logLine;
  } cases[] = {
      {"refused", [&] { serve(400, "{\"message\":\"no\"}"); }, "descarga offline falló: http 400"},
      {"empty body", [&] { serve(200, ""); }, "descarga offline falló: http 200"},
      {"refused after renewal", [&] { serve(401, "{}"); }, "descarga offline falló: http 401"},
      {"offline folder cannot be made",
       [&] {
         serve(200, "audio");
         home.write(home.support("Tornavoz.config"),
                    json{{"service_origin", service.origin()}, {"offline_dir", home.path() + "/no/such"}}.dump());
       },
       "descarga offline falló: http 0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    EXPECT_EQ(toggle("t001"), 0);
    EXPECT_TRUE(waitForLog(c.logLine));
    EXPECT_EQ(home.read(path), "earlier good copy");
    EXPECT_EQ(offlineFolder(), std::vector<std::string>{"Ana - Luna.mp3"});
    EXPECT_EQ(home.read(home.support("Tornavoz-cache-index.json")), indexText);
  }
  EXPECT_EQ(service.apiRequests("/download").size(), 4u) << "the 401 repeated once; none without a folder";
  EXPECT_FALSE(fs::exists(home.path() + "/no"));

  // The demo's own download, with a token that expired between the menu and
  // the choice: renewed once, and the save succeeds.
  home.write(home.support("Tornavoz.config"), json{{"service_origin", service.origin()}}.dump());
  service.tokens().add({"stale", "ref-2"}, std::chrono::seconds(0));
  host.oauth("stale", "ref-2", nullptr, nullptr);
  service.api("/download", [this](const demo::Request &r, httplib::Response &res) { service.serveDefault(r, res); });
  const size_t grants = service.requestsTo(kApi + "/oauth/token").size();
  ASSERT_EQ(toggle("t001"), 0);
  ASSERT_TRUE(savedAs("t001"));
  EXPECT_EQ(service.requestsTo(kApi + "/oauth/token").size(), grants + 1);
  EXPECT_EQ(home.read(path), "earlier good copy") << "a file the index does not record is the DJ's";
  EXPECT_EQ(home.read(index()["t001"].get<std::string>()).value_or("").substr(0, 4), "RIFF");
}

TEST_F(Offline, NoSaveReplacesAFileItDidNotWriteAndAnUnrecordedSaveLeavesNothing) {
  json tracks = json::array();
  for (const char *id : {"9", "10", "a"}) tracks.push_back({{"id", id}, {"artist", "Ana"}, {"title", "Luna"}});
  list(tracks);
  home.write(home.support("Tornavoz-cache-index.json"), "[]");  // damaged: read as empty
  home.write(home.offline("Ana - Luna.mp3"), "the DJ's own recording");
  service.api("/download", [](const demo::Request &r, httplib::Response &res) {
    res.set_content("audio of " + r.query, "audio/mpeg");
  });
  const std::string second = home.offline("Ana - Luna (2).mp3"), third = home.offline("Ana - Luna (3).mp3");

  ASSERT_EQ(toggle("9"), 0);
  ASSERT_EQ(toggle("10"), 0);
  ASSERT_TRUE(savedAs("9") && savedAs("10"));
  EXPECT_EQ(home.read(home.support("Tornavoz-cache-index.json")),
            json({{"10", third}, {"9", second}}).dump()) << "one compact line in byte order";
  EXPECT_EQ(home.read(third), "audio of file=10");
  ASSERT_EQ(toggle("9"), 0);  // removal, at once
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(home.read(home.offline("Ana - Luna.mp3")), "the DJ's own recording");
  EXPECT_EQ(home.read(third), "audio of file=10");

  // The file is in place, but the index cannot record it: a failed save,
  // and nothing of it stays.
  fs::remove(home.support("Tornavoz-cache-index.json"));
  fs::create_directory(home.support("Tornavoz-cache-index.json"));
  ASSERT_EQ(toggle("a"), 0);
  ASSERT_TRUE(waitForLog("descarga offline falló: indice"));
  EXPECT_EQ(offlineFolder(), (std::vector<std::string>{"Ana - Luna (3).mp3", "Ana - Luna.mp3"}));
  EXPECT_FALSE(home.readJson(home.support("Tornavoz-offline-tracks.json")).contains("a"));
}

TEST_F(Offline, TheSaveReturnsAtOnceAndACancelReachesTheQueueFileWhileATransferRuns) {
  signIn();
  list(json::array({{{"id", "t1"}, {"title", "Luna"}}, {{"id", "t2"}, {"title", "Sol"}}}));
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  service.api("/download", [gate](const demo::Request &, httplib::Response &res) {
    gate.wait_for(std::chrono::seconds(20));
    res.set_content("audio", "audio/mpeg");
  });
  auto queued = [&] {
    std::string names;
    for (const auto &t : home.readJson(home.support("Tornavoz-save-queue.json"))) names += t.value("name", "") + " ";
    return names;
  };

  ASSERT_EQ(toggle("t1"), 0);
  ASSERT_EQ(toggle("t2"), 0);
  ASSERT_TRUE(service.waitFor(kDownload, 1));
  EXPECT_EQ(index(), json::object()) << "the choice did not wait for the download";
  EXPECT_TRUE(waitInFolder(home.support(), [&] { return queued() == "Luna Sol "; }));
  // While t1's transfer is held, t2's cancellation reaches the file.
  EXPECT_EQ(host.menu("t2").back(), "Cancelar guardado sin conexion");
  ASSERT_EQ(toggle("t2"), 0);
  EXPECT_TRUE(waitInFolder(home.support(), [&] { return queued() == "Luna "; }));
  EXPECT_EQ(offlineFolder().size(), 1u) << "t1's part file";

  ASSERT_EQ(toggle("t1"), 0);
  EXPECT_TRUE(waitInFolder(home.offline(), [&] { return offlineFolder().empty(); }));
  EXPECT_EQ(host.menu("t1").back(), "Guardar para tocar sin internet");
  release.set_value();
  EXPECT_TRUE(waitInFolder(home.support(), [&] { return !fs::exists(home.support("Tornavoz-save-queue.json")); }));
  EXPECT_EQ(index(), json::object());
  EXPECT_TRUE(offlineFolder().empty());
  EXPECT_EQ(sent("/download").size(), 1u) << "a cancelled track never comes back";
}
