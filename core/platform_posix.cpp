#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

#include "core/platform.h"

namespace tvoz {

std::string modulePathOf(const void *address) {
  Dl_info image;
  if (::dladdr(address, &image) == 0 || image.dli_fname == nullptr) return "";
  return image.dli_fname;
}

namespace {
void pinAnchor() {}
}  // namespace

void pinModule() {
  // RTLD_NODELETE on a module that is already loaded marks it never to be
  // unmapped; RTLD_NOLOAD makes sure this loads nothing new. The handle is
  // kept on purpose: it is this module's own reference for the process' life.
  static const bool pinned = [] {
    const std::string self = modulePathOf(reinterpret_cast<const void *>(&pinAnchor));
    return !self.empty() && ::dlopen(self.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
  }();
  (void)pinned;
}

std::string hostName() {
  char buffer[256];
  if (::gethostname(buffer, sizeof buffer) != 0) return "";
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

// Every name that survives the character rules is a file name here.
std::string avoidReservedName(const std::string &name) { return name; }

bool randomBytes(unsigned char *out, size_t size) {
  FILE *f = std::fopen("/dev/urandom", "rb");
  if (!f) return false;
  bool filled = std::fread(out, 1, size, f) == size;
  std::fclose(f);
  return filled;
}

}  // namespace tvoz
