#include "core/state.h"

namespace tvoz {

// Never destroyed (see the header): references to objects that live until
// the process ends, whatever runs exit handlers meanwhile.
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
