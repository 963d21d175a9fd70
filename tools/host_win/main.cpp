// tvoz-host-win: the Windows host simulator. It loads Tornavoz.dll as the
// host does (LoadLibraryW, DllGetClassObject) and drives one DJ's session
// against the demo service, calling the plug-in only through the MSVC slot
// table of msvc_abi.h, and checks every answer. It stops at the first wrong
// one, saying what was wrong, and exits non-zero.
//
//   tvoz-host-win --module Tornavoz.dll --origin http://127.0.0.1:PORT --token-ttl SECONDS
//
// The demo service must run at --origin with access tokens living
// --token-ttl seconds, and the configuration in the support folder must
// point the plug-in at it. Without a display the plug-in's dialogs answer as
// dismissed, and the simulator stands in for the web browser: it reads the
// sign-in address from the plug-in's log and fetches it, following the
// redirect back to the plug-in's listener.
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <nlohmann/json.hpp>

#include "tools/host_win/free_watch.h"
#include "tools/host_win/host_objects.h"
#include "tools/host_win/msvc_abi.h"
#include "tools/host_win/relay.h"
#include "tools/host_win/web.h"

namespace hostwin {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// What a host compiled by MSVC may leave in the upper half of the register
// that carries a 32-bit ULONG.
constexpr uint64_t kGarbage = 0xDEADBEEF00000000ull;
constexpr const char *kApi = "/wp-json/tvoz/v1";

int g_passed = 0;

void check(bool ok, const std::string &what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what.c_str());
    std::printf("tvoz-host-win: %d passed, 1 failed\n", g_passed);
    std::fflush(stdout);
    std::_Exit(1);
  }
  ++g_passed;
}

void step(const char *title) {
  std::printf("==> %s\n", title);
  std::fflush(stdout);
}

std::wstring wide(const std::string &s) {
  std::wstring out(s.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

std::string utf8(const std::wstring &s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::string knownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) out = utf8(path);
  CoTaskMemFree(path);
  return out;
}

// The whole file, read by its UTF-16 name; nothing when it cannot be opened.
std::optional<std::string> readFile(const std::string &path) {
  HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(h);
  return out;
}

bool writeFile(const std::string &path, const std::string &content) {
  HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
            written == content.size();
  return CloseHandle(h) && ok;
}

bool exists(const std::string &path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when the file's DACL lets the current user in and nobody else but
// the system itself. The plug-in's DACL names the user alone; Wine keeps no
// DACL of its own but shows one made from the Unix mode bits, which always
// adds SYSTEM, and adds Everyone when others may read: so this is the test
// that holds on both.
bool onlyTheUserMayOpen(const std::string &path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  std::vector<unsigned char> user(256);
  DWORD size = 0;
  bool got =
      GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
  CloseHandle(token);
  if (!got) return false;
  PSID me = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
  unsigned char systemSid[SECURITY_MAX_SID_SIZE];
  DWORD systemSize = sizeof systemSid;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &systemSize)) return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool userIn = false, othersIn = !dacl;  // no DACL at all lets everyone in
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void *ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID sid = reinterpret_cast<PSID>(&allowed->SidStart);
    if (EqualSid(sid, me)) {
      userIn = true;
    } else if (!EqualSid(sid, systemSid)) {
      othersIn = true;
    }
  }
  LocalFree(descriptor);
  return userIn && !othersIn;
}

// Windows' own id of this installation, in lower case; empty when there is none.
std::string machineGuid() {
  wchar_t value[64];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                   RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return "";
  }
  std::string guid = utf8(value);
  for (auto &c : guid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return guid;
}

std::string computerName() {
  wchar_t name[256];
  DWORD size = 256;
  return GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? utf8(name) : "";
}

std::string escape(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Everything the session needs to know about where it runs.
struct Session {
  std::string origin;
  int tokenTtl = 0;
  std::string support, offline;  // the plug-in's folders, found as it finds them
  std::string log() const { return support + "\\Tornavoz.log"; }
  std::string tokens() const { return support + "\\Tornavoz.tokens"; }
  std::string config() const { return support + "\\Tornavoz.config"; }
};

json tokenFile(const Session &s) {
  auto text = readFile(s.tokens());
  json parsed = text ? json::parse(*text, nullptr, false) : json();
  return parsed.is_object() ? parsed : json::object();
}

std::string accessToken(const Session &s) { return tokenFile(s).value("access", ""); }

// A service answer read straight from the demo with the plug-in's token.
json service(const Session &s, const std::string &path) {
  WebAnswer a = webGet(s.origin + kApi + path, accessToken(s));
  check(a.status == 200,
        "the demo service answers " + path + " (status " + std::to_string(a.status) + ")");
  json parsed = json::parse(a.body, nullptr, false);
  check(!parsed.is_discarded(), "the demo service's answer to " + path + " is JSON");
  return parsed;
}

void setServiceOrigin(const Session &s, const std::string &origin) {
  auto text = readFile(s.config());
  json config = text ? json::parse(*text, nullptr, false) : json::object();
  if (!config.is_object()) config = json::object();
  config["service_origin"] = origin;
  check(writeFile(s.config(), config.dump()), "the configuration can be written");
}

// The log's text after `from` bytes, once it holds `marker`; waits up to 15 s.
std::string awaitLog(const Session &s, size_t from, const std::string &marker) {
  const auto until = Clock::now() + std::chrono::seconds(15);
  for (;;) {
    std::string text = readFile(s.log()).value_or("");
    text = from < text.size() ? text.substr(from) : "";
    if (text.find(marker) != std::string::npos || Clock::now() > until) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

size_t logSize(const Session &s) { return readFile(s.log()).value_or("").size(); }

// The plug-in object as the host holds it.
class Plugin {
 public:
  explicit Plugin(PluginObject *object) : o_(object) {}
  PluginObject *object() const { return o_; }
  const PluginTable &slot() const { return *o_->table; }

  std::vector<FolderRow> folders() {
    FolderList list;
    check(slot().GetFolderList(o_, &list) == 0, "GetFolderList answers 0");
    return list.rows;
  }
  std::vector<TrackRow> folder(const std::string &id) {
    TrackList list;
    check(slot().GetFolder(o_, id.c_str(), &list) == 0, "GetFolder(" + id + ") answers 0");
    return list.rows;
  }
  std::vector<std::string> menu(const std::string &id) {
    ContextMenu menu;
    check(slot().GetContextMenu(o_, id.c_str(), &menu) == 0, "GetContextMenu answers 0");
    return menu.labels;
  }
  // Chooses the entry `label` of the track's menu; the index crosses with
  // garbage in the upper half of its register.
  HRESULT choose(const std::string &id, const std::string &label) {
    auto labels = menu(id);
    size_t index = 0;
    while (index < labels.size() && labels[index] != label) ++index;
    check(index < labels.size(), "the menu of " + id + " offers \"" + label + "\"");
    return slot().OnContextMenu(o_, id.c_str(), kGarbage | index);
  }
  bool signedIn() { return slot().IsLogged(o_) == 0; }

 private:
  PluginObject *o_;
};

std::string show(const Text &t) { return t ? "\"" + *t + "\"" : "null"; }

// The host got exactly what the service listed, passed the way the host's
// interface wants it: every text, both floats, both integers, both flags.
void checkTracks(const std::vector<TrackRow> &rows, const json &answer, const std::string &what,
                 bool &sawVideo, bool &sawAudio, bool &sawFraction) {
  const json &tracks = answer.at("tracks");
  check(rows.size() == tracks.size(), what + ": " + std::to_string(tracks.size()) +
                                          " tracks listed, the host got " +
                                          std::to_string(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) {
    const TrackRow &r = rows[i];
    const json &t = tracks[i];
    auto orNull = [&t](const char *key) {
      std::string v = t.value(key, "");
      return v.empty() ? Text() : Text(v);
    };
    const std::string where = what + ", track " + t.value("id", "?");
    check(r.id == Text(t.value("id", "")) && r.title == Text(t.value("title", "")) &&
              r.artist == Text(t.value("artist", "")),
          where + ": id, title and artist (" + show(r.id) + ", " + show(r.title) + ", " +
              show(r.artist) + ")");
    check(r.remix == orNull("remix") && r.genre == orNull("genre") && r.cover == orNull("cover"),
          where + ": remix, genre and cover, null when empty");
    check(!r.label && !r.comment && !r.streamUrl,
          where + ": label, comment and stream address null");
    const float bpm = static_cast<float>(t.value("bpm", 0.0));
    check(r.length == 0.0f && r.bpm == bpm, where + ": length 0 and tempo " + std::to_string(bpm) +
                                                " (got " + std::to_string(r.length) + ", " +
                                                std::to_string(r.bpm) + ")");
    check(r.key == 0 && r.year == 0, where + ": key and year 0");
    const unsigned char video = t.value("video", 0) != 0 ? 1 : 0;
    check(r.video == video && r.karaoke == 0, where + ": video " + std::to_string(video) +
                                                  " and karaoke 0 (got " + std::to_string(r.video) +
                                                  ", " + std::to_string(r.karaoke) + ")");
    (video ? sawVideo : sawAudio) = true;
    if (bpm != std::floor(bpm)) sawFraction = true;
  }
}

const SeenRequest *find(const std::vector<SeenRequest> &seen, const std::string &method,
                        const std::string &prefix) {
  for (const auto &r : seen) {
    if (r.method == method && r.target.compare(0, prefix.size(), prefix) == 0) return &r;
  }
  return nullptr;
}

// A display name that the file-name rules leave as it is, and that holds
// letters beyond ASCII: the saved file's name then proves UTF-16 at the file calls.
bool plainButAccented(const std::string &name) {
  bool accented = false;
  for (unsigned char c : name) {
    if (c >= 0x80)
      accented = true;
    else if (!std::isalnum(c) && c != ' ' && c != '-' && c != '.')
      return false;
  }
  return accented && name.size() <= 120 && name.back() != '.' && name.back() != ' ';
}

int run(const Session &s, const std::wstring &modulePath) {
  step("Loading the DLL and asking for the plug-in object");
  HMODULE module = LoadLibraryW(modulePath.c_str());
  check(module != nullptr,
        "LoadLibraryW loads the DLL (error " + std::to_string(GetLastError()) + ")");
  check(watchFrees(module), "the DLL takes free() from msvcrt.dll, so its frees can be watched");
  auto entry = reinterpret_cast<DllGetClassObjectFn>(
      reinterpret_cast<void *>(GetProcAddress(module, "DllGetClassObject")));
  check(entry != nullptr, "DllGetClassObject is exported undecorated");
  void *untouched = reinterpret_cast<void *>(0x1234);
  Guid other = kClsidVdjPlugin8;
  other.data4[7] ^= 1;
  check(entry(&other, &kIidVdjPluginBasic8, &untouched) == -1 &&
            untouched == reinterpret_cast<void *>(0x1234),
        "another class id is refused with -1 and the pointer left alone");
  other = kIidVdjPluginBasic8;
  other.data1 ^= 1;
  check(entry(&kClsidVdjPlugin8, &other, &untouched) == -1 &&
            untouched == reinterpret_cast<void *>(0x1234),
        "another interface id is refused with -1 and the pointer left alone");
  auto create = [&] {
    void *object = nullptr;
    check(entry(&kClsidVdjPlugin8, &kIidVdjPluginBasic8, &object) == 0 && object,
          "DllGetClassObject creates the plug-in object");
    return static_cast<PluginObject *>(object);
  };
  Plugin p(create());

  step("Slots 0-7: load, information, the base operations, signed out");
  check(p.slot().OnLoad(p.object()) == 0, "OnLoad (slot 0) answers 0");
  PluginInfo info{nullptr, nullptr, nullptr, "host-version", reinterpret_cast<void *>(0x5678), 77};
  check(p.slot().OnGetPluginInfo(p.object(), &info) == 0, "OnGetPluginInfo (slot 1) answers 0");
  check(info.name && std::strcmp(info.name, "Tornavoz") == 0 && info.author &&
            std::strcmp(info.author, "Tornavoz") == 0,
        "the plug-in's name and author are Tornavoz");
  check(info.description &&
            std::strcmp(info.description, "Tu record pool, en streaming dentro de VirtualDJ.") == 0,
        "the plug-in's description");
  check(std::strcmp(info.version, "host-version") == 0 &&
            info.bitmap == reinterpret_cast<void *>(0x5678) && info.flags == 77,
        "the version, the picture (no icon file beside a DLL) and the flags stay as the host set "
        "them");
  check(p.slot().OnParameter(p.object(), 7) == 0, "OnParameter (slot 4) answers 0");
  char buffer[8] = "keep";
  check(p.slot().OnGetParameterString(p.object(), 0, buffer, sizeof buffer) == kNotImplemented &&
            std::strcmp(buffer, "keep") == 0,
        "OnGetParameterString (slot 5) answers not-implemented and writes nothing");
  check(p.slot().OnGetUserInterface(p.object(), nullptr) == kNotImplemented,
        "OnGetUserInterface (slot 6) answers not-implemented");
  check(p.slot().IsLogged(p.object()) == 1, "IsLogged (slot 7) answers 1 while signed out");
  check(p.slot().OnSearchCancel(p.object()) == 0, "OnSearchCancel (slot 12) answers 0");

  step("Slot 3, the one destructor slot, and Release");
  PluginObject *kept = create();
  watchBlock(kept);
  check(kept->table->DeletingDestructor(kept, 0) == kept && freesOfWatchedBlock() == 0,
        "the deleting destructor with flag 0 destroys the object and keeps its memory");
  PluginObject *freed = create();
  watchBlock(freed);
  check(freed->table->DeletingDestructor(freed, 1) == freed && freesOfWatchedBlock() == 1,
        "the deleting destructor with flag 1 frees the object once and returns its address");
  PluginObject *released = create();
  watchBlock(released);
  check(released->table->Release(released) == 0 && freesOfWatchedBlock() == 1,
        "Release (slot 2) answers 0 and frees the object once");
  watchBlock(nullptr);

  step("Sign-in through the browser and the loopback listener");
  size_t from = logSize(s);
  check(p.slot().OnLogin(p.object()) == 0, "OnLogin (slot 8) answers 0");
  std::string logged = awaitLog(s, from, "startLogin puerto=");
  size_t at = logged.find("startLogin puerto=");
  check(at != std::string::npos, "the log tells the listener's port and the sign-in address");
  std::string line = logged.substr(at, logged.find('\n', at) - at);
  const std::string port = line.substr(18, line.find(' ', 18) - 18);
  const std::string url = line.substr(line.find(" url=") + 5);
  check(url == s.origin + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" + port + "/",
        "the sign-in address sends the browser back to the listener's port (" + url + ")");
  WebAnswer page = webGet(url);
  check(page.status == 200 &&
            page.body.find("Sesion iniciada. Ya puedes volver a VirtualDJ.") != std::string::npos,
        "the browser, sent back to the listener, gets the plug-in's page (status " +
            std::to_string(page.status) + ")");
  const auto signInBy = Clock::now() + std::chrono::seconds(20);
  while (!p.signedIn() && Clock::now() < signInBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  check(p.signedIn(), "IsLogged answers 0 once the code has been exchanged");
  check(!accessToken(s).empty() && !tokenFile(s).value("refresh", "").empty(),
        "the token file holds both tokens");
  check(onlyTheUserMayOpen(s.tokens()), "the token file's ACL lets in the current user alone");
  check(!onlyTheUserMayOpen(s.config()), "(while the configuration's lets others read it)");

  step("Folders and every genre's listing, as the service lists them");
  const auto folders = p.folders();
  const json listed = service(s, "/vdj/folders").at("folders");
  check(folders.size() == listed.size(), "the host gets every folder the service lists");
  for (size_t i = 0; i < folders.size(); ++i) {
    const std::string label =
        listed[i].value("name", "") + " (" + std::to_string(listed[i].value("count", 0)) + ")";
    check(folders[i].id == listed[i].value("id", "") && folders[i].name == label,
          "folder " + folders[i].id + " arrives as \"" + label + "\" (got \"" + folders[i].name +
              "\")");
  }
  bool sawVideo = false, sawAudio = false, sawFraction = false;
  std::string genre;
  for (const auto &f : folders) {
    if (f.id[0] == '@') continue;
    if (genre.empty()) genre = f.id;
    checkTracks(p.folder(f.id), service(s, "/vdj/tracks?genero=" + escape(f.id)), f.id, sawVideo,
                sawAudio, sawFraction);
  }
  check(sawVideo && sawAudio && sawFraction,
        "the listings held video and audio tracks and a tempo with a fraction");
  const auto found = [&] {
    TrackList list;
    check(p.slot().OnSearch(p.object(), "corazón", &list) == 0, "OnSearch (slot 11) answers 0");
    return list.rows;
  }();
  check(!found.empty(), "a search finds tracks");
  checkTracks(found, service(s, "/vdj/tracks?q=" + escape("corazón")), "search", sawVideo, sawAudio,
              sawFraction);

  step("Stream addresses");
  const json first = service(s, "/vdj/tracks?genero=" + escape(genre)).at("tracks").at(0);
  const std::string firstId = first.value("id", "");
  {
    HostString address, error;
    check(p.slot().GetStreamUrl(p.object(), firstId.c_str(), &address, &error) == 0,
          "GetStreamUrl (slot 13) answers 0 for a listed track");
    const std::string expected =
        service(s, "/vdj/resolve?file=" + escape(firstId)).value("url", "");
    check(address.value == Text(expected) && error.calls == 0,
          "the deck gets the service's address " + expected + " (got " + show(address.value) + ")");
  }
  {
    HostString address, error;
    check(p.slot().GetStreamUrl(p.object(), "no-such-track", &address, &error) == 1 &&
              address.calls == 0 &&
              error.value == Text("No se pudo abrir la canción (¿sesión vencida?)."),
          "an unknown track answers 1 with the error text");
  }

  step("Through two relays: redirects, headers, connection reuse, answer sizes, time limit");
  // The relays stay until the process ends: their threads may still serve.
  auto *second = new Relay(s.origin);
  auto *relay = new Relay(second->origin());
  check(!relay->origin().empty() && !second->origin().empty(), "the relays listen");
  setServiceOrigin(s, relay->origin());
  // Started first and left to run meanwhile: a GET whose bytes keep coming
  // must still end at the 30-second limit on the whole request.
  double slowSeconds = 0;
  size_t slowRows = 1;
  std::thread slow([&] {
    const auto start = Clock::now();
    TrackList list;
    p.slot().GetFolder(p.object(), "tvoz-slow", &list);
    slowSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    slowRows = list.rows.size();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const std::string token = accessToken(s);
  const auto relayed = p.folders();
  check(relayed.size() == folders.size() && relayed.front().id == folders.front().id,
        "the folder list arrives through two redirects to other origins");

  const TrackRow *pick = nullptr;
  std::string pickExt;
  for (const auto &row : found) {
    const std::string name = *row.artist + " - " + *row.title;
    if (plainButAccented(name)) {
      pick = &row;
      break;
    }
  }
  check(pick != nullptr, "the search found a track whose name has letters beyond ASCII");
  const std::string savedId = *pick->id;
  const std::string savedName = *pick->artist + " - " + *pick->title;
  const json searched = service(s, "/vdj/tracks?q=" + escape("corazón"));
  for (const auto &t : searched.at("tracks")) {
    if (t.value("id", "") == savedId) pickExt = t.value("ext", "");
  }
  check(p.choose(savedId, "Guardar para tocar sin internet") == 0,
        "OnContextMenu (slot 17) saves the track, its index read from the lower half only");
  const std::string savedPath = s.offline + "\\" + savedName + "." + pickExt;
  auto saved = readFile(savedPath);
  check(saved && saved->compare(0, 4, "RIFF") == 0, "the track is saved as \"" + savedPath + "\"");

  // Named like devices, these would be written to CON and LPT9 as they stand.
  check(p.folder("tvoz-devices").size() == 2, "the relay lists two tracks named like devices");
  for (const char *id : {"tvoz-dev-1", "tvoz-dev-2"}) {
    check(p.choose(id, "Guardar para tocar sin internet") == 0,
          std::string("saving ") + id + " answers 0");
  }
  for (const char *name : {"con-.wav", "LPT9-mix.wav"}) {
    check(readFile(s.offline + "\\" + name) == std::optional<std::string>("RIFF device-name test"),
          std::string("a name Windows keeps for a device is saved as ") + name);
  }

  {
    check(p.slot().OnOAuth(p.object(), nullptr, kGarbage, nullptr, "relay-code", nullptr) == 0,
          "OnOAuth (slot 10) with a code answers 0");
    check(awaitLog(s, 0, "exchangeCode falló: 307 {\"moved\":true}")
                  .find("exchangeCode falló: 307 {\"moved\":true}") != std::string::npos,
          "a POST answered with a redirect is not followed: its own status and body are logged");
    check(p.signedIn() && accessToken(s) == token,
          "the failed grant leaves the tokens as they were");
  }

  const auto seen = relay->seen();
  const auto seenNext = second->seen();
  const std::string folderTarget = std::string(kApi) + "/vdj/folders";
  const SeenRequest *get = find(seen, "GET", folderTarget);
  const SeenRequest *getNext = find(seenNext, "GET", folderTarget);
  check(get && get->header("user-agent") == "Tornavoz-VDJ/1.0" &&
            get->header("authorization") == "Bearer " + token &&
            get->target.find("access_token=" + token) != std::string::npos,
        "a GET carries the user agent, the bearer header and the query token");
  check(getNext && getNext->header("user-agent") == "Tornavoz-VDJ/1.0" &&
            !getNext->has("authorization") && getNext->target == get->target,
        "redirected to another origin, it keeps the user agent and the URL but not the bearer "
        "header");
  const std::string downloadTarget = std::string(kApi) + "/download?file=" + escape(savedId);
  const SeenRequest *download = find(seen, "GET", downloadTarget);
  const SeenRequest *downloadNext = find(seenNext, "GET", downloadTarget);
  check(download && !download->has("user-agent") &&
            download->header("authorization") == "Bearer " + token,
        "the download carries the bearer header and no user agent");
  check(downloadNext && !downloadNext->has("authorization"),
        "the redirected download leaves the bearer header behind");
  check(download->connection == get->connection,
        "the download reused the connection of the folder list (one session for the process; "
        "connections " +
            std::to_string(get->connection) + " and " + std::to_string(download->connection) + ")");
  const SeenRequest *post = find(seen, "POST", std::string(kApi) + "/oauth/token");
  const std::string form = "grant_type=authorization_code&code=relay-code&device=" + machineGuid() +
                           "&device_name=" + escape(computerName());
  check(post && post->header("content-type") == "application/x-www-form-urlencoded" &&
            post->header("user-agent") == "Tornavoz-VDJ/1.0" && post->body == form,
        "the grant is a form POST with the user agent, the device being the machine's GUID in "
        "lower case and the computer's name (body " +
            (post ? post->body : "none") + ")");
  check(!find(seenNext, "POST", ""), "the POST was not sent on to the redirect's target");

  check(p.folder("tvoz-big-fits").size() == 1, "an answer of exactly 64 MiB is taken");
  check(p.folder("tvoz-big-over").empty(), "an answer one byte over 64 MiB is refused");
  setServiceOrigin(s, s.origin);

  step("The saved track plays from disk");
  {
    HostString address, error;
    check(p.slot().GetStreamUrl(p.object(), savedId.c_str(), &address, &error) == 0 &&
              address.value && address.value->compare(0, 7, "file://") == 0,
          "GetStreamUrl gives a file:// address for the saved track (got " + show(address.value) +
              ")");
    auto played = readFile(address.value->substr(7));
    check(played && *played == *saved,
          "the address names the saved file: " + address.value->substr(7));
  }

  step("A like and the folder menu, chosen by index");
  std::string liked;
  const json genreTracks = service(s, "/vdj/tracks?genero=" + escape(genre));
  const json favourites = service(s, "/vdj/tracks?genero=%40fav");
  for (const auto &t : genreTracks.at("tracks")) {
    bool favourite = false;
    for (const auto &f : favourites.at("tracks")) {
      if (f.value("id", "") == t.value("id", "")) favourite = true;
    }
    if (!favourite) {
      liked = t.value("id", "");
      break;
    }
  }
  check(!liked.empty() && p.choose(liked, "Me gusta") == 0,
        "\"Me gusta\" on " + liked + " answers 0");
  auto inFavourites = [&] {
    for (const auto &row : p.folder("@fav")) {
      if (row.id == Text(liked)) return true;
    }
    return false;
  };
  check(inFavourites(), "the liked track is in the favourites");
  std::string playlist;
  for (const auto &f : folders) {
    if (f.id.compare(0, 7, "@crate:") == 0) playlist = f.id;
  }
  check(!playlist.empty(), "the service lists a playlist");
  {
    ContextMenu menu;
    check(p.slot().GetFolderContextMenu(p.object(), playlist.c_str(), &menu) == 0 &&
              menu.labels == std::vector<std::string>{"Borrar esta playlist",
                                                      "Elegir carpeta de descargas offline...",
                                                      "Guardar carpeta sin conexion"},
          "GetFolderContextMenu (slot 18) offers the playlist's three entries");
  }
  check(p.slot().OnFolderContextMenu(p.object(), playlist.c_str(), kGarbage | 0) == 0,
        "OnFolderContextMenu (slot 19) answers 0 for \"Borrar esta playlist\"");
  bool stillThere = false;
  for (const auto &f : p.folders()) stillThere = stillThere || f.id == playlist;
  check(stillThere, "without a display the confirmation answers no: the playlist stays");
  check(p.slot().OnFolderContextMenu(p.object(), playlist.c_str(), kGarbage | 1) == 0 &&
            json::parse(readFile(s.config()).value_or("{}"), nullptr, false).count("offline_dir") ==
                0,
        "without a display the folder picker answers nothing: the offline folder stays");

  step("The access token expires; the plug-in renews it");
  const std::string before = accessToken(s);
  std::printf("    (waiting %d s for the access token to expire)\n", s.tokenTtl + 1);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(s.tokenTtl + 1));
  check(inFavourites(), "the favourites still arrive after the token's life");
  check(accessToken(s) != before && !accessToken(s).empty(),
        "the token file holds a new access token");

  slow.join();
  check(slowRows == 0 && slowSeconds >= 29.0 && slowSeconds <= 36.0,
        "a request whose answer trickles on ends after 30 s with nothing (took " +
            std::to_string(slowSeconds) + " s)");

  step("Tokens handed over by the host, sign-out, release");
  const std::string refresh = tokenFile(s).value("refresh", "");
  check(p.slot().OnOAuth(p.object(), "host-access", kGarbage | 3600, nullptr, nullptr, nullptr) ==
                0 &&
            accessToken(s) == "host-access" && tokenFile(s).value("refresh", "") == refresh,
        "OnOAuth with an access token stores it and keeps the refresh token");
  check(p.slot().OnLogout(p.object()) == 0 && !p.signedIn() && !exists(s.tokens()),
        "OnLogout (slot 9) signs out and removes the token file");
  watchBlock(p.object());
  check(p.slot().Release(p.object()) == 0 && freesOfWatchedBlock() == 1,
        "Release frees the session's object");
  return 0;
}

}  // namespace

}  // namespace hostwin

int main(int argc, char **argv) {
  using namespace hostwin;
  Session s;
  std::wstring module;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--module")
      module = wide(value);
    else if (key == "--origin")
      s.origin = value;
    else if (key == "--token-ttl")
      s.tokenTtl = std::atoi(value.c_str());
  }
  if (module.empty() || s.origin.empty() || s.tokenTtl <= 0) {
    std::fprintf(
        stderr,
        "usage: tvoz-host-win --module DLL --origin http://127.0.0.1:PORT --token-ttl SECONDS\n");
    return 2;
  }
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  s.support = knownFolder(FOLDERID_Documents) + "\\VirtualDJ";
  s.offline = knownFolder(FOLDERID_Music) + "\\Tornavoz";
  run(s, module);
  std::printf("tvoz-host-win: %d passed, 0 failed\n", g_passed);
  std::fflush(stdout);
  // The plug-in's detached threads and the relays' may still be running.
  std::_Exit(0);
}
