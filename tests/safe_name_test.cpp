#include <gtest/gtest.h>

#include "offline/download.h"

using tvoz::safeExtension;
using tvoz::safeFileName;

TEST(SafeName, MapsReservedCharactersDropsControlsAndTrims) {
  struct Case {
    const char *name;
    const char *display;
    const char *expected;
  } cases[] = {
      {"reserved", "AC/DC: Back? \"In\" <Black>*|\\", "AC-DC- Back- -In- -Black----"},
      {"controls", "Tab\there\nline\x7f", "Tabhereline\x7f"},
      {"accents stay", "Canción Ñandú", "Canción Ñandú"},
      {"leading blanks", "   Lead", "Lead"},
      {"leading dot kept", ". Hidden", ". Hidden"},
      {"trailing dots and blanks", "End. . ", "End"},
      {"blank inside a trim", "  A  . b .", "A  . b"},
      {"only dots and blanks", " . . ", "track"},
      {"only controls", "\x01\x02\t", "track"},
      {"empty", "", "track"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(safeFileName(c.display), c.expected);
  }
}

TEST(SafeName, CutsAt120BytesWithoutTrimmingAgain) {
  // The cut comes after the trims, so what ends the 120 bytes stays.
  std::string dotted = std::string(118, 'a') + ". " + std::string(80, 'b');
  EXPECT_EQ(safeFileName(dotted), std::string(118, 'a') + ". ");

  // A two-byte character straddling the limit loses its second byte.
  std::string accented = std::string(119, 'a') + "é" + "tail";
  std::string cut = safeFileName(accented);
  ASSERT_EQ(cut.size(), 120u);
  EXPECT_EQ(cut, std::string(119, 'a') + "\xC3");

  EXPECT_EQ(safeFileName(std::string(120, 'x')), std::string(120, 'x'));
}

TEST(SafeName, ExtensionCannotLeaveTheOfflineFolder) {
  EXPECT_EQ(safeExtension("mp3"), "mp3");
  EXPECT_EQ(safeExtension("../../x"), "..-..-x");
  EXPECT_EQ(safeExtension("a\\b/c"), "a-b-c");
  EXPECT_EQ(safeExtension(".."), "");  // a name "x." stays in the folder
  EXPECT_EQ(safeExtension(""), "");
  EXPECT_EQ(safeExtension(std::string(300, 'e')).size(), 120u);
}
