// Saving tracks to play without internet: where the copy goes and under what
// name, what the index records, and that a failure never costs an earlier copy.
#include <filesystem>
#include <future>

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
  // The offline entry is always the menu's last one.
  hostabi::HRESULT toggle(const char *id) { return host.choose(id, host.menu(id).size() - 1); }
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
  list(json::array({{{"id", "c"}, {"title", "Sol"}, {"ext", "wav"}},
                    {{"id", "c"}, {"title", "Sol (Remix)"}, {"ext", "m4a"}},  // the later one wins
                    {{"id", "e"}, {"title", "Eco"}, {"ext", "/../../x"}},     // cannot leave the folder
                    {{"id", "d"}, {"title", "Mar"}, {"ext", 5}}}));           // named, no extension
  // A member that is not a path counts as no copy.
  home.write(home.support("Tornavoz-cache-index.json"), R"({"x/9":5})");
  serve(200, "ID3-audio");
  for (const char *id : {"c", "d", "e", "x/9"}) ASSERT_EQ(toggle(id), 0) << id;
  EXPECT_EQ(offlineFolder(), (std::vector<std::string>{"Eco.-..-..-x", "Mar.mp3", "Sol (Remix).m4a", "x-9.mp3"}));
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
      {"cut mid-body",
       [&] {
         service.api("/download", [](const demo::Request &, httplib::Response &res) {
           demo::sendCut(res, std::string(1000, 'a'), 100);
         });
       },
       "descarga offline falló: http 200"},
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
    EXPECT_EQ(toggle("t001"), 1);
    EXPECT_EQ(home.logLines().back(), c.logLine);
    EXPECT_EQ(home.read(path), "earlier good copy");
    EXPECT_EQ(offlineFolder(), std::vector<std::string>{"Ana - Luna.mp3"});
    EXPECT_EQ(home.read(home.support("Tornavoz-cache-index.json")), indexText);
  }
  EXPECT_EQ(service.apiRequests("/download").size(), 5u) << "the 401 repeated once; none without a folder";
  EXPECT_FALSE(fs::exists(home.path() + "/no"));

  // The demo's own download, with a token that expired between the menu and
  // the choice: renewed once, and the save succeeds.
  home.write(home.support("Tornavoz.config"), json{{"service_origin", service.origin()}}.dump());
  service.tokens().add({"stale", "ref-2"}, std::chrono::seconds(0));
  host.oauth("stale", "ref-2", nullptr, nullptr);
  service.api("/download", [this](const demo::Request &r, httplib::Response &res) { service.serveDefault(r, res); });
  const size_t grants = service.requestsTo(kApi + "/oauth/token").size();
  ASSERT_EQ(toggle("t001"), 0);
  EXPECT_EQ(service.requestsTo(kApi + "/oauth/token").size(), grants + 1);
  EXPECT_EQ(home.read(path).value_or("").substr(0, 4), "RIFF");
}

TEST_F(Offline, LongNameIsCutBeforeACharacterSoTheCopyIsRecorded) {
  // 128 bytes whose "\u00d1" (C3 91) straddles the 120-byte limit. Cut between
  // its two bytes, the name was no longer UTF-8: the index (JSON) could not
  // record it, so the saved copy was never found.
  const std::string title = "C\xef\x82\x82\xef\x82\x82ooo" + std::string(101, ':') + "Cac:::::\xc3\x91:::oou-";
  ASSERT_EQ(title.size(), 128u);
  list(json::array({{{"id", "t1"}, {"title", title}}}));
  serve(200, "ID3-audio");
  std::string name = title.substr(0, 119);
  std::replace(name.begin(), name.end(), ':', '-');
  ASSERT_EQ(toggle("t1"), 0);
  EXPECT_EQ(home.read(home.offline(name + ".mp3")), "ID3-audio");
  EXPECT_EQ(host.play("t1").url, "file://" + home.offline(name + ".mp3"));
}

TEST_F(Offline, TracksWithTheSameNameKeepTheirOwnFilesEvenWhenSavedAtOnce) {
  json tracks = json::array();
  for (const char *id : {"9", "10", "a", "b"}) tracks.push_back({{"id", id}, {"artist", "Ana"}, {"title", "Luna"}});
  list(tracks);
  home.write(home.support("Tornavoz-cache-index.json"), "[]");  // damaged: read as empty
  service.api("/download", [](const demo::Request &r, httplib::Response &res) {
    res.set_content("audio of " + r.query, "audio/mpeg");
  });
  const std::string first = home.offline("Ana - Luna.mp3"), second = home.offline("Ana - Luna (2).mp3");

  ASSERT_EQ(toggle("9"), 0);
  ASSERT_EQ(toggle("10"), 0);
  EXPECT_EQ(home.read(home.support("Tornavoz-cache-index.json")),
            json({{"10", second}, {"9", first}}).dump()) << "one compact line in byte order";
  EXPECT_EQ(home.read(second), "audio of file=10");
  ASSERT_EQ(toggle("9"), 0);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(home.read(second), "audio of file=10");
  ASSERT_EQ(toggle("9"), 0);
  EXPECT_EQ(index(), json({{"10", second}, {"9", first}})) << "the first name is free again";

  // Neither answer leaves before both requests have arrived, so both names
  // are chosen while the index holds neither track.
  service.api("/download", [this](const demo::Request &r, httplib::Response &res) {
    service.waitFor(kDownload, 5);
    res.set_content("audio of " + r.query, "audio/mpeg");
  });
  const unsigned long entry = host.menu("a").size() - 1;
  auto other = std::async(std::launch::async, [&] { return host.choose("b", entry); });
  ASSERT_EQ(host.choose("a", entry), 0);
  ASSERT_EQ(other.get(), 0);
  const json saved = index();
  ASSERT_EQ(saved.size(), 4u);
  EXPECT_NE(saved["a"], saved["b"]);
  EXPECT_EQ(home.read(saved["b"].get<std::string>()), "audio of file=b");
}
