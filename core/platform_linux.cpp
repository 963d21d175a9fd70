#include <cctype>
#include <sys/socket.h>
#include <unistd.h>

#include "core/fs.h"
#include "core/platform.h"
#include "core/spawn.h"

namespace tvoz {

std::string hostUuid() {
  // systemd's machine id: 32 hex digits, stable for the life of the install.
  auto text = readWholeFile("/etc/machine-id");
  if (!text) return "";
  std::string hex;
  for (char c : *text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (c != '\n') {
      return "";
    }
  }
  if (hex.size() != 32) return "";
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

bool openUrl(const std::string &url) {
  if (!isWebAddress(url)) return false;
  return runProgram({"xdg-open", url}).has_value();
}

char **processEnvironment() { return environ; }

ssize_t sendNoSignal(int fd, const char *data, size_t size) {
  return ::send(fd, data, size, MSG_NOSIGNAL);
}

}  // namespace tvoz
