// The save path on a bad network, with the waits between tries cut to
// milliseconds: the worker runs in this process against the demo service,
// behind a gateway that can play a network that goes down. Every saved copy
// must be the served file, byte for byte, and no outage may cost a track.
#include <filesystem>
#include <map>
#include <mutex>

#include "offline/save_queue.h"
#include "service/reachability.h"
#include "service/tokens.h"
#include "tests/support/support.h"
#include "tools/demo_service/gateway.h"

using namespace tvoz_test;
namespace fs = std::filesystem;
using Mode = demo::Gateway::Mode;
using std::chrono::milliseconds;

namespace {

std::string audio(char seed) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 251);
  return bytes;
}

// An answer whose body the test server sends exactly as given, Range or not.
void sendWhole(httplib::Response &res, int status, std::string body) {
  res.status = status;
  res.set_chunked_content_provider("audio/mpeg", [body](size_t offset, httplib::DataSink &sink) {
    if (offset == 0) sink.write(body.data(), body.size());
    sink.done();
    return true;
  });
}

class SaveQueue : public ::testing::Test {
 protected:
  SaveQueue() {
    fs::create_directories(home.path() + "/Music");
    service.tokens().add({"acc", "ref"}, std::chrono::hours(1));
    home.write(tvoz::tokenFilePath(), R"({"access":"acc","refresh":"ref"})");
    tvoz::loadTokens();
    tvoz::setRetryDelays({milliseconds(20)});
    tvoz::setProbeDelays({milliseconds(50)});
  }
  // The n-th request for the track of `r`, counted from 1.
  int tryOf(const demo::Request &r) {
    std::lock_guard<std::mutex> lock(mutex);
    return ++tries[r.http->get_param_value("file")];
  }
  std::string saved(const std::string &id) const {
    const json index = home.readJson(home.support("Tornavoz-cache-index.json"));
    return index.contains(id) ? home.read(index[id].get<std::string>()).value_or("") : "";
  }
  size_t logged(const std::string &prefix) const { return home.logCount(prefix); }
  bool waitForLog(const std::string &line, std::chrono::seconds limit = std::chrono::seconds(30)) const {
    return waitInFolder(home.support(), [&] { return logged(line) > 0; }, limit);
  }

  demo::Service service;
  demo::Gateway gateway{service.port(), Mode::Relay};
  Home home{gateway.origin()};
  std::mutex mutex;
  std::map<std::string, int> tries;
};

}  // namespace

TEST_F(SaveQueue, AResumeJoinsOnlyTheRestOfTheSameFileAndAWebPageIsNeverATrack) {
  const std::string file = audio(1), other = audio(2), bigger = audio(3) + audio(4).substr(0, 100000);
  // Every first try but the page's gets 100,000 bytes of the file (the
  // vanishing one's 120,000, without a length), then the
  // connection drops; from the second try on a file server answers, giving
  // the rest only while If-Range names the file it has.
  service.api("/download", [&](const demo::Request &r, httplib::Response &res) {
    const std::string id = r.http->get_param_value("file");
    const int n = tryOf(r);
    const bool named = id == "hostdown" || id == "changed" || id == "vanishes";
    if (named) res.set_header("ETag", id == "changed" && n > 1 ? "\"v2\"" : "\"v1\"");
    if (id == "page" && n == 1) return res.set_content("<html>Wi-Fi: acepta</html>", "Text/HTML; charset=utf-8");
    if (id == "vanishes" && n == 1) {  // no length told
      return res.set_chunked_content_provider("audio/mpeg", [&file](size_t, httplib::DataSink &sink) {
        sink.write(file.data(), 120000);
        return false;
      });
    }
    if (n == 1) return demo::sendCut(res, file, 100000, "audio/mpeg");
    if (id == "hostdown" && n == 2) return res.set_redirect("http://127.0.0.1:1/file", 302);  // the file host is down
    if (id == "shifted" && n == 2) {  // another part than the one asked for, of the right total
      res.set_header("Content-Range", "bytes 50000-249999/300000");
      return sendWhole(res, 206, file.substr(50000, 200000));
    }
    if (id == "vanishes" && n == 2) {  // the kept bytes vanish meanwhile (another host's sweep)
      for (const auto &e : fs::directory_iterator(home.offline())) {
        if (fs::file_size(e.path()) == 120000) fs::remove(e.path());
      }
      res.set_header("Content-Range", "bytes 120000-299999/*");
      return sendWhole(res, 206, file.substr(120000));
    }
    const std::string &served = id == "changed" ? other : id == "resized" ? bigger : file;
    if (r.hasHeader("If-Range") && r.header("If-Range") != res.get_header_value("ETag")) return sendWhole(res, 200, served);
    res.set_content(served, "audio/mpeg");
  });
  tvoz::queueFolderSave({"hostdown", "changed", "shifted", "resized", "vanishes", "page"});
  ASSERT_TRUE(waitForLog("carpeta sin conexion: 6 de 6 guardadas"));
  for (const char *id : {"hostdown", "shifted", "vanishes", "page"}) EXPECT_TRUE(saved(id) == file) << id;
  EXPECT_TRUE(saved("changed") == other && saved("resized") == bigger) << "a new file whole, never spliced";
  EXPECT_EQ(logged("descarga offline: page recibió una página web"), 1u);
  EXPECT_EQ(logged("descarga offline falló") + logged("servicio inalcanzable"), 0u);
  auto asked = [&](const std::string &id, size_t n) {
    std::vector<demo::Request> mine;
    for (const auto &r : service.apiRequests("/download")) {
      if (r.query.rfind("file=" + id + "&", 0) == 0) mine.push_back(r);
    }
    return mine.size() < n ? "none" : mine[n - 1].header("Range") + " " + mine[n - 1].header("If-Range");
  };
  EXPECT_EQ(asked("hostdown", 3), "bytes=100000- \"v1\"") << "kept through the try that never reached the file";
  EXPECT_EQ(asked("changed", 2), "bytes=100000- \"v1\"");
  EXPECT_EQ(asked("shifted", 2), "bytes=100000- ");
  for (const auto &e : fs::directory_iterator(home.offline())) {
    EXPECT_NE(e.path().filename().string().rfind(".tvoz-download-", 0), 0u) << "part file left: " << e.path();
  }
}

TEST_F(SaveQueue, AnOutageLosesNoTrackAndTriesThatGetMoreOfTheFileNeverRunOut) {
  const std::string file = audio(3);
  std::atomic<bool> outageDone{false};
  service.api("/download", [&](const demo::Request &r, httplib::Response &res) {
    const std::string id = r.http->get_param_value("file");
    const int n = tryOf(r);
    // The network goes down under the first transfer, before its answer.
    if (id == "first" && n == 1) return gateway.set(Mode::Reset);
    if (id == "crumbs") return demo::sendCut(res, file, 40000, "audio/mpeg");  // 40,000 bytes more each try
    if (id == "broken") return void(res.status = 500);
    if (id == "busy" && n <= 5) return void(res.status = 503);
    res.set_content(file, "audio/mpeg");
  });
  tvoz::queueFolderSave({"first", "second", "crumbs", "broken", "busy"});
  ASSERT_TRUE(waitForLog("servicio inalcanzable: "));
  // Three probes meet the dead network; meanwhile no track is tried.
  const size_t before = gateway.taken();
  ASSERT_TRUE(gateway.waitTaken(before + 3, std::chrono::seconds(10)));
  EXPECT_EQ(service.apiRequests("/download").size(), 1u) << "the queue waits for the service";
  EXPECT_EQ(logged("descarga offline: nuevo intento de "), 1u);
  gateway.set(Mode::Relay);

  ASSERT_TRUE(waitForLog("carpeta sin conexion: 4 de 5 guardadas"));
  EXPECT_EQ(logged("servicio disponible otra vez"), 1u);
  for (const char *id : {"first", "second", "crumbs", "busy"}) EXPECT_TRUE(saved(id) == file) << id;
  EXPECT_EQ(tries["crumbs"], 8) << "seven cuts, each with more of the file";
  EXPECT_EQ(tries["broken"], 4) << "the track's own fault: three more tries, then it fails";
  EXPECT_EQ(logged("descarga offline falló: http 500"), 1u);
  EXPECT_EQ(logged("descarga offline falló"), 1u);
}
