#include "core/state.h"

namespace tvoz {

// Nothing process-wide is ever destroyed. The host may quit, and run the exit
// handlers, while a thread of ours is still inside a call; a destroyed
// std::mutex makes its next lock throw on macOS's libc++ ("mutex lock failed:
// Invalid argument"), which kills the host. So every process-wide object of
// the plug-in, here and in any function, is built once and never destroyed,
// always in this one form: `T &name = *new T;` (`static T &name = *new T;`
// for one built on first use). scripts/check-macos compiles the Mac build
// with -Wexit-time-destructors, so no destroyed static gets in.
std::mutex &g_tokenMutex = *new std::mutex;
std::string &g_access = *new std::string;
std::string &g_refresh = *new std::string;

std::mutex &g_trackMutex = *new std::mutex;
std::map<std::string, std::string> &g_trackNames = *new std::map<std::string, std::string>;
std::map<std::string, std::string> &g_trackExt = *new std::map<std::string, std::string>;
std::string &g_lastFolder = *new std::string;
std::map<std::string, TrackEntry> &g_trackFields = *new std::map<std::string, TrackEntry>;

std::mutex &g_menuMutex = *new std::mutex;
std::vector<int32_t> &g_crateIds = *new std::vector<int32_t>;
std::vector<std::string> &g_crateNames = *new std::vector<std::string>;
std::vector<MenuAct> &g_trackActions = *new std::vector<MenuAct>;

}  // namespace tvoz
