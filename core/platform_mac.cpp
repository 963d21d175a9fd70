#include <crt_externs.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "core/platform.h"
#include "core/spawn.h"

namespace tvoz {

std::string hostUuid() {
  uuid_t uuid;
  struct timespec wait = {0, 0};
  if (gethostuuid(uuid, &wait) != 0) return "";
  uuid_string_t text;
  uuid_unparse_lower(uuid, text);
  return text;
}

bool openUrl(const std::string &url) {
  if (!isWebAddress(url)) return false;
  return runProgram({"/usr/bin/open", url}).has_value();
}

// A bundle cannot use `environ` directly; the loader hands it out here.
char **processEnvironment() { return *_NSGetEnviron(); }

// macOS has no per-call flag; the socket option covers every send on it.
ssize_t sendNoSignal(int fd, const char *data, size_t size) {
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
  return ::send(fd, data, size, 0);
}

}  // namespace tvoz
