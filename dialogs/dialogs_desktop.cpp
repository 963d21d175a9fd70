// The dialogs on a Linux desktop, shown by zenity with the texts, buttons
// and answers of the macOS ones. zenity runs as its own process, so any
// thread may show a dialog; one dialog is shown at a time.
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/spawn.h"
#include "dialogs/dialogs.h"

namespace {

constexpr const char *kTitle = "--title=Tornavoz";

// Held for a whole dialog: the result buffers and the DJ's attention are
// shared by every caller.
std::mutex &dialogMutex() {
  static std::mutex &m = *new std::mutex;
  return m;
}

struct Answer {
  bool started = false;  // false: zenity could not be run (not installed)
  bool accepted = false; // the DJ pressed the first button
  std::string text;      // what zenity printed, without its final line feed
};

Answer zenity(std::vector<std::string> args, bool wantText) {
  args.insert(args.begin(), "zenity");
  Answer answer;
  std::string out;
  std::optional<int> status = tvoz::runProgram(args, wantText ? &out : nullptr);
  if (!status) return answer;
  answer.started = true;
  answer.accepted = *status == 0;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  answer.text = std::move(out);
  return answer;
}

std::string orDefault(const char *text, const char *fallback) {
  return text ? text : fallback;
}

// A text answer kept in `result`, or null when there is none.
const char *keep(std::string &result, const Answer &answer) {
  if (answer.accepted) {
    result = answer.text;
  } else {
    result.clear();
  }
  return result.empty() ? nullptr : result.c_str();
}

}  // namespace

void tvoz_alert_mac(const char *text) {
  try {
    std::lock_guard<std::mutex> lock(dialogMutex());
    std::string body = orDefault(text, "");
    if (!zenity({"--info", kTitle, "--no-markup", "--text=" + body}, false).started) {
      std::fprintf(stderr, "Tornavoz: %s\n", body.c_str());
    }
  } catch (...) {
  }
}

bool tvoz_confirm_mac(const char *text) {
  try {
    std::lock_guard<std::mutex> lock(dialogMutex());
    return zenity({"--question", kTitle, "--no-markup", "--text=" + orDefault(text, "¿Confirmar?"),
                   "--ok-label=Borrar", "--cancel-label=Cancelar"},
                  false)
        .accepted;
  } catch (...) {
    return false;
  }
}

const char *tvoz_prompt_text_mac(const char *prompt, const char *initial) {
  static std::string &result = *new std::string;
  try {
    std::lock_guard<std::mutex> lock(dialogMutex());
    return keep(result, zenity({"--entry", kTitle, "--text=" + orDefault(prompt, "Nombre"),
                                "--entry-text=" + orDefault(initial, ""), "--ok-label=Crear",
                                "--cancel-label=Cancelar"},
                               true));
  } catch (...) {
    return nullptr;
  }
}

const char *tvoz_pick_folder_mac() {
  static std::string &result = *new std::string;
  try {
    std::lock_guard<std::mutex> lock(dialogMutex());
    return keep(result, zenity({"--file-selection", "--directory", kTitle}, true));
  } catch (...) {
    return nullptr;
  }
}
