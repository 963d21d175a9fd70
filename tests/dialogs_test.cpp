// The four dialogs on a Linux desktop, through the recorded zenity: texts the
// service sent shown as they are (never through a shell), the DJ's answers,
// and the result buffers. The menus' scenarios check each dialog's texts and buttons.
#include "dialogs/dialogs.h"
#include "tests/support/support.h"

using namespace tvoz_test;

namespace {

std::string text(const char *answer) { return answer ? answer : "<null>"; }

}  // namespace

TEST(Dialogs, ShowTextsAsTheyAreAndAnswerAsTheDjDid) {
  Desktop desktop;
  // A service's message: any shell on the way would split or run it.
  const std::string message = "Se guardó «Día 1» & <b>listo</b> $(touch x)';touch y;'\"`touch z`";
  tvoz_alert_mac(message.c_str());
  EXPECT_EQ(desktop.calls("zenity").back().args,
            (std::vector<std::string>{"--info", "--title=Tornavoz", "--no-markup", "--text=" + message}));
  tvoz_alert_mac(nullptr);

  for (const auto &[exitCode, confirmed] : {std::pair{0, true}, {1, false}, {5, false}}) {
    desktop.answer("zenity", exitCode);
    EXPECT_EQ(tvoz_confirm_mac(nullptr), confirmed) << exitCode;
  }
  desktop.answer("zenity", 0, "  Warm up \n");
  EXPECT_EQ(text(tvoz_prompt_text_mac(nullptr, nullptr)), "  Warm up ") << "as typed, blanks included";
  desktop.answer("zenity", 0, "\n");
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", ""), nullptr) << "an empty entry counts as a cancel";

  desktop.answer("zenity", 0, "/home/dj/Música/sin internet \n");
  const char *picked = tvoz_pick_folder_mac();
  const char *typed = tvoz_prompt_text_mac("Nombre", "");
  EXPECT_EQ(text(picked), "/home/dj/Música/sin internet ") << "each function keeps its own buffer";
  desktop.answer("zenity", 1);
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr);
  EXPECT_STREQ(picked, "") << "a cancel empties the buffer the last answer lived in";
  EXPECT_EQ(text(typed), "/home/dj/Música/sin internet ");
}

TEST(Dialogs, WithoutZenityAnswerAsIfDismissed) {
  Desktop desktop(/*withZenity=*/false);
  tvoz_alert_mac("Hay una version nueva");  // on stderr, for whoever watches it
  EXPECT_FALSE(tvoz_confirm_mac("¿Borrar?"));
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", "Sets"), nullptr);
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr);
}
