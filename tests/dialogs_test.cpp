// The four dialogs on a Linux desktop, through the recorded zenity: the texts
// and buttons of the macOS ones, their defaults, answers and result buffers.
#include <future>

#include "dialogs/dialogs.h"
#include "tests/support/support.h"

using namespace tvoz_test;
using Args = std::vector<std::string>;

namespace {

std::string text(const char *answer) { return answer ? answer : "<null>"; }

}  // namespace

TEST(Dialogs, ShowTheTextsAndButtonsOfTheMacOnesWithTheirDefaults) {
  Desktop desktop;
  tvoz_alert_mac("Se guardó «Día 1» & <b>listo</b>");
  tvoz_alert_mac(nullptr);
  tvoz_confirm_mac(nullptr);
  tvoz_prompt_text_mac(nullptr, nullptr);
  tvoz_pick_folder_mac();
  auto calls = desktop.calls("zenity");
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].args, (Args{"--info", "--title=Tornavoz", "--no-markup",
                                 "--text=Se guardó «Día 1» & <b>listo</b>"}));
  EXPECT_EQ(calls[1].args.back(), "--text=");
  EXPECT_EQ(calls[2].args, (Args{"--question", "--title=Tornavoz", "--no-markup", "--text=¿Confirmar?",
                                 "--ok-label=Borrar", "--cancel-label=Cancelar"}));
  EXPECT_EQ(calls[3].args, (Args{"--entry", "--title=Tornavoz", "--text=Nombre", "--entry-text=",
                                 "--ok-label=Crear", "--cancel-label=Cancelar"}));
  EXPECT_EQ(calls[4].args, (Args{"--file-selection", "--directory", "--title=Tornavoz"}));
}

TEST(Dialogs, AnswerAsTheDjDidFromAnyThread) {
  Desktop desktop;
  for (const auto &[exitCode, confirmed] : {std::pair{0, true}, {1, false}, {5, false}}) {
    desktop.answer("zenity", exitCode);
    EXPECT_EQ(tvoz_confirm_mac("¿Borrar?"), confirmed) << exitCode;
  }
  desktop.answer("zenity", 0, "  Warm up \n");
  EXPECT_EQ(text(tvoz_prompt_text_mac("Nombre", "")), "  Warm up ") << "as typed, blanks included";
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

  desktop.answer("zenity", 0, "Sets\n");
  auto answer = std::async(std::launch::async, [] { return text(tvoz_prompt_text_mac("Nombre", "")); });
  EXPECT_EQ(answer.get(), "Sets");
}

TEST(Dialogs, WithoutZenityAnswerAsIfDismissed) {
  Desktop desktop(/*withZenity=*/false);
  testing::internal::CaptureStderr();
  tvoz_alert_mac("Hay una version nueva");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Hay una version nueva"), std::string::npos);
  EXPECT_FALSE(tvoz_confirm_mac("¿Borrar?"));
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", "Sets"), nullptr);
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr);
}
