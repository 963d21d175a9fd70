// Fake desktop programs for one test: `zenity` (the dialogs) and `xdg-open`
// (the web browser), small shell scripts in a fresh folder that becomes the
// whole PATH, so no real dialog or browser can ever appear.
//
// Each call is recorded with its arguments, in the order the calls started
// (one sequence for both programs). A program answers with the exit code
// and standard output the test scripted for it (0 and nothing by default).
// The fake browser can also fetch the URL it was given, following
// redirects, the way a browser follows the sign-in page back to the
// plug-in's loopback listener; it does so in the background, so the opener
// returns at once as a real one does.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tvoz_test {

struct ProgramCall {
  std::string program;            // "zenity" or "xdg-open"
  std::vector<std::string> args;  // without the program name
};

class FakePrograms {
 public:
  struct Options {
    bool zenity = true;  // false: no zenity on PATH (a desktop without it)
    bool xdgOpen = true;
  };
  FakePrograms() : FakePrograms(Options{}) {}
  explicit FakePrograms(const Options &options);
  ~FakePrograms();  // removes the folder; PATH is left pointing at it
  FakePrograms(const FakePrograms &) = delete;
  FakePrograms &operator=(const FakePrograms &) = delete;

  // Every later call of `program` exits with `exitCode` after printing `out`.
  void answer(const std::string &program, int exitCode, const std::string &out = "");
  // The fake browser fetches every URL it is given from now on.
  void followLinks();

  std::vector<ProgramCall> calls() const;
  std::vector<ProgramCall> calls(const std::string &program) const;
  // Waits until `count` calls of `program` have been recorded.
  bool waitForCalls(const std::string &program, size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The body the fake browser received in the end, once its fetch is over;
  // nothing when it did not finish in time.
  std::optional<std::string> fetchedPage(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  const std::string &folder() const { return folder_; }

 private:
  std::string folder_;
};

}  // namespace tvoz_test
