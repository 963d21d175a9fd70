#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

class TracksTest : public ::testing::Test {
 protected:
  FakeService service;
  TempHome home{service.origin()};
  TestHost host;

  void answer(const json &tracks) { service.api("/vdj/tracks", 200, json{{"tracks", tracks}}); }

  // Every argument of one add call, in the host's order; "null" for a null text.
  static std::string describe(const Track &t) {
    std::ostringstream out;
    for (const Text &text : {t.id, t.title, t.artist, t.remix, t.genre, t.label, t.comment,
                             t.cover, t.streamUrl}) {
      out << text.value_or("null") << '|';
    }
    out << t.length << '|' << t.bpm << '|' << t.key << '|' << t.year << '|' << t.video << '|'
        << t.karaoke;
    return out.str();
  }

  std::vector<std::string> ids(const std::vector<Track> &tracks) {
    std::vector<std::string> out;
    for (const auto &t : tracks) out.push_back(t.id.value_or("<null>"));
    return out;
  }
};

}  // namespace

TEST_F(TracksTest, HandsEveryArgumentInItsPosition) {
  answer(json::array({
      {{"id", "t1"}, {"title", "Luna"}, {"artist", "Ana"}, {"remix", "Extended"},
       {"genre", "Salsa"}, {"cover", "https://img/1.jpg"}, {"bpm", 127.5}, {"video", true},
       {"ext", "wav"}},
      {{"id", "t2"}},
      {{"title", "Sin id"}},  // skipped, the rest still listed
      {{"id", "t3"}, {"title", ""}, {"remix", ""}, {"genre", ""}, {"cover", ""},
       {"video", 2}},
      {{"id", "t4"}, {"video", 0}},
  }));

  TrackRecorder list;
  EXPECT_EQ(host.plugin().GetFolder("salsa", &list), 0);
  std::vector<std::string> calls;
  for (const auto &t : list.tracks) calls.push_back(describe(t));
  // id, title, artist, remix, genre, label, comment, cover, stream URL,
  // length, bpm, key, year, video, karaoke
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "t1|Luna|Ana|Extended|Salsa|null|null|https://img/1.jpg|null|0|127.5|0|0|1|0",
                       "t2|||null|null|null|null|null|null|0|0|0|0|0|0",
                       "t3|||null|null|null|null|null|null|0|0|0|0|1|0",
                       "t4|||null|null|null|null|null|null|0|0|0|0|0|0",
                   }));
}

TEST_F(TracksTest, EscapesFolderIdsAndSearchText) {
  answer(json::array());
  host.open("@fav");
  host.open("@crate:12");
  host.open(nullptr);
  host.open("Salsa & Son");
  host.search("año nuevo");
  host.search(nullptr);

  std::vector<std::string> queries;
  for (const auto &r : service.apiRequests("/vdj/tracks")) queries.push_back(r.query);
  EXPECT_EQ(queries, (std::vector<std::string>{
                         "genero=%40fav",
                         "genero=%40crate%3A12",
                         "genero=",
                         "genero=Salsa%20%26%20Son",
                         "q=a%C3%B1o%20nuevo",
                         "q=",
                     }));
}

TEST_F(TracksTest, ListingEndsAtFirstBadElement) {
  const std::vector<json> bad = {
      {{"id", "bad"}, {"bpm", "127"}},
      {{"id", "bad"}, {"ext", 3}},  // name already recorded, still no entry
      {{"id", "bad"}, {"title", nullptr}},
      {{"id", "bad"}, {"video", "sí"}},
      {{"id", 7}},
      "bad",
  };
  for (const auto &element : bad) {
    SCOPED_TRACE(element.dump());
    answer(json::array({{{"id", "before"}}, element, {{"id", "after"}}}));
    TrackRecorder list;
    EXPECT_EQ(host.plugin().OnSearch("x", &list), 0);
    EXPECT_EQ(ids(list.tracks), std::vector<std::string>{"before"});
  }
}

TEST_F(TracksTest, EmptyListWhenAnswerIsUnusable) {
  const std::vector<std::pair<int, std::string>> answers = {
      {500, R"({"tracks":[{"id":"a"}]})"},
      {200, "no es JSON"},
      {200, R"([{"id":"a"}])"},
      {200, R"({"tracks":"a"})"},
      {200, R"({"otra":[{"id":"a"}]})"},
  };
  for (const auto &[status, body] : answers) {
    SCOPED_TRACE(std::to_string(status) + " " + body);
    service.api("/vdj/tracks", status, body);
    TrackRecorder list;
    EXPECT_EQ(host.plugin().GetFolder("salsa", &list), 0);
    EXPECT_TRUE(list.tracks.empty());
  }
}
