// A track's display name and extension as the offline download turns them
// into a file name inside the offline folder.
#include <cassert>
#include <string>

#include "core/json_fields.h"
#include "offline/download.h"

// The offline index records the path as JSON, which carries UTF-8 only.
static bool indexable(const std::string &text) {
  return tvoz::dumpCompact(tvoz::json(text)).has_value();
}

static void checkPart(const std::string &in, const std::string &out) {
  assert(out.size() <= 120 && "longer than 120 bytes");
  assert(out.find_first_of("/\\") == std::string::npos && "holds a path separator");
  for (unsigned char c : out) assert(c >= 0x20 && "holds a control byte");
  assert((out.empty() || out.front() != ' ') && "starts with a blank");
  assert(out != "." && out != ".." && "names the folder or its parent");
  assert((!indexable(in) || indexable(out)) && "UTF-8 in, not UTF-8 out");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in(reinterpret_cast<const char *>(data), size);
  const std::string name = tvoz::safeFileName(in);
  assert(!name.empty() && "empty file name");
  checkPart(in, name);
  checkPart(in, tvoz::safeExtension(in));
  return 0;
}
