#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

using Labels = std::vector<std::string>;

constexpr const char *kPickFolder = "Elegir carpeta de descargas offline...";

// The DJ answers the dialogs through the fake zenity.
class FolderMenu : public ::testing::Test {
 protected:
  FolderMenu() { service.api("/vdj/crate-del", 200, json{{"ok", true}}); }
  // The update check that start-up sends off reads the environment, which
  // the fake programs restore when they go: let it get past that first.
  ~FolderMenu() override { service.waitFor(std::string(kApi) + "/vdj/version", 1); }

  Labels deletions() const {
    Labels out;
    for (const auto &r : service.apiRequests("/vdj/crate-del")) out.push_back(r.query);
    return out;
  }

  FakeService service;
  TempHome home{service.origin()};
  FakePrograms programs;
  TestHost host;
};

}  // namespace

TEST_F(FolderMenu, OnlyPlaylistFoldersOfferDeletion) {
  const Labels playlist{"Borrar esta playlist", kPickFolder};
  const Labels other{kPickFolder};
  struct Case {
    const char *id;
    const Labels &labels;
  } cases[] = {{"@crate:12", playlist}, {"@crate:", playlist}, {"@fav", other},
               {"pool", other},         {"x@crate:1", other},  {"@CRATE:1", other},
               {nullptr, other}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.id ? c.id : "(null)");
    EXPECT_EQ(host.folderMenu(c.id), c.labels);
  }
}

TEST_F(FolderMenu, DeletesAPlaylistOnlyAfterConfirmation) {
  programs.answer("zenity", 1);  // Cancelar
  EXPECT_EQ(host.folderChoose("@crate:7+x", 0), 0);
  ASSERT_EQ(programs.calls("zenity").size(), 1u);
  EXPECT_EQ(programs.calls("zenity")[0].args[3], "--text=¿Borrar esta playlist? Esto no se puede deshacer.");
  EXPECT_EQ(deletions(), Labels{});

  programs.answer("zenity", 0);  // Borrar
  EXPECT_EQ(host.folderChoose("@crate:7+x", 0), 0);
  EXPECT_EQ(host.folderChoose("@crate:", 0), 0);
  // The playlist id leaves byte for byte as the folder id holds it.
  EXPECT_EQ(deletions(), (Labels{"crate=7+x", "crate="}));

  // Positions without an entry open nothing.
  EXPECT_EQ(host.folderChoose("@fav", 1), 0);
  EXPECT_EQ(host.folderChoose("@crate:7", 2), 0);
  EXPECT_EQ(programs.calls("zenity").size(), 3u);
}

TEST_F(FolderMenu, PickedOfflineFolderIsStoredCreatedAndLogged) {
  const std::string chosen = home.path() + "/Música sin internet";

  programs.answer("zenity", 1);  // closed without a choice
  EXPECT_EQ(host.folderChoose("pool", 0), 0);
  EXPECT_FALSE(home.config().contains("offline_dir"));

  programs.answer("zenity", 0, chosen + "\n");
  EXPECT_EQ(host.folderChoose("@crate:3", 1), 0);
  EXPECT_EQ(programs.calls("zenity").back().args[0], "--file-selection");
  EXPECT_EQ(home.config()["offline_dir"], chosen);
  EXPECT_TRUE(std::filesystem::is_directory(chosen));
  ASSERT_FALSE(home.logLines().empty());
  EXPECT_EQ(home.logLines().back(), "carpeta offline nueva: " + chosen);
  EXPECT_EQ(deletions(), Labels{});
}
