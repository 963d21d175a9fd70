#include "account/device.h"

#include <cstdio>
#include <mutex>
#include <random>
#include <unistd.h>

#include "plugin/local_files.h"
#include "plugin/platform.h"

namespace tvoz {

namespace {

std::string hexBytes(const unsigned char *bytes, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

std::string randomId() {
  unsigned char bytes[16];
  bool filled = false;
  if (FILE *f = std::fopen("/dev/urandom", "rb")) {
    filled = std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
    std::fclose(f);
  }
  if (!filled) {
    std::random_device rd;  // the system's other entropy source
    for (auto &b : bytes) b = static_cast<unsigned char>(rd());
  }
  return hexBytes(bytes, sizeof bytes);
}

}  // namespace

std::string deviceId() {
  // One maker at a time, so two first grants cannot store two different ids.
  static std::mutex makeMutex;
  std::lock_guard<std::mutex> lock(makeMutex);
  std::string id = configGet("device_id");
  if (!id.empty()) return id;
  id = hostUuid();
  if (id.empty()) id = randomId();
  configSet("device_id", id);
  return id;
}

std::string deviceNameFrom(const char *hostName) {
  if (!hostName) return "Computadora";
  std::string name(hostName);
  auto cut = name.find(".local");
  if (cut != std::string::npos) name.erase(cut);
  return name.empty() ? "Computadora" : name;
}

std::string deviceName() {
  char buffer[256];
  if (::gethostname(buffer, sizeof buffer) != 0) return deviceNameFrom(nullptr);
  buffer[sizeof buffer - 1] = '\0';
  return deviceNameFrom(buffer);
}

}  // namespace tvoz
