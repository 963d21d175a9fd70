// What listings leave behind for the track menu and the download, read
// straight from the plug-in's globals.
#include <gtest/gtest.h>

#include "catalogue/tracks.h"
#include "core/state.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

using namespace tvoz_test;
using tvoz::g_lastFolder;
using tvoz::g_trackExt;
using tvoz::g_trackNames;

namespace {

struct CountingList : IVdjTracksList {
  HRESULT add(const char *id, const char *, const char *, const char *, const char *,
              const char *, const char *, const char *, const char *, float, float, int, int,
              bool, bool) override {
    added.push_back(id);
    return 0;
  }
  std::vector<std::string> added;
};

}  // namespace

TEST(TrackState, LastFolderFollowsOpenedFoldersOnly) {
  FakeService service;  // no routes: every listing fails, which must not matter
  TempHome home(service.origin());
  CountingList list;

  tvoz::openFolder("@crate:12", &list);
  EXPECT_EQ(g_lastFolder, "@crate:12");
  tvoz::searchTracks("luna", &list);
  EXPECT_EQ(g_lastFolder, "@crate:12");
  tvoz::openFolder(nullptr, &list);
  EXPECT_EQ(g_lastFolder, "");
  EXPECT_EQ(service.apiRequests("/vdj/tracks").size(), 3u);
}

TEST(TrackState, NamesAndExtensionsUpToTheBadField) {
  CountingList list;
  const json tracks = json::array({
      {{"id", "a"}, {"artist", "Ana"}, {"title", "Luna"}},
      {{"id", "b"}, {"artist", "Ana"}, {"ext", "flac"}},
      {{"id", "c"}, {"title", "Sol"}, {"ext", "wav"}},
      {{"id", "c"}, {"title", "Sol (Remix)"}, {"ext", "m4a"}},  // later one wins
      {{"id", "d"}, {"title", "Mar"}, {"ext", 5}},              // half done
      {{"id", "e"}, {"title", "Nunca"}},
  });
  EXPECT_THROW(tvoz::addTracks(tracks, &list), json::type_error);

  EXPECT_EQ(list.added, (std::vector<std::string>{"a", "b", "c", "c"}));
  EXPECT_EQ(g_trackNames, (std::map<std::string, std::string>{
                              {"a", "Ana - Luna"}, {"b", "Ana - "}, {"c", "Sol (Remix)"},
                              {"d", "Mar"}}));
  EXPECT_EQ(g_trackExt, (std::map<std::string, std::string>{
                            {"a", "mp3"}, {"b", "flac"}, {"c", "m4a"}}));
}

TEST(TrackState, TrackWhoseIdHoldsANulByteIsLeftOut) {
  // The host would know this track as "t", another track's id, and act on
  // that one from its menu.
  CountingList list;
  tvoz::listTracksBody(
      R"({"tracks":[{"id":"t\u00000","title":"Uo","abpm":128.5,"ext":"wav","video":1}]})", &list);
  EXPECT_TRUE(list.added.empty());
  EXPECT_TRUE(g_trackNames.empty());
  EXPECT_TRUE(g_trackExt.empty());
}
