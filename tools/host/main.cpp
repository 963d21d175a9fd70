// tvoz-host: loads the plug-in like the host does and drives it from the
// command line.
//
//   tvoz-host [--home DIR] [--module PATH] COMMAND [ARGS...] [";;" COMMAND [ARGS...]]...
//   tvoz-host [--home DIR] [--module PATH]        (a prompt; one command per line)
//
// Several commands separated by ";;" run in one process, so that a menu and
// the choice made from it meet the same plug-in state. The first failing
// command ends the run with its status: 1 when the plug-in reported a
// failure, 2 for a wrong command or argument.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tools/host/commands.h"

namespace {

constexpr const char *kUsageLine =
    "usage: tvoz-host [--home DIR] [--module PATH] [COMMAND [ARGS...] [';;' COMMAND ...]]\n";

bool isDirectory(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int runSequence(host::Session &session, const std::vector<std::string> &args) {
  std::vector<std::string> words;
  for (size_t i = 0; i <= args.size(); ++i) {
    if (i < args.size() && args[i] != ";;") {
      words.push_back(args[i]);
      continue;
    }
    if (words.empty()) {
      std::cerr << "empty command\n" << kUsageLine;
      return host::kUsage;
    }
    int status = host::runCommand(session, words, std::cout, std::cerr);
    if (status != host::kOk) return status;
    words.clear();
  }
  return host::kOk;
}

// A prompt on a terminal. Read from a pipe or file, it is a script: the first
// failing command ends it with its status.
int runPrompt(host::Session &session) {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  if (terminal) std::cout << "tvoz-host: type \"help\" for the commands, \"quit\" to leave\n";
  std::string line;
  while (true) {
    if (terminal) std::cout << "tvoz> " << std::flush;
    if (!std::getline(std::cin, line)) break;
    auto words = host::splitLine(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "quit" || words[0] == "exit") break;
    int status = host::runCommand(session, words, std::cout, std::cerr);
    std::cout << std::flush;
    if (status != host::kOk && !terminal) return status;
  }
  return host::kOk;
}

int run(int argc, char **argv) {
  host::Session session;
  session.modulePath = TVOZ_DEFAULT_MODULE;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!rest.empty()) {
      rest.push_back(arg);
    } else if ((arg == "--home" || arg == "--module") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--module") {
        session.modulePath = value;
      } else if (!isDirectory(value)) {
        std::cerr << "--home: " << value << " is not a folder\n" << kUsageLine;
        return host::kUsage;
      } else {
        // Before the plug-in is loaded: it finds its files under HOME.
        ::setenv("HOME", value.c_str(), 1);
      }
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsageLine << host::commandHelp();
      return host::kOk;
    } else if (arg.rfind("--", 0) == 0) {
      std::cerr << "unknown option " << arg << '\n' << kUsageLine;
      return host::kUsage;
    } else {
      rest.push_back(arg);
    }
  }
  return rest.empty() ? runPrompt(session) : runSequence(session, rest);
}

}  // namespace

int main(int argc, char **argv) {
  int status = host::kFailed;
  try {
    status = run(argc, argv);
  } catch (const std::exception &e) {
    std::cerr << "tvoz-host: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "tvoz-host: unexpected failure\n";
  }
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // The plug-in's detached threads may still be inside the module; ending
  // without running static destructors keeps them from meeting torn-down
  // globals.
  std::_Exit(status);
}
