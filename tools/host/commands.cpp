#include "tools/host/commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <exception>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "tools/host/table.h"

namespace host {

namespace {

constexpr auto kLoginWait = std::chrono::seconds(20);
constexpr auto kLoginPoll = std::chrono::milliseconds(100);
constexpr auto kAwaitWait = std::chrono::seconds(60);

using Args = std::vector<std::string>;
using Action = std::function<int(Session &, const Args &, std::ostream &, std::ostream &)>;

struct Command {
  const char *name;
  const char *args;  // as shown in usage lines
  size_t argCount;
  bool restIsText;  // all words after the name form one text argument
  const char *help;
  Action run;
};

PluginHost &pluginOf(Session &s) {
  if (!s.host) s.host = std::make_unique<PluginHost>(s.modulePath);
  return *s.host;
}

std::string shown(const Text &t) { return t ? *t : "-"; }

// "128", "127.5": the tempo without a useless ".0".
std::string bpmText(float bpm) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bpm));
  std::string s = buffer;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s;
}

// A menu position: decimal digits only, small enough for any menu.
bool parseIndex(const std::string &text, unsigned long &out) {
  if (text.empty() || text.size() > 9) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  out = value;
  return true;
}

// "-" stands for a null pointer.
const char *orNull(const std::string &arg) { return arg == "-" ? nullptr : arg.c_str(); }

void printTracks(std::ostream &out, const std::vector<TrackRow> &tracks) {
  std::vector<std::vector<std::string>> rows;
  for (const auto &t : tracks) {
    rows.push_back({shown(t.id), shown(t.title), shown(t.artist), shown(t.remix), shown(t.genre),
                    bpmText(t.bpm), t.video ? "video" : ""});
  }
  printTable(out, {"ID", "TITLE", "ARTIST", "REMIX", "GENRE", "BPM", "VIDEO"}, rows);
  out << tracks.size() << (tracks.size() == 1 ? " track" : " tracks") << '\n';
}

void printMenu(std::ostream &out, const std::vector<std::string> &labels) {
  for (size_t i = 0; i < labels.size(); ++i) out << "  " << i << ") " << labels[i] << '\n';
  if (labels.empty()) out << "(empty menu)\n";
}

int reportResult(std::ostream &out, const char *operation, HRESULT result) {
  out << operation << " -> " << result << '\n';
  return result == 0 ? kOk : kFailed;
}

int info(Session &s, const Args &, std::ostream &out, std::ostream &) {
  PluginInfo i = pluginOf(s).info();
  out << "name: " << shown(i.name) << '\n'
      << "author: " << shown(i.author) << '\n'
      << "description: " << shown(i.description) << '\n'
      << "version: " << shown(i.version) << '\n'
      << "icon: " << (i.icon ? *i.icon : "(none)") << '\n';
  return kOk;
}

int status(Session &s, const Args &, std::ostream &out, std::ostream &) {
  out << (pluginOf(s).signedIn() ? "signed in" : "signed out") << '\n';
  return kOk;
}

int login(Session &s, const Args &, std::ostream &out, std::ostream &) {
  PluginHost &p = pluginOf(s);
  if (p.signedIn()) {
    out << "already signed in\n";
    return kOk;
  }
  p.login();
  out << "sign-in page opened in the browser; waiting for the sign-in..." << std::endl;
  // The plug-in does not tell the host when the browser comes back; the host
  // finds out by asking, as the real one does at its next look.
  const auto deadline = std::chrono::steady_clock::now() + kLoginWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (p.signedIn()) {
      out << "signed in\n";
      return kOk;
    }
    std::this_thread::sleep_for(kLoginPoll);
  }
  out << "not signed in after " << kLoginWait.count() << " s\n";
  return kFailed;
}

int logout(Session &s, const Args &, std::ostream &out, std::ostream &) {
  pluginOf(s).logout();
  out << (pluginOf(s).signedIn() ? "still signed in" : "signed out") << '\n';
  return kOk;
}

int oauth(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  HRESULT r = pluginOf(s).oauth(orNull(a[0]), orNull(a[1]), orNull(a[2]), orNull(a[3]));
  int code = reportResult(out, "OnOAuth", r);
  out << (pluginOf(s).signedIn() ? "signed in" : "signed out") << '\n';
  return code;
}

int folders(Session &s, const Args &, std::ostream &out, std::ostream &) {
  auto list = pluginOf(s).folders();
  std::vector<std::vector<std::string>> rows;
  for (const auto &f : list) rows.push_back({f.id, f.label});
  printTable(out, {"ID", "FOLDER"}, rows, 60);
  out << list.size() << (list.size() == 1 ? " folder" : " folders") << '\n';
  return kOk;
}

int open(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  printTracks(out, pluginOf(s).open(a[0].c_str()));
  return kOk;
}

int search(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  printTracks(out, pluginOf(s).search(a[0].c_str()));
  return kOk;
}

int play(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  StreamAnswer answer = pluginOf(s).play(a[0].c_str());
  if (answer.url) out << "url: " << *answer.url << '\n';
  if (answer.error) out << "error: " << *answer.error << '\n';
  return reportResult(out, "GetStreamUrl", answer.result);
}

int menu(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  printMenu(out, pluginOf(s).menu(a[0].c_str()));
  s.menuTrack = a[0];
  s.haveMenu = true;
  return kOk;
}

int choose(Session &s, const Args &a, std::ostream &out, std::ostream &err) {
  unsigned long index = 0;
  if (!parseIndex(a[0], index)) {
    err << "choose: N must be a menu position (0, 1, 2...)\nusage: choose N\n";
    return kUsage;
  }
  if (!s.haveMenu) {
    err << "choose: show a track's menu first\nusage: menu ID, then choose N\n";
    return kUsage;
  }
  return reportResult(out, "OnContextMenu", pluginOf(s).choose(s.menuTrack.c_str(), index));
}

int folderMenu(Session &s, const Args &a, std::ostream &out, std::ostream &) {
  printMenu(out, pluginOf(s).folderMenu(a[0].c_str()));
  s.menuFolder = a[0];
  s.haveFolderMenu = true;
  return kOk;
}

int folderChoose(Session &s, const Args &a, std::ostream &out, std::ostream &err) {
  unsigned long index = 0;
  if (!parseIndex(a[0], index)) {
    err << "folder-choose: N must be a menu position (0, 1...)\nusage: folder-choose N\n";
    return kUsage;
  }
  if (!s.haveFolderMenu) {
    err << "folder-choose: show a folder's menu first\n"
           "usage: folder-menu ID, then folder-choose N\n";
    return kUsage;
  }
  return reportResult(out, "OnFolderContextMenu",
                      pluginOf(s).folderChoose(s.menuFolder.c_str(), index));
}

// The plug-in works on in the background (a folder saved for offline play)
// only while the host process lives; this keeps it alive until the log says
// the work is done.
// Polls the support folder's file `name` until `found` says yes, or gives
// up after kAwaitWait.
bool awaitFile(const char *name, const std::function<bool(std::istream &)> &found) {
  const char *home = std::getenv("HOME");
  const std::string path = std::string(home ? home : "/tmp") + "/Library/Application Support/VirtualDJ/" + name;
  const auto deadline = std::chrono::steady_clock::now() + kAwaitWait;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(path);
    if (found(in)) return true;
    std::this_thread::sleep_for(kLoginPoll);
  }
  return false;
}

int awaitLog(Session &, const Args &a, std::ostream &out, std::ostream &) {
  if (awaitFile("Tornavoz.log", [&](std::istream &in) {
        for (std::string line; std::getline(in, line);) {
          if (line == a[0]) return true;
        }
        return false;
      })) {
    out << "log: " << a[0] << '\n';
    return kOk;
  }
  out << "not in the log after " << kAwaitWait.count() << " s: " << a[0] << '\n';
  return kFailed;
}

// A single save runs in the background too; the index records it when done.
int awaitSaved(Session &, const Args &a, std::ostream &out, std::ostream &) {
  const std::string member = "\"" + a[0] + "\":";
  if (awaitFile("Tornavoz-cache-index.json", [&](std::istream &in) {
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find(member) != std::string::npos;
      })) {
    out << "saved: " << a[0] << '\n';
    return kOk;
  }
  out << "not saved after " << kAwaitWait.count() << " s: " << a[0] << '\n';
  return kFailed;
}

int help(Session &, const Args &, std::ostream &out, std::ostream &) {
  out << commandHelp();
  return kOk;
}

const std::vector<Command> &commands() {
  static const std::vector<Command> table = {
      {"info", "", 0, false, "the plug-in's name, author, description and icon", info},
      {"status", "", 0, false, "whether the plug-in is signed in", status},
      {"login", "", 0, false, "sign in through the browser (waits up to 20 s)", login},
      {"logout", "", 0, false, "sign out", logout},
      {"folders", "", 0, false, "the folder list", folders},
      {"open", "ID", 1, false, "the tracks of a folder", open},
      {"search", "TEXT", 1, true, "search the catalogue", search},
      {"play", "ID", 1, false, "the address the host's deck would play", play},
      {"menu", "ID", 1, false, "a track's context menu", menu},
      {"choose", "N", 1, false, "run entry N of the track menu shown last", choose},
      {"folder-menu", "ID", 1, false, "a folder's context menu", folderMenu},
      {"folder-choose", "N", 1, false, "run entry N of the folder menu shown last", folderChoose},
      {"oauth", "ACCESS REFRESH CODE ERROR", 4, false,
       "hand the plug-in the host's own OAuth result (\"-\" for none)", oauth},
      {"await-log", "LINE", 1, true, "wait (up to 60 s) until the plug-in's log holds LINE", awaitLog},
      {"await-saved", "ID", 1, false, "wait (up to 60 s) until track ID is saved for offline play",
       awaitSaved},
      {"help", "", 0, false, "this list", help},
  };
  return table;
}

std::string usageOf(const Command &c) {
  return std::string("usage: ") + c.name + (*c.args ? " " : "") + c.args;
}

}  // namespace

std::string commandHelp() {
  std::vector<std::vector<std::string>> rows;
  for (const auto &c : commands()) {
    rows.push_back({std::string(c.name) + (*c.args ? " " : "") + c.args, c.help});
  }
  std::ostringstream text;
  text << "commands (separate several with \";;\" on the command line):\n";
  printTable(text, {"", ""}, rows, 80);
  return text.str();
}

std::vector<std::string> splitLine(const std::string &line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

int runCommand(Session &session, const std::vector<std::string> &words, std::ostream &out,
               std::ostream &err) {
  if (words.empty()) return kOk;
  const Command *command = nullptr;
  for (const auto &c : commands()) {
    if (words[0] == c.name) command = &c;
  }
  if (!command) {
    err << "unknown command \"" << words[0] << "\"\nusage: COMMAND [ARGS...]; try \"help\"\n";
    return kUsage;
  }
  Args args(words.begin() + 1, words.end());
  if (command->restIsText && !args.empty()) {
    std::string joined = args[0];
    for (size_t i = 1; i < args.size(); ++i) joined += " " + args[i];
    args = {joined};
  }
  if (args.size() != command->argCount) {
    err << words[0] << ": wrong number of arguments\n" << usageOf(*command) << '\n';
    return kUsage;
  }
  try {
    return command->run(session, args, out, err);
  } catch (const std::exception &e) {
    err << words[0] << ": " << e.what() << '\n';
  } catch (...) {
    err << words[0] << ": unexpected failure\n";
  }
  return kFailed;
}

}  // namespace host
