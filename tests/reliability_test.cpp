// The plug-in under a broken service and a hostile disk, seen from the host.
// Whatever breaks, the host gets its usual answer, nothing crashes, memory
// stays bounded, and nothing already stored is lost.
#include <algorithm>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "offline/cache_index.h"
#include "service/tokens.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

constexpr const char *kRefused = "No se pudo abrir la canción (¿sesión vencida?).";
constexpr const char *kInvalid = "Respuesta inválida del servidor.";
const std::string kStored = R"({"access":"acc-1","refresh":"ref-1"})";

// {"tracks": [...]} of `count` tracks, written directly: building a hundred
// thousand JSON objects first would take most of a test's time.
std::string tracksAnswer(size_t count) {
  std::string text = "{\"tracks\":[";
  for (size_t i = 0; i < count; ++i) {
    const std::string id = "t" + std::to_string(i);
    text += (i ? "," : "") + std::string("{\"id\":\"") + id + "\",\"title\":\"Luna " + id + "\"}";
  }
  return text + "]}";
}

long peakResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

class Reliability : public Scenario {
 protected:
  Reliability() { signIn(); }
  // Every answer the host waits for, and the code grant, given `body`.
  void answerAll(const std::function<void(httplib::Response &)> &answer) {
    demo::Handler handler = [answer](const demo::Request &, httplib::Response &res) { answer(res); };
    for (const char *path : {"/vdj/folders", "/vdj/tracks", "/vdj/resolve"}) service.api(path, handler);
    service.on("POST", kGrant, handler);
  }
  // The host's calls all answer as with no service at all.
  void expectNothingUsable(const char *streamError) {
    EXPECT_TRUE(host.folders().empty());
    EXPECT_TRUE(host.open("salsa").empty());  // a search reads its answer alike
    EXPECT_EQ(host.play("t1").error, streamError);
    host.oauth(nullptr, nullptr, "code-1", nullptr);
    EXPECT_EQ(home.read(home.support("Tornavoz.tokens")), kStored);
  }
};

}  // namespace

TEST_F(Reliability, CutGarbageAndOversizedAnswersFailLikeNoAnswerWithoutBloatingTheHost) {
  host.plugin();
  const std::string listing = tracksAnswer(50);
  for (size_t bytes : {size_t{0}, size_t{20}, size_t{1000}}) {
    SCOPED_TRACE("cut after " + std::to_string(bytes));
    answerAll([&](httplib::Response &res) { demo::sendCut(res, listing, bytes); });
    expectNothingUsable(kRefused);
  }
  // A whole answer that every reader would use, but with a failure status.
  answerAll([](httplib::Response &res) {
    res.status = 500;
    res.set_content(R"({"folders":[{"id":"a","name":"A","count":1}],"tracks":[{"id":"a"}],"url":"https://x",)"
                    R"("access_token":"a","refresh_token":"r"})", "application/json");
  });
  expectNothingUsable(kRefused);

  constexpr size_t kSize = 10 << 20;
  std::string noise(kSize, '\0');
  std::generate(noise.begin(), noise.end(), std::mt19937(7));
  const std::string garbage[] = {
      noise,
      // The parser builds every level it opens before it sees the text is
      // broken: without a depth limit this one costs about a gigabyte.
      std::string(kSize, '['),
      "{\"tracks\":" + std::string(kSize / 2, '[') + std::string(kSize / 2, ']') + "}",
      "{\"url\":\"" + std::string(kSize / 10, 'a'),
      // Well-formed, but not the shape any reader wants.
      R"([{"id":"a","name":"A","url":"https://x","access_token":"a","refresh_token":"r"}])",
      R"({"folders":"a","tracks":"a","url":5,"access_token":5,"refresh_token":"r"})",
      // Invalid UTF-8 anywhere refuses the whole answer.
      R"({"tracks":[{"id":"t1","title":"Ana )" "\xff\xfe" R"("}],"url":"x)" "\xc3" R"(","access_token":"a","folders":[{"id":"\ud800","name":"N"}]})",
  };
  const long before = peakResidentKiB();
  for (const auto &body : garbage) {
    SCOPED_TRACE(body.substr(0, 40));
    answerAll([&body](httplib::Response &res) { res.set_content(body, "application/json"); });
    expectNothingUsable(kInvalid);
  }
  EXPECT_LT(peakResidentKiB() - before, 400L * 1024) << "a few copies per answer, not a blow-up";

  // 100 MiB of a well-formed listing (1,600 tracks of 64 KiB each): refused
  // before the body when its length is announced, cut off at the ceiling when
  // it streams without one. Read whole, it would list every track.
  auto track = std::make_shared<const std::string>("{\"id\":\"t\",\"title\":\"" + std::string(64 << 10, 'a') + "\"},");
  const size_t length = 11 + 1600 * track->size() + 1;
  auto huge = [track, length](size_t offset, httplib::DataSink &sink) {
    std::string part = offset == 0 ? "{\"tracks\":[" : *track;
    if (offset + part.size() == length - 1) part.replace(part.size() - 1, 1, "]}");
    if (!sink.write(part.data(), part.size())) return false;
    if (offset + part.size() == length) sink.done();
    return true;
  };
  service.api("/vdj/tracks", [huge, length](const demo::Request &, httplib::Response &res) {
    res.set_content_provider(length, "application/json",
                             [huge](size_t offset, size_t, httplib::DataSink &sink) { return huge(offset, sink); });
  });
  const long peak = peakResidentKiB();
  EXPECT_TRUE(host.open("salsa").empty());
  EXPECT_LT(peakResidentKiB() - peak, 16L * 1024) << "read the body it had to refuse";
  service.api("/vdj/tracks", [huge](const demo::Request &, httplib::Response &res) {
    res.set_chunked_content_provider("application/json", huge);
  });
  EXPECT_TRUE(host.open("salsa").empty()) << "chunked";
}

TEST_F(Reliability, HundredThousandTracksAllReachTheHostInOrder) {
  constexpr size_t kCount = 100000;
  service.api("/vdj/tracks", 200, tracksAnswer(kCount));
  auto tracks = host.open("everything");
  ASSERT_EQ(tracks.size(), kCount);
  for (size_t i : {size_t{0}, kCount / 2, kCount - 1}) EXPECT_EQ(tracks[i].title, "Luna t" + std::to_string(i));
}

TEST_F(Reliability, ReadOnlySupportFolderKeepsEveryStoredFileAndFullDiskKeepsEarlierCopies) {
  signIn("acc-1", "ref-1", /*expired=*/true);
  const std::string saved = home.offline("Ana - Luna.mp3");
  home.write(saved, "earlier audio");
  home.write(home.support("Tornavoz-cache-index.json"), json{{"t001", saved}}.dump());
  const auto config = home.read(home.support("Tornavoz.config"));
  {
    // As root, file modes stop nothing; a file-size limit of zero makes every
    // write fail, as on a read-only disk.
    FileSizeLimit readOnly(0);
    EXPECT_EQ(host.folders().size(), 12u) << "renewed in memory";
    EXPECT_EQ(host.play("t001").url, "file://" + saved);
    EXPECT_EQ(host.play("t002").url, service.origin() + "/demo/media/t002.wav");
    // Both plays are reported, the one from disk too, on threads of their
    // own: the limit holds until they are done.
    EXPECT_TRUE(service.waitFor(kApi + "/vdj/played", 2));
  }
  EXPECT_EQ(home.read(home.support("Tornavoz.tokens")), kStored);
  EXPECT_EQ(home.read(home.support("Tornavoz.config")), config);

  // The disk fills up in the middle of a download.
  const std::string audio(1 << 20, 'a');
  service.api("/download", 200, audio);
  host.open("cumbia-lunar");
  const unsigned long save = host.menu("t002").size() - 1;
  {
    FileSizeLimit full(256 << 10);
    EXPECT_EQ(host.choose("t002", save), 0);
    EXPECT_TRUE(waitForLog("descarga offline falló: http 200"));
  }
  EXPECT_EQ(home.read(saved), "earlier audio");
  EXPECT_EQ(host.choose("t002", save), 0) << "with room on the disk the same choice works";
  ASSERT_TRUE(savedAs("t002"));
  EXPECT_EQ(home.read(index()["t002"].get<std::string>()), audio);
}

TEST(CrashSafety, FilesKilledMidRewriteHoldTheOldOrTheNewContentWhole) {
  Home home("http://127.0.0.1:1");
  std::mt19937 random(std::random_device{}());
  const std::string big(256 << 10, 'x');  // a write takes many system calls
  const std::string tokens[2] = {json{{"access", "a0" + big}, {"refresh", "r0"}}.dump(),
                                 json{{"access", "a1"}, {"refresh", "r1" + big}}.dump()};
  const std::string entries[2] = {"/music/" + big + ".mp3", "/music/short.mp3"};
  // A child rewrites `file` over and over until it is killed at a random
  // moment after its first change.
  auto killWhileRewriting = [&](const std::string &file, const std::function<void(int)> &write) {
    const auto initial = home.read(file);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) for (int i = 0;; i ^= 1) write(i);  // until killed
    EXPECT_TRUE(waitInFolder(home.support(), [&] { return home.read(file) != initial; }));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));  // the random moment
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  };
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    killWhileRewriting(tvoz::tokenFilePath(), [&](int i) {
      tvoz::storeTokens(i ? "a1" : "a0" + big, std::string(i ? "r1" + big : "r0"));
    });
    auto text = home.read(tvoz::tokenFilePath());
    EXPECT_TRUE(text == tokens[0] || text == tokens[1]);

    tvoz::writeCacheIndex({{"keep", "/music/keep.mp3"}});
    killWhileRewriting(tvoz::cacheIndexPath(), [&](int i) { tvoz::cacheIndexSet("t1", entries[i]); });
    json index = tvoz::loadCacheIndex();
    EXPECT_EQ(index.size(), 2u);
    EXPECT_TRUE(index.value("t1", "") == entries[0] || index.value("t1", "") == entries[1]);
  }
}
