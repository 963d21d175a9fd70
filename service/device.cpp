#include "service/device.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "core/local_files.h"
#include "core/platform.h"

namespace tvoz {

namespace {

std::string randomId() {
  unsigned char bytes[16];
  if (!randomBytes(bytes, sizeof bytes)) {
    std::random_device rd;  // the system's other entropy source
    for (auto &b : bytes) b = static_cast<unsigned char>(rd());
  }
  std::string out;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

}  // namespace

std::string deviceId() {
  // One maker at a time, so two first grants cannot store two different ids.
  static std::mutex &makeMutex = *new std::mutex;
  std::lock_guard<std::mutex> lock(makeMutex);
  std::string id = configGet("device_id");
  if (!id.empty()) return id;
  id = hostUuid();
  if (id.empty()) id = randomId();
  configSet("device_id", id);
  return id;
}

std::string deviceNameFrom(const std::string &hostName) {
  std::string name = hostName;
  auto cut = name.find(".local");
  if (cut != std::string::npos) name.erase(cut);
  return name.empty() ? "Computadora" : name;
}

std::string deviceName() { return deviceNameFrom(hostName()); }

}  // namespace tvoz
