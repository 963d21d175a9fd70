#include <unistd.h>
#include <uuid/uuid.h>

#include "plugin/platform.h"

namespace tvoz {

std::string hostUuid() {
  uuid_t uuid;
  struct timespec wait = {0, 0};
  if (gethostuuid(uuid, &wait) != 0) return "";
  uuid_string_t text;
  uuid_unparse_lower(uuid, text);
  return text;
}

bool openUrl(const std::string &) { return false; }

}  // namespace tvoz
