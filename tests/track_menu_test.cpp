#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

using Labels = std::vector<std::string>;

class TrackMenu : public ::testing::Test {
 protected:
  TrackMenu() {
    service.api("/vdj/tracks", 200, json{{"tracks", json::array({{{"id", "t 1"}, {"title", "Luna"}}})}});
    for (const char *path : {"/vdj/favorite", "/vdj/crate-add", "/vdj/crate-remove"}) {
      service.api(path, 200, json{{"ok", true}});
    }
  }
  void playlists(const json &crates) { service.api("/vdj/crates", 200, json{{"crates", crates}}); }

  // Every library request sent so far, as "path?query" below the API base.
  Labels librarySent() const {
    Labels out;
    for (const auto &r : service.requests()) {
      std::string path = r.path.substr(std::string(kApi).size());
      if (path == "/vdj/crates" || path == "/vdj/tracks" || path == "/vdj/version") continue;
      out.push_back(path + "?" + r.query);
    }
    return out;
  }

  FakeService service;
  TempHome home{service.origin()};
  TestHost host;
};

}  // namespace

TEST_F(TrackMenu, OrdinaryFolderWithoutPlaylists) {
  EXPECT_EQ(host.choose("t 1", 0), 0);  // no menu built yet
  host.open("pool");
  Labels menu = host.menu("t 1");
  EXPECT_EQ(menu, (Labels{"Me gusta", "Anadir a nueva playlist", "Guardar para tocar sin internet"}));

  EXPECT_EQ(host.choose("t 1", 0), 0);
  EXPECT_EQ(host.choose("t 1", 3), 0);  // past the end
  EXPECT_EQ(librarySent(), Labels{"/vdj/favorite?file=t%201&action=add"});
}

TEST_F(TrackMenu, FavouritesFolderOffersRemovalOfTheMark) {
  host.open("@fav");
  Labels menu = host.menu("t 1");
  ASSERT_FALSE(menu.empty());
  EXPECT_EQ(menu[0], "Quitar de Me gusta");
  host.choose("t 1", 0);
  EXPECT_EQ(librarySent(), Labels{"/vdj/favorite?file=t%201&action=remove"});
}

TEST_F(TrackMenu, PlaylistFolderOffersRemovalAndEveryPlaylist) {
  playlists(json::array({{{"id", 12}, {"name", "House"}}, {{"id", 40}, {"name", "Boda"}}}));
  host.open("@crate:12");
  Labels menu = host.menu("t 1");
  EXPECT_EQ(menu, (Labels{"Me gusta", "Quitar de esta playlist", "Anadir a: House", "Anadir a: Boda",
                          "Anadir a nueva playlist", "Guardar para tocar sin internet"}));

  // The choice acts on the track it names, not on the one the menu was built for.
  for (unsigned long i : {1, 2, 3}) host.choose("t/2", i);
  EXPECT_EQ(librarySent(), (Labels{"/vdj/crate-remove?crate=12&file=t%2F2",
                                   "/vdj/crate-add?crate=12&file=t%2F2",
                                   "/vdj/crate-add?crate=40&file=t%2F2"}));

  host.open("@crate:");
  ASSERT_EQ(host.menu("t 1")[1], "Quitar de esta playlist");
  host.choose("t 1", 1);
  EXPECT_EQ(librarySent().back(), "/vdj/crate-remove?crate=&file=t%201");
}

TEST_F(TrackMenu, PlaylistReadingKeepsWhatCameBeforeABadElement) {
  playlists(json::array({{{"name", "Sin id"}},
                         {{"id", -5}},
                         {{"id", "7"}, {"name", "Texto"}},
                         {{"id", 8}, {"name", "Nunca"}}}));
  Labels menu = host.menu("t 1");
  EXPECT_EQ(menu, (Labels{"Me gusta", "Anadir a: Sin id", "Anadir a: (crate)", "Anadir a nueva playlist",
                          "Guardar para tocar sin internet"}));
  host.choose("t 1", 1);
  host.choose("t 1", 2);
  EXPECT_EQ(librarySent(), (Labels{"/vdj/crate-add?crate=0&file=t%201",
                                   "/vdj/crate-add?crate=-5&file=t%201"}));

  const Labels withoutPlaylists{"Me gusta", "Anadir a nueva playlist", "Guardar para tocar sin internet"};
  struct Case {
    const char *name;
    int status;
    std::string body;
  } cases[] = {
      {"refused", 401, R"({"crates":[{"id":1,"name":"x"}]})"},
      {"empty body", 200, ""},
      {"root is an array", 200, R"([{"id":1,"name":"x"}])"},
      {"element is not an object", 200, R"({"crates":[3,{"id":1,"name":"x"}]})"},
      {"no crates member", 200, R"({"other":[]})"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    service.api("/vdj/crates", c.status, c.body);
    EXPECT_EQ(host.menu("t 1"), withoutPlaylists);
  }
}

TEST_F(TrackMenu, NewPlaylistTakesTheNameTheDjTyped) {
  FakePrograms programs;
  const unsigned long newPlaylist = 1;
  ASSERT_EQ(host.menu("t 1")[newPlaylist], "Anadir a nueva playlist");

  programs.answer("zenity", 1);  // Cancelar
  EXPECT_EQ(host.choose("t 1", newPlaylist), 0);
  ASSERT_EQ(programs.calls("zenity").size(), 1u);
  const auto args = programs.calls("zenity")[0].args;
  EXPECT_NE(std::find(args.begin(), args.end(),
                      "--text=Nombre de la nueva playlist (sirve para audio o video):"),
            args.end());
  EXPECT_NE(std::find(args.begin(), args.end(), "--entry-text=Mi playlist"), args.end());

  programs.answer("zenity", 0, "Mi playlist\n");
  host.choose("t 1", newPlaylist);
  programs.answer("zenity", 0, "  \n");  // blanks are a name
  host.choose("t 1", newPlaylist);
  EXPECT_EQ(librarySent(), (Labels{"/vdj/crate-add?crate=new&file=t%201&name=Mi%20playlist",
                                   "/vdj/crate-add?crate=new&file=t%201&name=%20%20"}));
  // Start-up's update check reads the environment the fake programs restore.
  service.waitFor(std::string(kApi) + "/vdj/version", 1);
}
