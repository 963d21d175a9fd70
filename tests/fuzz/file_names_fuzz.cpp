// A track's display name and extension as the offline download turns them
// into a file name inside the offline folder.
#include <string>

#include "core/json_fields.h"
#include "offline/download.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

namespace {

// The offline index records the path as JSON, which carries UTF-8 only.
bool indexable(const std::string &text) { return tvoz::dumpCompact(tvoz::json(text)).has_value(); }

void checkPart(const std::string &in, const std::string &out) {
  check(out.size() <= 120, "longer than 120 bytes");
  check(out.find_first_of("/\\") == std::string::npos, "holds a path separator");
  for (unsigned char c : out) check(c >= 0x20, "holds a control byte");
  check(out.empty() || out.front() != ' ', "starts with a blank");
  check(out != "." && out != "..", "names the folder or its parent");
  check(!indexable(in) || indexable(out), "UTF-8 in, not UTF-8 out");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = tvoz_fuzz::text(data, size);
  const std::string name = tvoz::safeFileName(in);
  check(!name.empty(), "empty file name");
  checkPart(in, name);
  checkPart(in, tvoz::safeExtension(in));
  return 0;
}
