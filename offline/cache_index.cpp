#include "offline/cache_index.h"

#include <mutex>

#include "core/local_files.h"

namespace tvoz {

namespace {

// Serialises the changes of this process; see the header.
std::mutex &indexMutex() {
  static std::mutex &m = *new std::mutex;
  return m;
}

bool writeLocked(const json &index) {
  auto text = dumpCompact(index);
  return text && writeFileAtomic(cacheIndexPath(), *text, false);
}

}  // namespace

std::string cacheIndexPath() { return supportDir() + "/Tornavoz-cache-index.json"; }

json loadCacheIndex() {
  auto text = readWholeFile(cacheIndexPath());
  if (!text) return json::object();
  return parseObjectOrEmpty(*text);
}

std::string cachedFileFor(const std::string &id) {
  const json index = loadCacheIndex();
  auto it = index.find(id);
  if (it == index.end() || !it->is_string()) return "";
  const std::string &path = it->get_ref<const std::string &>();
  if (path.empty() || !fileExists(path)) return "";
  return path;
}

bool cacheIndexSet(const std::string &id, const std::string &path) {
  std::lock_guard<std::mutex> lock(indexMutex());
  json index = loadCacheIndex();
  index[id] = path;
  return writeLocked(index);
}

void cacheIndexErase(const std::string &id) {
  std::lock_guard<std::mutex> lock(indexMutex());
  json index = loadCacheIndex();
  if (index.erase(id) > 0) writeLocked(index);
}

bool writeCacheIndex(const json &index) {
  std::lock_guard<std::mutex> lock(indexMutex());
  return writeLocked(index);
}

}  // namespace tvoz
