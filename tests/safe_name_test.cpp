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

  // A character straddling the limit goes whole, so the name stays UTF-8.
  for (const std::string character : {"é", "€", "𝄞"}) {
    SCOPED_TRACE(character);
    for (size_t before = 121 - character.size(); before < 120; ++before) {
      EXPECT_EQ(safeFileName(std::string(before, 'a') + character + "tail"), std::string(before, 'a'));
    }
    const std::string fits = std::string(120 - character.size(), 'a') + character;
    EXPECT_EQ(safeFileName(fits + "tail"), fits);
  }

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
