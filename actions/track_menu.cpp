#include "actions/track_menu.h"

#include <string>
#include <utility>
#include <vector>

#include "actions/library.h"
#include "core/json_fields.h"
#include "core/state.h"
#include "offline/cache_index.h"
#include "offline/download.h"
#include "offline/save_queue.h"
#include "service/api.h"

namespace tvoz {

namespace {

constexpr const char *kCratePrefix = "@crate:";
constexpr size_t kCratePrefixLength = 7;

Crates fetchCrates() {
  HttpResult answer = apiGet("/vdj/crates");
  if (answer.status != 200) return {};
  return readCrates(answer.body);
}

std::string lastFolder() {
  std::lock_guard<std::mutex> lock(g_trackMutex);
  return g_lastFolder;
}

}  // namespace

Crates readCrates(const std::string &body) {
  Crates crates;
  auto root = parseJson(body);
  if (!root) return crates;
  try {
    forEachElement(memberOf(*root, "crates"), [&](const json &crate) {
      crates.ids.push_back(readInt32(crate, "id", 0));
      crates.names.push_back(readString(crate, "name", "(crate)"));
    });
  } catch (const json::exception &) {
  }
  return crates;
}

std::vector<std::string> buildTrackMenu(const std::string &id) {
  // Everything slow first, with no guard held.
  Crates crates = fetchCrates();
  std::string folder = lastFolder();
  bool saved = !cachedFileFor(id).empty();
  bool saving = isSaving(id);

  std::vector<std::pair<std::string, MenuAct>> entries;
  if (folder == "@fav") {
    entries.push_back({"Quitar de Me gusta", {ActFavRemove, ""}});
  } else {
    entries.push_back({"Me gusta", {ActFavAdd, ""}});
  }
  if (folder.compare(0, kCratePrefixLength, kCratePrefix) == 0) {
    entries.push_back({"Quitar de esta playlist", {ActCrateRemove, folder.substr(kCratePrefixLength)}});
  }
  for (size_t i = 0; i < crates.names.size(); ++i) {
    entries.push_back({"Anadir a: " + crates.names[i], {ActCrateAdd, std::to_string(crates.ids[i])}});
  }
  entries.push_back({"Anadir a nueva playlist", {ActCrateNew, ""}});
  entries.push_back({saving  ? "Cancelar guardado sin conexion"
                     : saved ? "Quitar de sin conexion"
                             : "Guardar para tocar sin internet",
                     {ActOffline, ""}});

  {
    // Published whole, so a choice always meets the full list of one menu.
    std::lock_guard<std::mutex> lock(g_menuMutex);
    g_crateIds = std::move(crates.ids);
    g_crateNames = std::move(crates.names);
    g_trackActions.clear();
    for (const auto &entry : entries) g_trackActions.push_back(entry.second);
  }
  std::vector<std::string> labels;
  for (auto &entry : entries) labels.push_back(std::move(entry.first));
  return labels;
}

int runTrackMenu(const std::string &id, uint64_t index) {
  MenuAct act;
  {
    std::lock_guard<std::mutex> lock(g_menuMutex);
    if (index >= g_trackActions.size()) return 0;
    act = g_trackActions[index];
  }
  switch (act.kind) {
    case ActCrateAdd:
      crateAdd(act.arg, id, "");
      break;
    case ActCrateNew:
      crateNew(id);
      break;
    case ActCrateRemove:
      crateRemove(act.arg, id);
      break;
    case ActOffline:
      // Decided again now: the save may have ended since the menu was built.
      if (isSaving(id)) {
        cancelSave(id);
      } else if (!cachedFileFor(id).empty()) {
        removeSavedCopy(id);
      } else {
        queueSave(id);
      }
      break;
    case ActFavAdd:
      favSet(id, true);
      break;
    case ActFavRemove:
      favSet(id, false);
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace tvoz
