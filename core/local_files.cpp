#include "core/local_files.h"

#include <mutex>

namespace tvoz {

namespace {

std::string configPath() { return supportDir() + "/Tornavoz.config"; }

// Read-modify-write of the configuration is one step for this process, so two
// threads setting different keys cannot lose one of the changes.
std::mutex &configMutex() {
  // Never destroyed: a thread may still be writing while the host quits.
  static std::mutex &m = *new std::mutex;
  return m;
}

// The DJ mails the log to support: it must stay small enough to send, and
// keep the latest lines, which tell what just went wrong.
constexpr int64_t kLogLimit = 1 << 20;
constexpr size_t kLogKept = 512 << 10;

// One writer at a time, so that a trim cannot lose a line appended meanwhile;
// never destroyed, like the configuration's.
std::mutex &logMutex() {
  static std::mutex &m = *new std::mutex;
  return m;
}

// The last kLogKept bytes of `text` or fewer, from the start of a line.
std::string lastLines(const std::string &text) {
  if (text.size() <= kLogKept) return text;
  const size_t from = text.find('\n', text.size() - kLogKept - 1);
  return from == std::string::npos ? std::string() : text.substr(from + 1);
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
  const std::string path = supportDir() + "/Tornavoz.log";
  const std::string line = message + "\n";
  std::lock_guard<std::mutex> lock(logMutex());
  // Only a line that would cross the limit pays for reading the file.
  const int64_t size = fileSize(path);
  if (size > 0 && size + static_cast<int64_t>(line.size()) > kLogLimit) {
    if (auto text = readWholeFile(path)) {
      if (writeFileAtomic(path, lastLines(*text) + line, false)) return;
    }
  }
  appendToFile(path, line);
}

}  // namespace tvoz
