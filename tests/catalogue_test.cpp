// The catalogue in the host's browser: the folder tree, listings and search,
// and the address a deck plays.
#include <sstream>

#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

constexpr const char *kRefused = "No se pudo abrir la canción (¿sesión vencida?).";
constexpr const char *kNoUrl = "Sin URL de streaming.";

// Every argument of one add call, in the host's order; "null" for a null text.
std::string describe(const host::TrackRow &t) {
  std::ostringstream out;
  for (const auto &text : {t.id, t.title, t.artist, t.remix, t.genre, t.label, t.comment, t.cover, t.streamUrl}) {
    out << text.value_or("null") << '|';
  }
  out << t.length << '|' << t.bpm << '|' << t.key << '|' << t.year << '|' << t.video << '|' << t.karaoke;
  return out.str();
}

using Catalogue = Scenario;

}  // namespace

// A NUL byte inside an id or a name is the service-answers fuzz target's.
TEST_F(Catalogue, FoldersAreLabelledInTheServicesOrderAndEndAtABadOne) {
  service.api("/vdj/folders", 200, json{{"folders", json::array({
      {{"id", "salsa"}, {"name", "Salsa"}, {"count", 12}},
      {{"id", "@fav"}, {"name", "Favoritos"}},               // no count: (0)
      {{"id", "x"}, {"count", 3}},                            // no name
      {{"id", ""}, {"name", "Vacía"}, {"count", 1}},          // left out
      {{"name", "Sin id"}, {"count", 1}},                     // left out
      {{"id", "bad"}, {"name", "Mala"}, {"count", "7"}},      // ends the list
      {{"id", "after"}, {"name", "Después"}, {"count", 1}},
  })}}.dump());
  std::vector<std::string> shown;
  for (const auto &f : host.folders()) shown.push_back(f.id + "=" + f.label);
  EXPECT_EQ(shown, (std::vector<std::string>{"salsa=Salsa (12)", "@fav=Favoritos (0)", "x= (3)"}));
}

TEST_F(Catalogue, TracksReachTheHostWithEveryArgumentInItsPlaceUpToABadOne) {
  service.api("/vdj/tracks", 200, json{{"tracks", json::array({
      {{"id", "t1"}, {"title", "Luna"}, {"artist", "Ana"}, {"remix", "Extended"}, {"genre", "Salsa"},
       {"cover", "https://img/1.jpg"}, {"bpm", 127.5}, {"video", true}, {"ext", "wav"}},
      {{"id", "t2"}},
      {{"title", "Sin id"}},  // left out, the rest still listed
      {{"id", "t3"}, {"title", ""}, {"remix", ""}, {"genre", ""}, {"cover", ""}, {"video", 2}},
      {{"id", "bad"}, {"bpm", "127"}},  // ends the listing
      {{"id", "after"}},
  })}}.dump());
  std::vector<std::string> calls;
  for (const auto &t : host.open("salsa")) calls.push_back(describe(t));
  // id, title, artist, remix, genre, label, comment, cover, stream URL,
  // length, bpm, key, year, video, karaoke
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "t1|Luna|Ana|Extended|Salsa|null|null|https://img/1.jpg|null|0|127.5|0|0|1|0",
                       "t2|||null|null|null|null|null|null|0|0|0|0|0|0",
                       "t3|||null|null|null|null|null|null|0|0|0|0|1|0",
                   }));
}

TEST_F(Catalogue, FolderIdsAndSearchTextAreEscapedWhileSearchKeepsTheFolderOpenedLast) {
  signIn();
  for (const char *folder : std::initializer_list<const char *>{"@crate:12", nullptr, "Salsa & Son", "@fav"}) host.open(folder);
  host.search("año nuevo");
  host.search(nullptr);
  const std::string token = "&access_token=acc-1";
  EXPECT_EQ(sent("/vdj/tracks"), (std::vector<std::string>{
                                     "/vdj/tracks?genero=%40crate%3A12" + token,
                                     "/vdj/tracks?genero=" + token,
                                     "/vdj/tracks?genero=Salsa%20%26%20Son" + token,
                                     "/vdj/tracks?genero=%40fav" + token,
                                     "/vdj/tracks?q=a%C3%B1o%20nuevo" + token,
                                     "/vdj/tracks?q=" + token}));
  EXPECT_EQ(host.menu("t001").at(0), "Quitar de Me gusta") << "the favourites were opened last";
}

// Plays from disk, and their reports, are the offline, gig and reliability tests'.
TEST_F(Catalogue, PlaysStreamThroughRedirectsEachFailureHasItsTextAndOnlyTheEmptyIdGoesUnreported) {
  signIn();
  // The index still names a copy that is gone: the track streams.
  home.write(home.support("Tornavoz-cache-index.json"), json{{"t001", home.offline("gone.mp3")}}.dump());
  EXPECT_EQ(host.play("t001").url, service.origin() + "/demo/media/t001.wav");
  EXPECT_EQ(sent("/vdj/resolve"), std::vector<std::string>{"/vdj/resolve?file=t001&access_token=acc-1"});
  ASSERT_TRUE(service.waitFor(kApi + "/vdj/played", 1));

  // The address comes from the final answer of a redirected request.
  service.api("/vdj/resolve", [](const demo::Request &, httplib::Response &res) { res.set_redirect(kApi + "/moved", 302); });
  service.api("/moved", 200, R"({"url":"https://cdn.example/a b?sig=a%2Fb"})");
  EXPECT_EQ(host.play("t 2").url, "https://cdn.example/a b?sig=a%2Fb");
  EXPECT_EQ(sent("/vdj/resolve").back(), "/vdj/resolve?file=t%202&access_token=acc-1");
  ASSERT_TRUE(service.waitFor(kApi + "/vdj/played", 2));
  EXPECT_EQ(sent("/vdj/played").back(), "/vdj/played?file=t%202&access_token=acc-1");
  // A redirect loop ends after 10 redirects, not thousands of requests later.
  service.api("/moved", [](const demo::Request &, httplib::Response &res) { res.set_redirect(kApi + "/moved", 302); });
  EXPECT_EQ(host.play("t 2").error, kRefused);
  EXPECT_EQ(service.apiRequests("/moved").size(), 11u);

  // Each failed resolution has its text (the unreadable ones are the
  // reliability tests'), and is reported all the same.
  const std::tuple<int, std::string, const char *> cases[] = {
      {404, "", kRefused}, {200, R"({"url":""})", kNoUrl}, {200, R"({})", kNoUrl}};
  for (const auto &[status, body, text] : cases) {
    SCOPED_TRACE(std::to_string(status) + " " + body);
    service.api("/vdj/resolve", status, body);
    host::StreamAnswer a = host.play("t1");
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.error, text);
    EXPECT_EQ(a.url, std::nullopt);
  }
  // No report for an empty id; one would have been started before this one.
  ASSERT_TRUE(service.waitFor(kApi + "/vdj/played", 3 + std::size(cases)));
  service.api("/vdj/resolve", 200, R"({"url":"https://cdn/x"})");
  service.clearRequests();
  EXPECT_EQ(host.play(nullptr).result, 0);
  host.play("marker");
  ASSERT_TRUE(service.waitFor(kApi + "/vdj/played", 1));
  EXPECT_EQ(sent("/vdj/played"), std::vector<std::string>{"/vdj/played?file=marker&access_token=acc-1"});
}
