// tvoz-host-win: what only Windows can show about Tornavoz.dll. It loads the
// DLL as an MSVC-built host does and calls it only through the slot table of
// msvc_abi.h, against tvoz-host-win-service (service.cpp, on Linux beside
// Wine), and stops at the first wrong answer with exit 1. The plug-in's logic
// is the Linux suite's business; here: the slot layout and 32-bit ULONG,
// Winsock's loopback listener, WinHTTP's transfers, rules and budgets, file
// names Windows keeps for devices, UTF-16 paths and the token's ACL.
//
//   tvoz-host-win --module Tornavoz.dll --silent ORIGIN --dropping ORIGIN
//
// The two origins are the service's ports that never answer and that drop
// every connection.
//
// The configuration in the support folder must point the plug-in at that
// service and name an offline folder. Without a display the plug-in's dialogs
// answer as dismissed, and this program is the web browser: it reads the
// sign-in address from the log.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <aclapi.h>
#include <shlobj.h>
#include <windows.h>
#include <winhttp.h>

#include <nlohmann/json.hpp>

#include "tools/host_win/msvc_abi.h"

namespace hostwin {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::string;

// What an MSVC-built host may leave in the upper half of a ULONG's register.
constexpr uint64_t kGarbage = 0xDEADBEEF00000000ull;
// Every wait's bound: far more than this machine needs for any of them.
constexpr auto kPatience = std::chrono::seconds(120);
// The plug-in abandons a download silent for 30 s and tries again 5 s later;
// less a second for the clocks.
constexpr auto kStallThenRetry = std::chrono::seconds(30 + 5 - 1);

int g_passed = 0;

void check(bool ok, const string &what) {
  if (!ok) {
    std::printf("FAILED: %s\n%d passed, 1 failed\n", what.c_str(), g_passed);
    std::fflush(stdout);
    std::_Exit(1);
  }
  ++g_passed;
}

// Whether the plug-in frees one given block: the DLL's import of msvcrt's
// free() is pointed at a counting wrapper. This tells a deleting destructor
// that frees (flag 1) from one that only destroys (flag 0).
void (*g_free)(void *) = nullptr;
std::atomic<const void *> g_block{nullptr};
std::atomic<int> g_frees{0};

void countingFree(void *block) {  // called by any of the plug-in's threads
  if (block && block == g_block.load()) ++g_frees;
  g_free(block);
}

bool watchFrees(HMODULE module) {
  auto *base = reinterpret_cast<unsigned char *>(module);
  auto *nt = reinterpret_cast<IMAGE_NT_HEADERS64 *>(
      base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
  const DWORD imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports);
       imports && dll->Name; ++dll) {
    if (_stricmp(reinterpret_cast<char *>(base + dll->Name), "msvcrt.dll") != 0) continue;
    auto *names = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + dll->OriginalFirstThunk);
    auto *slots = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
      if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal) ||
          std::strcmp(reinterpret_cast<char *>(byName->Name), "free") != 0)
        continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
        return false;
      g_free = reinterpret_cast<void (*)(void *)>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONGLONG>(&countingFree);
      return VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
    }
  }
  return false;
}

void watchBlock(const void *block) { g_frees = 0, g_block = block; }

// Polls `done` until it holds or the patience runs out; whether it held.
bool waitFor(const std::function<bool()> &done) {
  for (const auto until = Clock::now() + kPatience; !done();) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

std::wstring wide(const string &s) {
  std::wstring out(s.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

// The whole file, opened by its UTF-16 name.
std::optional<string> readFile(const string &path) {
  FILE *f = _wfopen(wide(path).c_str(), L"rb");
  if (!f) return std::nullopt;
  string out;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
  std::fclose(f);
  return out;
}

// Replaces the file whole, as the plug-in writes its own, so that none of its
// threads reads half of it.
bool writeFile(const string &path, const string &text) {
  FILE *f = _wfopen(wide(path + ".new").c_str(), L"wb");
  const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return f && std::fclose(f) == 0 && written &&
         MoveFileExW(wide(path + ".new").c_str(), wide(path).c_str(), MOVEFILE_REPLACE_EXISTING);
}

json readJson(const string &path) {
  json parsed = json::parse(readFile(path).value_or("{}"), nullptr, false);
  return parsed.is_object() ? parsed : json::object();
}

// The current user may open the file and nobody else but the system. Wine
// shows a DACL made from the Unix mode bits, which always adds SYSTEM and
// adds Everyone when others may read, so this holds on Windows and Wine alike.
bool onlyTheUserMayOpen(const string &path) {
  HANDLE token = nullptr;
  unsigned char user[256], system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof user, systemSize = sizeof system;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const bool got = GetTokenInformation(token, TokenUser, user, size, &size);
  CloseHandle(token);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!got || !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize) ||
      GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool userIn = false, othersIn = !dacl;  // no DACL lets everyone in
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void *ace = nullptr;
    if (!GetAce(dacl, i, &ace) ||
        static_cast<ACE_HEADER *>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
      continue;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart;
    const bool isUser = EqualSid(sid, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
    userIn |= isUser;
    othersIn |= !isUser && !EqualSid(sid, system);
  }
  LocalFree(descriptor);
  return userIn && !othersIn;
}

// The web browser on http://127.0.0.1:PORT/... addresses: GET with
// WinHTTP's own redirect following; the body, empty when no answer came.
string browse(const string &url) {
  struct Closer {
    void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
  };
  using Handle = std::unique_ptr<void, Closer>;
  const auto port = static_cast<INTERNET_PORT>(std::atoi(url.c_str() + url.find(':', 5) + 1));
  Handle session(WinHttpOpen(L"tvoz-host-win", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
  Handle connection(WinHttpConnect(session.get(), L"127.0.0.1", port, 0));
  Handle request(WinHttpOpenRequest(connection.get(), L"GET",
                                    wide(url.substr(url.find('/', 7))).c_str(), nullptr, nullptr,
                                    nullptr, 0));
  string body;
  char buffer[16384];
  DWORD got = 0;
  if (WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) &&
      WinHttpReceiveResponse(request.get(), nullptr)) {
    while (WinHttpReadData(request.get(), buffer, sizeof buffer, &got) && got > 0)
      body.append(buffer, got);
  }
  return body;
}

// A host object: a pointer to its one-slot table, then the texts handed in.
struct Host {
  const void *table;
  std::vector<string> got;
};
const OneText kOne = {[](void *self, const char *text) {
  static_cast<Host *>(self)->got.push_back(text ? text : "");
  return HRESULT{0};
}};
const TwoTexts kTwo = {[](void *self, const char *first, const char *second) {
  return kOne.add(self, first), kOne.add(self, second);
}};

void run(const std::wstring &modulePath, const string &silent, const string &dropping) {
  HMODULE module = LoadLibraryW(modulePath.c_str());
  check(module && watchFrees(module), "the DLL loads, its free() from msvcrt.dll watched");
  auto entry = reinterpret_cast<DllGetClassObjectFn>(
      reinterpret_cast<void *>(GetProcAddress(module, "DllGetClassObject")));
  auto create = [&] {
    void *object = nullptr;
    check(entry && entry(&kClsidVdjPlugin8, &kIidVdjPluginBasic8, &object) == 0 && object,
          "DllGetClassObject, undecorated, creates the plug-in");
    return static_cast<PluginObject *>(object);
  };

  // The one destructor slot: flag 0 destroys, flag 1 also frees.
  for (unsigned flags : {0u, 1u}) {
    PluginObject *object = create();
    watchBlock(object);
    check(object->table->DeletingDestructor(object, flags) == object && g_frees == int(flags),
          "the deleting destructor with flag " + std::to_string(flags) + " frees it that often");
  }
  PluginObject *o = create();
  const PluginTable &p = *o->table;
  char documents[MAX_PATH] = "";
  SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, documents);
  const string support = string(documents) + "\\VirtualDJ\\";
  const string index = support + "Tornavoz-cache-index.json";
  auto log = [&] { return readFile(support + "Tornavoz.log").value_or(""); };
  // The log's line that begins with `prefix`, once written after `from` bytes.
  auto awaitLine = [&](size_t from, const string &prefix) {
    string line;
    waitFor([&] {
      const string text = log();
      const size_t at = text.find(prefix, std::min(from, text.size()));
      if (at != string::npos) line = text.substr(at, text.find('\n', at) - at);
      return !line.empty();
    });
    check(!line.empty(), "the log says \"" + prefix + "...\"");
    return line;
  };
  auto folder = [&](const string &id) {
    Host tracks{&kOne, {}};
    check(p.GetFolder(o, id.c_str(), &tracks) == 0, "GetFolder(" + id + ")");
    return tracks.got;
  };
  // Chooses `label` in a track's or a folder's menu by its index, which
  // crosses with garbage in the upper half of its register.
  auto choose = [&](const string &id, const string &label, bool ofFolder) {
    Host menu{&kOne, {}};
    (ofFolder ? p.GetFolderContextMenu : p.GetContextMenu)(o, id.c_str(), &menu);
    size_t i = 0;
    while (i < menu.got.size() && menu.got[i] != label) ++i;
    check(i < menu.got.size() && (ofFolder ? p.OnFolderContextMenu : p.OnContextMenu)(
                                     o, id.c_str(), kGarbage | i) == 0,
          "the menu of " + id + " offers \"" + label + "\", which answers 0");
  };
  check(p.OnLoad(o) == 0 && p.IsLogged(o) == 1, "OnLoad answers 0; IsLogged 1 while signed out");

  // Sign-in: the browser is sent back to the plug-in's Winsock listener.
  const size_t from = log().size();
  check(p.OnLogin(o) == 0, "OnLogin answers 0");
  const string line = awaitLine(from, "startLogin puerto=");
  check(browse(line.substr(line.find(" url=") + 5))
                .find("Sesion iniciada. Ya puedes volver a VirtualDJ.") != string::npos,
        "the browser, sent back to the loopback listener, gets the plug-in's page");
  check(waitFor([&] { return p.IsLogged(o) == 0; }),
        "IsLogged answers 0 once the code is exchanged");
  check(!readJson(support + "Tornavoz.tokens").value("access", "").empty() &&
            onlyTheUserMayOpen(support + "Tornavoz.tokens"),
        "the token file's ACL lets in the user alone");

  // One listing and one stream through WinHTTP: the genre's count, then audio.
  Host folders{&kTwo, {}};
  check(p.GetFolderList(o, &folders) == 0 && folders.got.size() >= 2,
        "GetFolderList lists folders");
  const auto ids = folder(folders.got[0]);
  check(!ids.empty() && folders.got[1].find("(" + std::to_string(ids.size()) + ")") != string::npos,
        "the listing of " + folders.got[1] + " holds as many tracks as its name says");
  Host url{&kOne, {}}, error{&kOne, {}};
  check(p.GetStreamUrl(o, ids[0].c_str(), &url, &error) == 0 && url.got.size() == 1 &&
            browse(url.got[0]).compare(0, 4, "RIFF") == 0,
        "GetStreamUrl answers an address that plays");

  // A track titled CON saved into a folder whose name needs UTF-16; its
  // download, with the bearer header, is redirected to an origin that
  // refuses that header. The save runs on the worker, so the index is awaited.
  const string offline = readJson(support + "Tornavoz.config").value("offline_dir", "");
  folder("tvoz-con");
  choose("tvoz-con", "Guardar para tocar sin internet", false);
  string saved;
  waitFor([&] { return !(saved = readJson(index).value("tvoz-con", "")).empty(); });
  const size_t base = saved.find_last_of("/\\") + 1;
  check(saved.compare(0, base - 1, offline) == 0 && saved.compare(base, 3, "CON") == 0 &&
            saved.compare(base, string::npos, "CON.wav") != 0 &&
            readFile(saved) == std::optional<string>("RIFF device-name test"),
        "the copy in " + offline + ", fetched with the bearer kept to its origin, is not named " +
            "for a device: " + saved);

  // A download that stalls is abandoned after the stall limit, not before,
  // and finished by a retry that asks for the rest only.
  const auto stalledAt = Clock::now();
  choose("tvoz-stall", "Guardar carpeta sin conexion", true);

  check(p.OnOAuth(o, nullptr, kGarbage, nullptr, "relay-code", nullptr) == 0, "OnOAuth answers 0");
  awaitLine(0, "exchangeCode falló: 307 {\"moved\":true}");  // a redirected POST
                                                             // is not followed

  // The 64 MiB ceiling, and the most redirects a request follows: 10.
  const std::pair<string, size_t> limits[] = {
      {"tvoz-big-fits", 1}, {"tvoz-big-over", 0}, {"tvoz-hops-10", 1}, {"tvoz-hops-11", 0}};
  for (const auto &[genre, tracks] : limits)
    check(folder(genre).size() == tracks, genre + " lists " + std::to_string(tracks) + " track(s)");

  check(waitFor([&] { return readJson(index).contains("tvoz-stall"); }) &&
            Clock::now() - stalledAt >= kStallThenRetry,
        "the stalled download is saved by a retry after the stall limit, with If-Range");

  // A venue's network that takes connections and never answers, then one
  // that drops them: the first click costs the silence (8 s) or the
  // connection budget (4 s), not the request's 30 s, and the log says so; the
  // next one answers at once from what is saved, without asking.
  const string config = support + "Tornavoz.config";
  json pointed = readJson(config);
  const std::pair<string, int> deadNetworks[] = {{silent, 8}, {dropping, 4}};
  for (const auto &[origin, budget] : deadNetworks) {
    pointed["service_origin"] = origin;
    check(writeFile(config, pointed.dump()), "the plug-in is pointed at " + origin);
    Host first{&kTwo, {}}, again{&kTwo, {}};
    const size_t from = log().size();
    const auto start = Clock::now();
    p.GetFolderList(o, &first);
    const std::chrono::duration<double> firstTook = Clock::now() - start;
    const string line = awaitLine(from, "servicio inalcanzable: ");
    const auto second = Clock::now();
    p.GetFolderList(o, &again);
    const std::chrono::duration<double> againTook = Clock::now() - second;
    std::printf("%s: first click %.2f s, then %.2f s; \"%s\"\n", origin.c_str(), firstTook.count(),
                againTook.count(), line.c_str());
    check(firstTook.count() < budget + 1 && againTook.count() < 0.5 &&
              line == "servicio inalcanzable: sin respuesta en " + std::to_string(budget) + " s" &&
              again.got == first.got && first.got.size() == 2,
          origin + ": one click's budget, said in the log; then the offline folder at once");
  }

  watchBlock(o);
  check(p.Release(o) == 0 && g_frees == 1, "Release answers 0 and frees the object once");
}

}  // namespace

}  // namespace hostwin

int main(int argc, char **argv) {
  using namespace hostwin;
  if (argc != 7 || string(argv[1]) != "--module" || string(argv[3]) != "--silent" ||
      string(argv[5]) != "--dropping") {
    std::fprintf(stderr, "usage: tvoz-host-win --module DLL --silent ORIGIN --dropping ORIGIN\n");
    return 2;
  }
  run(wide(argv[2]), argv[4], argv[6]);
  std::printf("%d passed, 0 failed\n", g_passed);
  std::fflush(stdout);
  std::_Exit(0);  // the plug-in's detached threads may still be running
}
