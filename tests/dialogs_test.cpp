#include <future>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dialogs/dialogs.h"
#include "tests/support/fake_programs.h"

using namespace tvoz_test;
using Args = std::vector<std::string>;

namespace {

std::string text(const char *answer) { return answer ? answer : "<null>"; }

Args lastZenityArgs(const FakePrograms &programs) {
  auto calls = programs.calls("zenity");
  return calls.empty() ? Args{} : calls.back().args;
}

}  // namespace

TEST(Dialogs, ShowTheSameTextsAndButtonsAsOnMacOS) {
  FakePrograms programs;
  tvoz_alert_mac("Se guardó «Día 1» & <b>listo</b>");
  EXPECT_EQ(lastZenityArgs(programs),
            (Args{"--info", "--title=Tornavoz", "--no-markup",
                  "--text=Se guardó «Día 1» & <b>listo</b>"}));

  tvoz_confirm_mac("¿Borrar la lista?");
  EXPECT_EQ(lastZenityArgs(programs),
            (Args{"--question", "--title=Tornavoz", "--no-markup", "--text=¿Borrar la lista?",
                  "--ok-label=Borrar", "--cancel-label=Cancelar"}));

  tvoz_prompt_text_mac("Nombre de la lista", "Sets");
  EXPECT_EQ(lastZenityArgs(programs),
            (Args{"--entry", "--title=Tornavoz", "--text=Nombre de la lista", "--entry-text=Sets",
                  "--ok-label=Crear", "--cancel-label=Cancelar"}));

  tvoz_pick_folder_mac();
  EXPECT_EQ(lastZenityArgs(programs), (Args{"--file-selection", "--directory", "--title=Tornavoz"}));
}

TEST(Dialogs, NullArgumentsShowTheDefaults) {
  FakePrograms programs;
  tvoz_alert_mac(nullptr);
  tvoz_confirm_mac(nullptr);
  tvoz_prompt_text_mac(nullptr, nullptr);
  auto calls = programs.calls("zenity");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args[3], "--text=");
  EXPECT_EQ(calls[1].args[3], "--text=¿Confirmar?");
  EXPECT_EQ(calls[2].args[2], "--text=Nombre");
  EXPECT_EQ(calls[2].args[3], "--entry-text=");
}

TEST(Dialogs, ConfirmIsTrueOnlyWhenBorrarWasChosen) {
  FakePrograms programs;
  programs.answer("zenity", 0);
  EXPECT_TRUE(tvoz_confirm_mac("¿Borrar?"));
  programs.answer("zenity", 1);  // Cancelar, or the window closed
  EXPECT_FALSE(tvoz_confirm_mac("¿Borrar?"));
  programs.answer("zenity", 5);  // zenity's time-out
  EXPECT_FALSE(tvoz_confirm_mac("¿Borrar?"));
}

TEST(Dialogs, PromptAnswersTheTextAsTypedAndNullForCancelOrEmpty) {
  FakePrograms programs;
  programs.answer("zenity", 0, "  Warm up \n");
  EXPECT_EQ(text(tvoz_prompt_text_mac("Nombre", "")), "  Warm up ");

  programs.answer("zenity", 0, "\n");
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", ""), nullptr) << "an empty entry counts as a cancel";

  programs.answer("zenity", 0, "Sets\n");
  const char *first = tvoz_prompt_text_mac("Nombre", "");
  ASSERT_EQ(text(first), "Sets");
  programs.answer("zenity", 1);
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", "Sets"), nullptr);
  EXPECT_STREQ(first, "") << "a cancelled call empties the buffer the last answer lived in";
}

TEST(Dialogs, PickerAnswersThePathExactlyAndNullOnCancel) {
  FakePrograms programs;
  programs.answer("zenity", 0, "/home/dj/Música/sin internet \n");
  const char *first = tvoz_pick_folder_mac();
  EXPECT_EQ(text(first), "/home/dj/Música/sin internet ");
  programs.answer("zenity", 1);
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr);
  EXPECT_STREQ(first, "");
  programs.answer("zenity", 0, "");
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr) << "nothing chosen";
}

TEST(Dialogs, AnswerACallerOnAnotherThread) {
  FakePrograms programs;
  programs.answer("zenity", 0, "Sets\n");
  auto answer = std::async(std::launch::async, [] {
    return std::make_pair(tvoz_confirm_mac(nullptr), text(tvoz_prompt_text_mac("Nombre", "")));
  });
  EXPECT_EQ(answer.get(), std::make_pair(true, std::string("Sets")));
}

TEST(Dialogs, WithoutZenityAnswerAsIfDismissed) {
  FakePrograms programs({/*zenity=*/false, /*xdgOpen=*/true});
  testing::internal::CaptureStderr();
  tvoz_alert_mac("Hay una version nueva");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Hay una version nueva"), std::string::npos) << err;
  EXPECT_FALSE(tvoz_confirm_mac("¿Borrar?"));
  EXPECT_EQ(tvoz_prompt_text_mac("Nombre", "Sets"), nullptr);
  EXPECT_EQ(tvoz_pick_folder_mac(), nullptr);
}
