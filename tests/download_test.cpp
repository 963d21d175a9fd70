#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

namespace {

constexpr const char *kDownload = "/download";

// A signed-in DJ with the default offline folder; tracks are listed through
// the plug-in first, so it knows their names as the host does.
class OfflineDownload : public ::testing::Test {
 protected:
  OfflineDownload() {
    fs::create_directories(home.path() + "/Music");
    home.write(home.support("Tornavoz.tokens"), R"({"access":"tok","refresh":"ref"})");
  }

  void list(const json &tracks) {
    service.api("/vdj/tracks", 200, json{{"tracks", tracks}});
    host.open("pool");
  }
  void serve(int status, const std::string &body) {
    service.api(kDownload, [status, body](const Request &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "audio/mpeg");
    });
  }
  // The offline entry is always the menu's last one.
  hostabi::HRESULT toggle(const char *id) {
    auto labels = host.menu(id);
    return host.choose(id, labels.size() - 1);
  }
  std::string offlineFile(const std::string &name) const { return home.offlineDir() + "/" + name; }
  json index() const {
    auto text = home.read(home.support("Tornavoz-cache-index.json"));
    return text && !text->empty() ? json::parse(*text) : json::object();
  }
  std::vector<std::string> offlineFolder() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(home.offlineDir())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  FakeService service;
  TempHome home{service.origin()};
  TestHost host;
};

}  // namespace

TEST_F(OfflineDownload, SavesAListedTrackFollowingRedirectsThenPlaysAndRemovesIt) {
  list(json::array({{{"id", "t 1"}, {"artist", "Ana"}, {"title", "Luna: Remix?"}, {"ext", "wav"}}}));
  service.api(kDownload, [this](const Request &, httplib::Response &res) {
    res.set_redirect(service.origin() + "/media/t1", 302);
  });
  service.on("GET", "/media/t1", [](const Request &, httplib::Response &res) {
    res.set_content("RIFF-audio", "audio/wav");
  });
  const std::string path = offlineFile("Ana - Luna- Remix-.wav");

  ASSERT_EQ(toggle("t 1"), 0);
  auto sent = service.apiRequests(kDownload);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].query, "file=t%201&access_token=tok");
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
  EXPECT_EQ(home.read(path), "RIFF-audio");
  EXPECT_EQ(offlineFolder(), std::vector<std::string>{"Ana - Luna- Remix-.wav"});
  EXPECT_EQ(index(), json({{"t 1", path}}));
  EXPECT_EQ(host.stream("t 1").url, "file://" + path);
  EXPECT_EQ(host.menu("t 1").back(), "Quitar de sin conexion");

  ASSERT_EQ(toggle("t 1"), 0);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(index(), json::object());
  EXPECT_EQ(service.apiRequests(kDownload).size(), 1u);
  EXPECT_EQ(host.menu("t 1").back(), "Guardar para tocar sin internet");
}

TEST_F(OfflineDownload, SavesANeverListedTrackUnderItsIdWithoutCredentialsWhenSignedOut) {
  home.write(home.support("Tornavoz.tokens"), "{}");
  serve(200, "ID3-audio");

  ASSERT_EQ(toggle("x/9"), 0);
  auto sent = service.apiRequests(kDownload);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].query, "file=x%2F9");
  EXPECT_FALSE(sent[0].hasHeader("Authorization"));
  EXPECT_EQ(home.read(offlineFile("x-9.mp3")), "ID3-audio");
  EXPECT_EQ(index(), json({{"x/9", offlineFile("x-9.mp3")}}));
}

TEST_F(OfflineDownload, FailureLogsTheCodeAndLeavesEarlierFilesAndIndexAlone) {
  list(json::array({{{"id", "t1"}, {"artist", "Ana"}, {"title", "Luna"}}}));
  const std::string path = offlineFile("Ana - Luna.mp3");
  const std::string indexText = R"({"other":"/elsewhere/x.mp3"})";
  home.write(home.support("Tornavoz-cache-index.json"), indexText);
  home.write(path, "earlier good copy");

  struct Case {
    const char *name;
    std::function<void()> arrange;
    const char *logLine;
  } cases[] = {
      {"not found", [&] { serve(404, "{\"message\":\"no\"}"); }, "descarga offline falló: http 404"},
      {"refused token", [&] { serve(401, "{}"); }, "descarga offline falló: http 401"},
      {"empty body", [&] { serve(200, ""); }, "descarga offline falló: http 200"},
      {"cut mid-body",
       [&] {
         service.api(kDownload, [](const Request &, httplib::Response &res) {
           res.set_content_provider(1000, "audio/mpeg",
                                    [](size_t, size_t, httplib::DataSink &sink) {
                                      sink.write(std::string(100, 'a').data(), 100);
                                      return false;  // drop the connection
                                    });
         });
       },
       "descarga offline falló: http 200"},
      {"offline folder cannot be created",
       [&] {
         serve(200, "audio");
         auto config = home.config();
         config["offline_dir"] = home.path() + "/missing/parent";
         home.writeConfig(config);
       },
       "descarga offline falló: http 0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    EXPECT_EQ(toggle("t1"), 1);
    ASSERT_FALSE(home.logLines().empty());
    EXPECT_EQ(home.logLines().back(), c.logLine);
    EXPECT_EQ(home.read(path), "earlier good copy");
    EXPECT_EQ(offlineFolder(), std::vector<std::string>{"Ana - Luna.mp3"});
    EXPECT_EQ(home.read(home.support("Tornavoz-cache-index.json")), indexText);
  }
  // A refused token is not refreshed on this path.
  EXPECT_TRUE(service.apiRequests("/oauth/token").empty());
  EXPECT_FALSE(fs::exists(home.path() + "/missing"));
}

TEST_F(OfflineDownload, LongNameIsCutBeforeACharacterSoTheCopyIsRecorded) {
  // 128 bytes whose "\u00d1" (C3 91) straddles the 120-byte limit. Cut between
  // its two bytes, the name was no longer UTF-8: the index (JSON) could not
  // record it, so the saved copy was never found.
  const std::string title = "C\xef\x82\x82\xef\x82\x82ooo" + std::string(101, ':') +
                            "Cac:::::\xc3\x91:::oou-";
  ASSERT_EQ(title.size(), 128u);
  list(json::array({{{"id", "t1"}, {"title", title}}}));
  serve(200, "ID3-audio");
  std::string name = title.substr(0, 119);
  std::replace(name.begin(), name.end(), ':', '-');
  const std::string path = offlineFile(name + ".mp3");

  ASSERT_EQ(toggle("t1"), 0);
  EXPECT_EQ(home.read(path), "ID3-audio");
  EXPECT_EQ(index(), json({{"t1", path}}));
  EXPECT_EQ(host.stream("t1").url, "file://" + path);
}

TEST_F(OfflineDownload, TracksWithTheSameNameKeepTheirOwnFiles) {
  list(json::array({{{"id", "t1"}, {"artist", "Ana"}, {"title", "Luna"}},
                    {{"id", "t2"}, {"artist", "Ana"}, {"title", "Luna"}}}));
  service.api(kDownload, [](const Request &req, httplib::Response &res) {
    res.set_content("audio of " + req.query, "audio/mpeg");
  });
  const std::string first = offlineFile("Ana - Luna.mp3");
  const std::string second = offlineFile("Ana - Luna (2).mp3");

  ASSERT_EQ(toggle("t1"), 0);
  ASSERT_EQ(toggle("t2"), 0);
  EXPECT_EQ(index(), json({{"t1", first}, {"t2", second}}));
  EXPECT_EQ(home.read(first), "audio of file=t1&access_token=tok");
  EXPECT_EQ(home.read(second), "audio of file=t2&access_token=tok");
  EXPECT_EQ(host.stream("t2").url, "file://" + second);

  ASSERT_EQ(toggle("t1"), 0);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(home.read(second), "audio of file=t2&access_token=tok");
  EXPECT_EQ(index(), json({{"t2", second}}));

  // The first name is free again once its track let go of it.
  ASSERT_EQ(toggle("t1"), 0);
  EXPECT_EQ(index(), json({{"t1", first}, {"t2", second}}));
}

TEST_F(OfflineDownload, SameNamedTracksDownloadingAtOnceKeepTheirOwnFiles) {
  list(json::array({{{"id", "t1"}, {"artist", "Ana"}, {"title", "Luna"}},
                    {{"id", "t2"}, {"artist", "Ana"}, {"title", "Luna"}}}));
  // Neither answer leaves before both requests have arrived, so both names
  // are chosen while the index still holds neither track.
  service.api(kDownload, [this](const Request &req, httplib::Response &res) {
    service.waitFor(std::string(kApi) + kDownload, 2);
    res.set_content("audio of " + req.query, "audio/mpeg");
  });
  const unsigned long offline = host.menu("t1").size() - 1;
  hostabi::HRESULT second = -1;
  std::thread other([&] { second = host.choose("t2", offline); });
  hostabi::HRESULT first = host.choose("t1", offline);
  other.join();

  ASSERT_EQ(first, 0);
  ASSERT_EQ(second, 0);
  json saved = index();
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_NE(saved["t1"], saved["t2"]);
  EXPECT_EQ(home.read(saved["t1"].get<std::string>()), "audio of file=t1&access_token=tok");
  EXPECT_EQ(home.read(saved["t2"].get<std::string>()), "audio of file=t2&access_token=tok");
}
