#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "core/platform.h"
#include "tests/support/fake_programs.h"
#include "tests/support/temp_home.h"

using namespace tvoz_test;

TEST(Platform, OpenUrlHandsOverTheUrlAsOneArgumentAndRunsNothingElse) {
  TempHome home;
  FakePrograms programs;
  const std::string marker = home.path() + "/ran";
  const std::string urls[] = {
      "https://a.example/x?a=1&b=2",
      "https://a.example/it's",
      "https://a.example/';touch " + marker + ";'",
      "https://a.example/$(touch " + marker + ")`touch " + marker + "`",
      "https://a.example/two words\nand a line | cat > " + marker,
  };
  for (const auto &url : urls) {
    SCOPED_TRACE(url);
    EXPECT_TRUE(tvoz::openUrl(url));
    EXPECT_EQ(programs.calls("xdg-open").back().args, std::vector<std::string>{url});
  }
  EXPECT_FALSE(std::filesystem::exists(marker));

  // The opener would take these for options.
  EXPECT_FALSE(tvoz::openUrl("--help"));
  EXPECT_FALSE(tvoz::openUrl(""));
  EXPECT_EQ(programs.calls("xdg-open").size(), std::size(urls));
}

TEST(Platform, OpenUrlReportsAMissingOpener) {
  FakePrograms programs({/*zenity=*/true, /*xdgOpen=*/false});
  EXPECT_FALSE(tvoz::openUrl("https://a.example/"));
}
