// Process-wide state shared between the host's calls and the plug-in's own
// threads. The object the host holds carries none of it, so a second plug-in
// object sees what the first one left.
//
// The host may call from several threads at once and the plug-in runs detached
// threads of its own (play reports, sign-in listener), so every global here
// has a guard. Each is built before the module's first call and never
// destroyed: a thread may still use it while the host quits. Take the guard named beside it for any read or write; never hold
// one guard while waiting for the network.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tvoz {

// Action kinds behind the entries of the track context menu.
enum ActKind : int32_t {
  ActCrateAdd = 0,
  ActCrateNew = 1,
  ActCrateRemove = 2,
  ActOffline = 3,
  ActFavAdd = 4,
  ActFavRemove = 5,
};

struct MenuAct {
  int32_t kind;
  std::string arg;  // playlist id for ActCrateAdd / ActCrateRemove, else empty
};

// One track as a listing gave it to the host.
struct TrackEntry {
  std::string id, title, artist, remix, genre, cover;
  float bpm = 0;
  bool video = false;
};

// Tokens: use the functions of service/tokens.h, which take g_tokenMutex.
extern std::mutex &g_tokenMutex;
extern std::string &g_access;   // empty means signed out
extern std::string &g_refresh;

// What the last listings taught us about tracks; guarded by g_trackMutex.
extern std::mutex &g_trackMutex;
extern std::map<std::string, std::string> &g_trackNames;  // track id -> display name
extern std::map<std::string, std::string> &g_trackExt;    // track id -> extension
extern std::string &g_lastFolder;                          // folder opened last
extern std::map<std::string, TrackEntry> &g_trackFields;   // track id -> what the host was given

// The track menu built last; guarded by g_menuMutex.
extern std::mutex &g_menuMutex;
extern std::vector<int32_t> &g_crateIds;
extern std::vector<std::string> &g_crateNames;
extern std::vector<MenuAct> &g_trackActions;

}  // namespace tvoz
