// The track and folder context menus, and the library requests behind them.
#include <filesystem>

#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

using Labels = std::vector<std::string>;
const std::string kToken = "&access_token=acc-1";
constexpr const char *kPickFolder = "Elegir carpeta de descargas offline...";
constexpr const char *kSaveFolder = "Guardar carpeta sin conexion";

class Menus : public Scenario {
 protected:
  Menus() { signIn(); }
  void playlists(const json &crates) { service.api("/vdj/crates", 200, json{{"crates", crates}}.dump()); }
  // Every library request so far, as sent below the API base.
  Labels library() const {
    Labels out;
    for (const auto &r : service.requests()) {
      for (const char *path : {"/vdj/favorite", "/vdj/crate-add", "/vdj/crate-remove", "/vdj/crate-del"}) {
        if (r.path == kApi + path) out.push_back(r.target.substr(kApi.size()));
      }
    }
    return out;
  }
  Labels dialogArgs() const { return desktop.calls("zenity").back().args; }
};

}  // namespace

TEST_F(Menus, TrackMenuFollowsTheFolderOpenedLastAndActsOnTheTrackChosen) {
  EXPECT_EQ(host.choose("t 1", 0), 0) << "no menu built yet: nothing to do";
  playlists(json::array({{{"id", 12}, {"name", "House"}}, {{"id", 40}, {"name", "Boda"}}}));
  host.open("pool");
  host.menu("t 1");  // the load test checks a plain folder's labels, the playlist's below all of them
  host.choose("t 1", 0);
  host.choose("t 1", 2);
  EXPECT_EQ(host.choose("t 1", 5), 0);  // past the end

  host.open("@fav");
  EXPECT_EQ(host.menu("t 1").at(0), "Quitar de Me gusta");
  host.choose("t 1", 0);

  host.open("@crate:12");
  EXPECT_EQ(host.menu("t 1"), (Labels{"Me gusta", "Quitar de esta playlist", "Anadir a: House", "Anadir a: Boda",
                                      "Anadir a nueva playlist", "Guardar para tocar sin internet"}));
  host.choose("t/2", 1);  // the choice acts on the track it names
  host.open("@crate:7+a%41");
  host.menu("t 1");
  host.choose("t 1", 1);
  EXPECT_EQ(library(), (Labels{"/vdj/favorite?file=t%201&action=add" + kToken,
                               "/vdj/crate-add?crate=40&file=t%201" + kToken,
                               "/vdj/favorite?file=t%201&action=remove" + kToken,
                               "/vdj/crate-remove?crate=12&file=t%2F2" + kToken,
                               // a playlist id from a folder id leaves byte for byte
                               "/vdj/crate-remove?crate=7+a%41&file=t%201" + kToken}));
}

TEST_F(Menus, PlaylistReadingKeepsWhatCameBeforeABadElement) {
  playlists(json::array({{{"name", "Sin id"}}, {{"id", -5}}, {{"id", "7"}, {"name", "Texto"}},
                         {{"id", 8}, {"name", "Nunca"}}}));
  EXPECT_EQ(host.menu("t1"), (Labels{"Me gusta", "Anadir a: Sin id", "Anadir a: (crate)",
                                     "Anadir a nueva playlist", "Guardar para tocar sin internet"}));
  host.choose("t1", 1);
  host.choose("t1", 2);
  EXPECT_EQ(library(), (Labels{"/vdj/crate-add?crate=0&file=t1" + kToken, "/vdj/crate-add?crate=-5&file=t1" + kToken}));

  // A refusal is the session tests'.
  for (const char *body : {"", R"([{"id":1,"name":"x"}])", R"({"crates":[3,{"id":1,"name":"x"}]})", R"({"other":[]})"}) {
    SCOPED_TRACE(body);
    service.api("/vdj/crates", 200, body);
    EXPECT_EQ(host.menu("t1"), (Labels{"Me gusta", "Anadir a nueva playlist", "Guardar para tocar sin internet"}));
  }
}

TEST_F(Menus, NewPlaylistTakesTheNameTheDjTyped) {
  const unsigned long entry = 3;
  ASSERT_EQ(host.menu("t 1").at(entry), "Anadir a nueva playlist");  // after the demo's two playlists
  desktop.answer("zenity", 1);  // Cancelar
  EXPECT_EQ(host.choose("t 1", entry), 0);
  EXPECT_EQ(dialogArgs(), (Labels{"--entry", "--title=Tornavoz",
                                  "--text=Nombre de la nueva playlist (sirve para audio o video):",
                                  "--entry-text=Mi playlist", "--ok-label=Crear", "--cancel-label=Cancelar"}));
  desktop.answer("zenity", 0, "Mi playlist & más\n");
  host.choose("t 1", entry);
  desktop.answer("zenity", 0, "  \n");  // blanks are a name
  host.choose("t 1", entry);
  EXPECT_EQ(library(), (Labels{"/vdj/crate-add?crate=new&file=t%201&name=Mi%20playlist%20%26%20m%C3%A1s" + kToken,
                               "/vdj/crate-add?crate=new&file=t%201&name=%20%20" + kToken}));
}

TEST_F(Menus, FolderMenuDeletesAPlaylistOnlyWhenConfirmedAndStoresTheChosenFolder) {
  const Labels playlist{"Borrar esta playlist", kPickFolder, kSaveFolder}, other{kPickFolder, kSaveFolder};
  // A plain folder's menu is the gig tests'.
  const std::pair<const char *, Labels> menus[] = {{"@crate:12", playlist}, {"@crate:", playlist},
                                                   {"x@crate:1", other}, {"@CRATE:1", other}, {nullptr, other}};
  for (const auto &[id, labels] : menus) EXPECT_EQ(host.folderMenu(id), labels) << (id ? id : "null");

  desktop.answer("zenity", 1);  // Cancelar
  EXPECT_EQ(host.folderChoose("@crate:7+x", 0), 0);
  EXPECT_EQ(dialogArgs(), (Labels{"--question", "--title=Tornavoz", "--no-markup",
                                  "--text=¿Borrar esta playlist? Esto no se puede deshacer.",
                                  "--ok-label=Borrar", "--cancel-label=Cancelar"}));
  desktop.answer("zenity", 0);  // Borrar
  host.folderChoose("@crate:7+x", 0);
  host.folderChoose("@crate:", 0);
  EXPECT_EQ(library(), (Labels{"/vdj/crate-del?crate=7+x" + kToken, "/vdj/crate-del?crate=" + kToken}));
  host.folderChoose("@fav", 2);  // positions without an entry open nothing
  host.folderChoose("@crate:7", 3);
  EXPECT_EQ(desktop.calls("zenity").size(), 3u);

  desktop.answer("zenity", 1);  // the picker closed without a choice
  host.folderChoose("pool", 0);
  EXPECT_FALSE(home.readJson(home.support("Tornavoz.config")).contains("offline_dir"));
  const std::string chosen = home.path() + "/Música sin internet";
  desktop.answer("zenity", 0, chosen + "\n");
  host.folderChoose("@crate:3", 1);
  EXPECT_EQ(dialogArgs(), (Labels{"--file-selection", "--directory", "--title=Tornavoz"}));
  EXPECT_EQ(home.readJson(home.support("Tornavoz.config"))["offline_dir"], chosen);
  EXPECT_TRUE(std::filesystem::is_directory(chosen));
  EXPECT_EQ(home.logLines().back(), "carpeta offline nueva: " + chosen);
}
