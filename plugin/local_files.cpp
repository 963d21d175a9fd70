#include "plugin/local_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tvoz {

namespace {

std::string configPath() { return supportDir() + "/Tornavoz.config"; }
std::string logPath() { return supportDir() + "/Tornavoz.log"; }

// Read-modify-write of the configuration is one step for this process, so two
// threads setting different keys cannot lose one of the changes.
std::mutex &configMutex() {
  static std::mutex m;
  return m;
}

bool writeAll(int fd, const std::string &content) {
  const char *p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string homeDir() {
  const char *home = std::getenv("HOME");
  return home ? std::string(home) : std::string("/tmp");
}

std::string supportDir() { return homeDir() + "/Library/Application Support/VirtualDJ"; }

std::string cacheDir() {
  std::string configured = configGet("offline_dir");
  if (!configured.empty()) return configured;
  return homeDir() + "/Music/Tornavoz";
}

bool fileExists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

std::optional<std::string> readWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return buffer.str();
}

bool writeFileAtomic(const std::string &path, const std::string &content, mode_t mode) {
  std::string tmpl = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmpl.c_str());
  return false;
}

json loadConfigJson() {
  auto text = readWholeFile(configPath());
  if (!text) return json::object();
  return parseObjectOrEmpty(*text);
}

std::string configGet(const std::string &key) { return configValue(loadConfigJson(), key); }

std::string configValue(const json &config, const std::string &key) {
  auto it = config.find(key);
  if (it == config.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

void configSet(const std::string &key, const std::string &value) {
  std::lock_guard<std::mutex> lock(configMutex());
  json config = loadConfigJson();
  config[key] = value;
  if (auto text = dumpCompact(config)) writeFileAtomic(configPath(), *text, 0644);
}

void logLine(const std::string &message) {
  // One write() of the whole line on an O_APPEND descriptor: lines from
  // several threads never interleave.
  int fd = ::open(logPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, message + "\n");
  ::close(fd);
}

}  // namespace tvoz
