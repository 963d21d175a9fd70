// A gig without internet: the saved tracks are found, listed, played and
// searched with the service out of reach, and a whole folder is saved in the
// background while the host goes on answering.
#include <algorithm>
#include <filesystem>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/support.h"
#include "tools/demo_service/gateway.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

namespace {

// Every argument the host got for a track.
std::vector<std::string> rows(const std::vector<host::TrackRow> &tracks) {
  std::vector<std::string> out;
  for (const auto &t : tracks) {
    std::string row;
    for (const auto &text : {t.id, t.title, t.artist, t.remix, t.genre, t.label, t.comment, t.cover, t.streamUrl}) {
      row += text.value_or("null") + "|";
    }
    out.push_back(row + std::to_string(t.bpm) + "|" + std::to_string(t.video));
  }
  return out;
}

class Gig : public Scenario {
 protected:
  Gig() {
    fs::create_directories(home.path() + "/Music");
    signIn();
  }
  // Downloads of tracks whose id starts with `held` wait for open().
  void holdDownloads(const std::string &held) {
    service.api("/download", [this, held, gate = gate_](const demo::Request &r, httplib::Response &res) {
      if (r.query.rfind("file=" + held, 0) == 0) gate.wait_for(std::chrono::seconds(20));
      service.serveDefault(r, res);
    });
  }
  void open() { release_.set_value(); }
  ~Gig() override {
    try {
      release_.set_value();
    } catch (const std::future_error &) {  // opened already
    }
  }
  std::promise<void> release_;
  std::shared_future<void> gate_ = release_.get_future().share();
  // The service answers, but nothing the plug-in can use.
  void networkDown() {
    for (const char *path : {"/vdj/folders", "/vdj/tracks"}) service.api(path, 502, "<html>Bad gateway</html>");
  }
};

}  // namespace

TEST_F(Gig, WithTheServiceOutOfReachTheSavedTracksAreListedPlayedAndFound) {
  std::string heart;
  for (const auto &t : host.search("corazón")) {
    if (*t.id != "t001" && t.genre != "Vídeos de Verbena") heart = *t.id;
  }
  ASSERT_FALSE(heart.empty());
  auto online = host.open("videos-de-verbena");  // video tracks, saved first
  ASSERT_EQ(toggle("t106"), 0);
  ASSERT_TRUE(savedAs("t106"));
  host.open("cumbia-lunar");
  ASSERT_EQ(toggle("t001"), 0);
  ASSERT_TRUE(savedAs("t001"));
  host.search("corazón");
  ASSERT_EQ(toggle(heart.c_str()), 0);
  ASSERT_TRUE(savedAs(heart));
  home.write(home.offline("Mi Tema.mp3"), "audio");  // saved by an earlier version: no description
  json indexed = index();
  indexed["x"] = home.offline("Mi Tema.mp3");
  home.write(home.support("Tornavoz-cache-index.json"), indexed.dump());
  auto tree = host.folders();
  ASSERT_EQ(tree.size(), 12u) << "the service's tree, then the offline folder";
  EXPECT_EQ(tree.back().id + "=" + tree.back().label, "@offline=Sin conexion (4)");

  networkDown();
  tree = host.folders();
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].id + "=" + tree[0].label, "@offline=Sin conexion (4)");
  auto saved = host.open("@offline");
  ASSERT_EQ(saved.size(), 4u);
  EXPECT_EQ(*saved[0].id, heart) << "newest save first";
  EXPECT_EQ(rows({saved[2]}), rows({online[0]})) << "as the service listed it, in every position";
  EXPECT_EQ(rows({saved[3]}), std::vector<std::string>{"x|Mi Tema||null|null|null|null|null|null|0.000000|0"});
  for (const auto &r : sent("/vdj/tracks")) EXPECT_EQ(r.find("40offline"), std::string::npos) << r;
  EXPECT_EQ(host.play("t106").url, "file://" + index()["t106"].get<std::string>());

  EXPECT_EQ(rows(host.search("CORAZON")), rows({saved[0]})) << "case and accents ignored";
  auto byArtist = host.search("primos galaxia");
  EXPECT_TRUE(std::any_of(byArtist.begin(), byArtist.end(), [](const auto &t) { return *t.id == "t001"; }))
      << "the artist counts too";
  EXPECT_TRUE(host.search("no such song").empty());

  // The offline folder's own menu removes one track, or all after asking.
  ASSERT_EQ(toggle("t001"), 0);
  EXPECT_EQ(host.folders().at(0).label, "Sin conexion (3)");
  EXPECT_EQ(host.folderMenu("@offline"),
            (std::vector<std::string>{"Elegir carpeta de descargas offline...", "Quitar todas de sin conexion"}));
  desktop.answer("zenity", 1);  // Cancelar
  host.folderChoose("@offline", 1);
  EXPECT_EQ(desktop.calls("zenity").back().args.at(3), "--text=¿Quitar las 3 canciones guardadas sin conexion?");
  EXPECT_EQ(host.open("@offline").size(), 3u);
  // Removing them all stops the saves first: nothing arrives afterwards.
  holdDownloads("t0");
  service.api("/vdj/tracks", [this](const demo::Request &r, httplib::Response &res) { service.serveDefault(r, res); });
  size_t toSave = 0;
  for (const auto &t : host.open("cumbia-lunar")) toSave += !index().contains(*t.id);
  host.folderChoose("cumbia-lunar", 1);
  ASSERT_TRUE(service.waitFor(kApi + "/download", 4));
  desktop.answer("zenity", 0);  // Borrar
  host.folderChoose("@offline", 1);
  open();
  EXPECT_TRUE(waitForLog("carpeta sin conexion: 0 de " + std::to_string(toSave) + " guardadas"));
  EXPECT_TRUE(host.folders().empty());
  EXPECT_EQ(index(), json::object());
  EXPECT_EQ(home.readJson(home.support("Tornavoz-offline-tracks.json")), json::object());
  EXPECT_TRUE(fs::is_empty(home.offline()));
}

TEST_F(Gig, AWholeFolderSavesInTheBackgroundWhileTheHostKeepsAnswering) {
  json tracks = json::array();
  for (int i = 0; i < 50; ++i) tracks.push_back({{"id", "b" + std::to_string(i)}, {"title", "Tema " + std::to_string(i)}});
  const json late = {{{"id", "c0"}}, {{"id", "c1"}}, {{"id", "c2"}}};
  const json mixed = {{{"id", "x0"}, {"title", "Falla"}}, {{"id", "b0"}, {"title", "Tema 0"}}, {{"id", "x1"}, {"title", "Sigue"}}};
  service.api("/vdj/tracks", [&](const demo::Request &r, httplib::Response &res) {
    if (r.query.rfind("genero=big", 0) == 0) return res.set_content(json{{"tracks", tracks}}.dump(), "application/json");
    if (r.query.rfind("genero=mixed", 0) == 0) return res.set_content(json{{"tracks", mixed}}.dump(), "application/json");
    if (r.query.rfind("genero=late", 0) == 0) return res.set_content(json{{"tracks", late}}.dump(), "application/json");
    service.serveDefault(r, res);
  });
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  service.api("/download", [gate](const demo::Request &r, httplib::Response &res) {
    gate.wait_for(std::chrono::seconds(20));
    if (r.query.rfind("file=x0&", 0) == 0) return void(res.status = 404);
    res.set_content("audio of " + r.query.substr(0, r.query.find('&')), "audio/mpeg");
  });
  EXPECT_EQ(host.folderMenu("big"),
            (std::vector<std::string>{"Elegir carpeta de descargas offline...", "Guardar carpeta sin conexion"}));
  EXPECT_EQ(host.folderMenu("@crate:1").back(), "Guardar carpeta sin conexion");

  host.open("@fav");
  const auto menuBefore = host.folderMenu("@offline");
  EXPECT_EQ(host.folderChoose("big", 1), 0);
  EXPECT_EQ(host.menu("t003").at(0), "Quitar de Me gusta") << "the folder open in the browser stays the last one";
  ASSERT_TRUE(service.waitFor(kApi + "/download", 1));
  // While the first track is on its way the host's calls answer as usual.
  EXPECT_EQ(host.folders().back().label, "Sin conexion (0), guardando 0 de 50");
  EXPECT_EQ(host.open("cumbia-lunar").size(), 15u);
  EXPECT_EQ(host.play("t001").result, 0);
  host.open("big");
  EXPECT_EQ(host.menu("b0").back(), "Cancelar guardado sin conexion");
  EXPECT_EQ(index(), json::object()) << "nothing above waited for the downloads";
  // A choice acts on the menu the DJ saw: the entry built while idle is not there.
  ASSERT_EQ(menuBefore.size(), 2u);
  host.folderChoose("@offline", 2);
  EXPECT_TRUE(desktop.calls("zenity").empty());
  release.set_value();

  ASSERT_TRUE(waitInFolder(home.support(), [&] { return logged("carpeta sin conexion: 50 de 50 guardadas"); },
                           std::chrono::seconds(60)));
  EXPECT_EQ(sent("/download").size(), 50u) << "each track fetched once";
  EXPECT_EQ(index().size(), 50u);
  EXPECT_EQ(home.read(home.offline("Tema 0.mp3")), "audio of file=b0");
  EXPECT_EQ(host.open("@offline").size(), 50u);
  EXPECT_EQ(host.folders().back().label, "Sin conexion (50)");

  // Another folder queues only what has no copy yet (a copy deleted from
  // the disk is none, whatever the index says), and a failed track does not
  // stop the rest.
  fs::remove(home.offline("Tema 0.mp3"));
  host.folderChoose("mixed", 1);
  ASSERT_TRUE(waitInFolder(home.support(), [&] { return logged("carpeta sin conexion: 2 de 3 guardadas"); }));
  EXPECT_TRUE(logged("descarga offline falló: http 404"));
  EXPECT_EQ(sent("/download").size(), 53u);
  EXPECT_EQ(home.read(home.offline("Sigue.mp3")), "audio of file=x1");
  EXPECT_EQ(home.read(home.offline("Tema 0.mp3")), "audio of file=b0");

  // What is still to save can be cancelled from the offline folder's menu.
  holdDownloads("c");
  host.folderChoose("late", 1);
  ASSERT_TRUE(service.waitFor(kApi + "/download", 54));
  EXPECT_EQ(host.folders().back().label, "Sin conexion (51), guardando 0 de 3") << "counted from this batch";
  EXPECT_EQ(host.folderMenu("@offline").back(), "Cancelar guardados pendientes");
  desktop.answer("zenity", 0);
  host.folderChoose("@offline", 2);
  EXPECT_EQ(desktop.calls("zenity").back().args.at(3), "--text=¿Cancelar las 3 canciones que faltan por guardar?");
  open();
  EXPECT_TRUE(waitForLog("carpeta sin conexion: 0 de 3 guardadas"));
  EXPECT_EQ(host.folders().back().label, "Sin conexion (51)");
  EXPECT_EQ(sent("/download").size(), 54u);
}

TEST_F(Gig, ALoadTakesUpOnlyWhatIsLeftAndSaysNothingWhenNothingIs) {
  const std::string queueFile = home.support("Tornavoz-save-queue.json");
  auto gone = [&] { return waitInFolder(home.support(), [&] { return !fs::exists(queueFile); }); };
  home.write(queueFile, R"([{"id":)");
  host.plugin();
  ASSERT_TRUE(waitForLog("cola sin conexion dañada: se ignora"));
  EXPECT_TRUE(gone()) << "left to be found damaged at every load";
  // Every track of the queue was saved meanwhile.
  home.write(home.offline("x.mp3"), "audio");
  home.write(home.support("Tornavoz-cache-index.json"), json{{"t001", home.offline("x.mp3")}}.dump());
  home.write(queueFile, R"([{"id":"t001","name":"x","ext":"mp3"}])");
  host.createPlugin()->OnLoad();
  EXPECT_TRUE(gone());
  EXPECT_FALSE(logged("carpeta sin conexion: 0 de 0 guardadas")) << "the DJ asked for nothing";
  EXPECT_EQ(sent("/download").size(), 0u);
}

TEST_F(Gig, AVenueNetworkThatLeadsNowhereCostsOneShortWaitThenTheSavedTracksAnswerAtOnce) {
  using Mode = demo::Gateway::Mode;
  using Clock = std::chrono::steady_clock;
  demo::Gateway gateway(service.port(), Mode::Relay);
  home.write(home.support("Tornavoz.config"), json{{"service_origin", gateway.origin()}}.dump());
  const auto listed = host.open("cumbia-lunar");
  for (const char *id : {"t001", "t002"}) ASSERT_EQ(toggle(id), 0);
  ASSERT_TRUE(savedAs("t001") && savedAs("t002"));
  auto unreachable = [&] { return home.logCount("servicio inalcanzable: "); };
  auto seconds = [](Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); };

  // The network takes connections and never answers: the update check of
  // the next load learns it within its budget.
  gateway.set(Mode::Silent);
  auto start = Clock::now();
  host.createPlugin()->OnLoad();
  ASSERT_TRUE(waitInFolder(home.support(), [&] { return unreachable() == 1; }, std::chrono::seconds(15)));
  EXPECT_LT(seconds(start), 10) << "not the 30-second limit";
  // Then every click answers at once from what is saved, without the network.
  const size_t taken = gateway.taken();
  start = Clock::now();
  const auto tree = host.folders();
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].label, "Sin conexion (2)");
  EXPECT_EQ(host.search(listed[0].title->c_str()).size(), 1u);
  EXPECT_EQ(host.play("t001").url, "file://" + index()["t001"].get<std::string>());
  EXPECT_EQ(host.play("t003").error, "No se pudo abrir la canción (¿sesión vencida?).");
  EXPECT_TRUE(host.open("salsa").empty());
  EXPECT_EQ(host.menu("t003").front(), "Me gusta");
  EXPECT_EQ(host.menu("t003").size(), 3u) << "no playlists";
  host.folderChoose("salsa", 1);  // Guardar carpeta sin conexion
  EXPECT_LT(seconds(start), 2);
  EXPECT_EQ(gateway.taken(), taken) << "no click, play report or save asked the network";
  EXPECT_FALSE(logged("carpeta sin conexion: 0 de 0 guardadas")) << "that line says everything was saved";

  // The browser brings a sign-in code: its exchange goes out, and the
  // service is there again.
  gateway.set(Mode::Relay);
  const size_t grants = service.requestsTo(kGrant).size();
  host.oauth(nullptr, nullptr, service.tokens().newCode().c_str(), nullptr);
  EXPECT_EQ(service.requestsTo(kGrant).size(), grants + 1);
  EXPECT_TRUE(logged("servicio disponible otra vez"));
  EXPECT_EQ(host.folders().size(), 12u);
  // A slow answer is no dead service.
  service.api("/vdj/folders", [this](const demo::Request &r, httplib::Response &res) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    service.serveDefault(r, res);
  });
  EXPECT_EQ(host.folders().size(), 12u);
  EXPECT_EQ(unreachable(), 1u);

  // A network that takes no connection costs the connection's budget; the
  // probe finds the service once it is back.
  gateway.set(Mode::Drop);
  start = Clock::now();
  EXPECT_EQ(host.folders().size(), 1u);
  EXPECT_LT(seconds(start), 6);
  gateway.set(Mode::Relay);
  EXPECT_TRUE(waitInFolder(home.support(), [&] { return home.logCount("servicio disponible otra vez") == 2; }));

  EXPECT_EQ(host.folders().size(), 12u);
}

// A forked host inherits the service's memory but not its threads, so what
// those threads hold looks lost when the host exits.
extern "C" const char *__lsan_default_suppressions() { return "leak:httplib::Server::listen_internal\n"; }

TEST_F(Gig, AHostThatUnloadsAndQuitsMidSaveEndsNormallyAndTheNextLoadFinishesTheJob) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child";
#endif
  // Download n is answered once `allowed` reaches n.
  std::mutex mutex;
  std::condition_variable changed;
  int arrived = 0, allowed = 0;
  service.api("/download", [&](const demo::Request &r, httplib::Response &res) {
    std::unique_lock<std::mutex> lock(mutex);
    const int n = ++arrived;
    changed.wait_for(lock, std::chrono::seconds(20), [&] { return n <= allowed; });
    lock.unlock();
    service.serveDefault(r, res);
  });
  auto allow = [&](int n) {
    std::lock_guard<std::mutex> lock(mutex);
    allowed = n;
    changed.notify_all();
  };

  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // the host: the module is loaded here for the first time
    char c = 0;
    host.open("cumbia-lunar");
    host.folderChoose("cumbia-lunar", 1);
    host.unload();
    (void)!write(up[1], &c, 1);
    (void)!read(down[0], &c, 1);
    std::exit(0);  // quits while the worker is inside a transfer
  }
  std::shared_ptr<void> reap(nullptr, [&](void *) {
    close(down[1]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    allow(1000);
  });
  close(up[1]);
  char c = 0;
  ASSERT_EQ(read(up[0], &c, 1), 1) << "the host unloaded the module";
  ASSERT_TRUE(service.waitFor(kApi + "/download", 1));
  allow(1);
  ASSERT_TRUE(service.waitFor(kApi + "/download", 2)) << "the worker went on after the unload";
  ASSERT_EQ(write(down[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  allow(1000);

  // The next host takes up what is left.
  ASSERT_EQ(home.readJson(home.support("Tornavoz-save-queue.json")).size() >= 14, true);
  host.createPlugin()->OnLoad();
  EXPECT_TRUE(waitForLog("carpeta sin conexion: 14 de 14 guardadas"));
  EXPECT_EQ(index().size(), 15u);
}
