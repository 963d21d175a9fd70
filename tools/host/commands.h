// The host simulator's commands: each one drives one host operation (or a
// menu followed by a choice) and prints what the plug-in answered.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/host/plugin_host.h"

namespace host {

// Exit statuses of a command.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // the plug-in answered with a failure
constexpr int kUsage = 2;   // the command or its arguments were wrong

// What a run of commands remembers between them: the track and folder whose
// menus were shown last, so that `choose` and `folder-choose` apply to them.
struct Session {
  std::unique_ptr<PluginHost> host;  // loaded on the first command that needs it
  std::string modulePath;
  std::string menuTrack;
  bool haveMenu = false;
  std::string menuFolder;
  bool haveFolderMenu = false;
};

// Runs one command (`words[0]`, its arguments after it). Results go to
// `out`, errors and usage lines to `err`. Never throws.
int runCommand(Session &session, const std::vector<std::string> &words, std::ostream &out,
               std::ostream &err);

// The list of commands with their arguments, one per line.
std::string commandHelp();

// Splits an input line into words at blanks; double quotes group words.
std::vector<std::string> splitLine(const std::string &line);

}  // namespace host
