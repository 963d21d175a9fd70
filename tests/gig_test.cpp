// A gig without internet: the saved tracks are found, listed, played and
// searched with the service out of reach, and a whole folder is saved in the
// background while the host goes on answering.
#include <algorithm>
#include <filesystem>
#include <future>

#include "tests/support/support.h"

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
  hostabi::HRESULT toggle(const char *id) { return host.choose(id, host.menu(id).size() - 1); }
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
  host.open("cumbia-lunar");
  ASSERT_EQ(toggle("t001"), 0);
  host.search("corazón");
  ASSERT_EQ(toggle(heart.c_str()), 0);
  home.write(home.offline("Mi Tema.mp3"), "audio");  // saved by an earlier version: no description
  json indexed = index();
  indexed["x"] = home.offline("Mi Tema.mp3");
  home.write(home.support("Tornavoz-cache-index.json"), indexed.dump());
  EXPECT_EQ(host.folders().size(), 11u) << "with the service up, the tree is the service's";

  networkDown();
  auto tree = host.folders();
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
  desktop.answer("zenity", 0);  // Borrar
  host.folderChoose("@offline", 1);
  EXPECT_TRUE(host.folders().empty());
  EXPECT_EQ(index(), json::object());
  EXPECT_EQ(home.readJson(home.support("Tornavoz-offline-tracks.json")), json::object());
  EXPECT_TRUE(fs::is_empty(home.offline()));
}

TEST_F(Gig, AWholeFolderSavesInTheBackgroundWhileTheHostKeepsAnswering) {
  json tracks = json::array();
  for (int i = 0; i < 50; ++i) tracks.push_back({{"id", "b" + std::to_string(i)}, {"title", "Tema " + std::to_string(i)}});
  const json mixed = {{{"id", "x0"}, {"title", "Falla"}}, {{"id", "b0"}, {"title", "Tema 0"}}, {{"id", "x1"}, {"title", "Sigue"}}};
  service.api("/vdj/tracks", [&](const demo::Request &r, httplib::Response &res) {
    if (r.query.rfind("genero=big", 0) == 0) return res.set_content(json{{"tracks", tracks}}.dump(), "application/json");
    if (r.query.rfind("genero=mixed", 0) == 0) return res.set_content(json{{"tracks", mixed}}.dump(), "application/json");
    service.serveDefault(r, res);
  });
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  service.api("/download", [gate](const demo::Request &r, httplib::Response &res) {
    gate.wait_for(std::chrono::seconds(20));
    if (r.query.rfind("file=x0&", 0) == 0) return void(res.status = 404);
    res.set_content("audio of " + r.query.substr(0, r.query.find('&')), "audio/mpeg");
  });
  EXPECT_EQ(host.folderMenu("big"),
            (std::vector<std::string>{"Elegir carpeta de descargas offline...", "Guardar carpeta sin conexion"}));
  EXPECT_EQ(host.folderMenu("@crate:1").back(), "Guardar carpeta sin conexion");

  auto quick = [](auto call) {
    const auto started = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - started < std::chrono::seconds(3);
  };
  host.open("@fav");
  EXPECT_TRUE(quick([&] { EXPECT_EQ(host.folderChoose("big", 1), 0); })) << "the choice returns at once";
  EXPECT_EQ(host.menu("t003").at(0), "Quitar de Me gusta") << "the folder open in the browser stays the last one";
  ASSERT_TRUE(service.waitFor(kApi + "/download", 1));
  // While the first track is on its way, the host's calls answer as usual,
  // and a single save of that same track neither waits nor fetches it twice.
  EXPECT_TRUE(quick([&] { EXPECT_EQ(host.folders().size(), 11u); }));
  EXPECT_TRUE(quick([&] { EXPECT_EQ(host.open("cumbia-lunar").size(), 15u); }));
  EXPECT_TRUE(quick([&] { EXPECT_EQ(host.play("t001").result, 0); }));
  host.open("big");
  EXPECT_TRUE(quick([&] { EXPECT_EQ(toggle("b0"), 0); }));
  open.set_value();

  ASSERT_TRUE(waitInFolder(home.support(), [&] { return logged("carpeta sin conexion: 50 de 50 guardadas"); },
                           std::chrono::seconds(60)));
  EXPECT_EQ(sent("/download").size(), 50u) << "each track fetched once";
  EXPECT_EQ(index().size(), 50u);
  EXPECT_EQ(home.read(home.offline("Tema 0.mp3")), "audio of file=b0");
  EXPECT_EQ(host.open("@offline").size(), 50u);

  // Another folder queues only what has no copy yet, and a failed track does not stop the rest.
  host.folderChoose("mixed", 1);
  ASSERT_TRUE(waitInFolder(home.support(), [&] { return logged("carpeta sin conexion: 1 de 2 guardadas"); }));
  EXPECT_TRUE(logged("descarga offline falló: http 404"));
  EXPECT_EQ(sent("/download").size(), 52u);
  EXPECT_EQ(home.read(home.offline("Sigue.mp3")), "audio of file=x1");
}
