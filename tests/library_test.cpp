#include <gtest/gtest.h>

#include "actions/library.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

using namespace tvoz_test;

namespace {

// Every library request answered 500: the answers are not examined, so the
// only thing that counts is the request's exact raw query.
class LibraryRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *path : {"/vdj/favorite", "/vdj/crate-add", "/vdj/crate-remove", "/vdj/crate-del"}) {
      service.api(path, 500, json{{"ok", false}});
    }
  }
  std::string lastQuery(const std::string &path) {
    auto sent = service.apiRequests(path);
    return sent.empty() ? "<none>" : sent.back().query;
  }

  FakeService service;
  TempHome home{service.origin()};
};

}  // namespace

TEST_F(LibraryRequests, EscapeUserTextAndListIdsButNotFolderIds) {
  const std::string fileId = "a b&c/é";
  const std::string escapedFile = "a%20b%26c%2F%C3%A9";

  tvoz::favSet(fileId, true);
  EXPECT_EQ(lastQuery("/vdj/favorite"), "file=" + escapedFile + "&action=add");
  tvoz::favSet(fileId, false);
  EXPECT_EQ(lastQuery("/vdj/favorite"), "file=" + escapedFile + "&action=remove");

  tvoz::crateAdd("new", fileId, "Mi playlist & más");
  EXPECT_EQ(lastQuery("/vdj/crate-add"),
            "crate=new&file=" + escapedFile + "&name=Mi%20playlist%20%26%20m%C3%A1s");
  tvoz::crateAdd("-4", "t1", "");
  EXPECT_EQ(lastQuery("/vdj/crate-add"), "crate=-4&file=t1");

  // Ids taken from folder ids go out byte for byte, as the service made them.
  tvoz::crateRemove("7+a%41", fileId);
  EXPECT_EQ(lastQuery("/vdj/crate-remove"), "crate=7+a%41&file=" + escapedFile);
  tvoz::crateDelete("7+a%41");
  EXPECT_EQ(lastQuery("/vdj/crate-del"), "crate=7+a%41");
  tvoz::crateDelete("");
  EXPECT_EQ(lastQuery("/vdj/crate-del"), "crate=");
}
