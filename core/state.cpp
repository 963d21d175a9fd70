#include "core/state.h"

namespace tvoz {

// Defined in one translation unit so that they are built in this order and
// destroyed in the reverse one.
std::mutex g_tokenMutex;
std::string g_access;
std::string g_refresh;

std::mutex g_trackMutex;
std::map<std::string, std::string> g_trackNames;
std::map<std::string, std::string> g_trackExt;
std::string g_lastFolder;
std::map<std::string, TrackEntry> g_trackFields;

std::mutex g_menuMutex;
std::vector<int32_t> g_crateIds;
std::vector<std::string> g_crateNames;
std::vector<MenuAct> g_trackActions;

}  // namespace tvoz
