#include "core/local_files.h"

#include <mutex>

namespace tvoz {

namespace {

std::string configPath() { return supportDir() + "/Tornavoz.config"; }

// Read-modify-write of the configuration is one step for this process, so two
// threads setting different keys cannot lose one of the changes.
std::mutex &configMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string cacheDir() {
  std::string configured = configGet("offline_dir");
  return configured.empty() ? defaultOfflineDir() : configured;
}

json loadConfigJson() {
  auto text = readWholeFile(configPath());
  return text ? parseObjectOrEmpty(*text) : json::object();
}

std::string configGet(const std::string &key) {
  const json config = loadConfigJson();
  auto it = config.find(key);
  if (it == config.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

void configSet(const std::string &key, const std::string &value) {
  std::lock_guard<std::mutex> lock(configMutex());
  json config = loadConfigJson();
  config[key] = value;
  if (auto text = dumpCompact(config)) writeFileAtomic(configPath(), *text, false);
}

void logLine(const std::string &message) {
  appendToFile(supportDir() + "/Tornavoz.log", message + "\n");
}

}  // namespace tvoz
