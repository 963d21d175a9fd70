// A track's display name and extension as the offline download turns them
// into a file name inside the offline folder.
#include <string>

#include "offline/download.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

namespace {

// Strict UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool validUtf8(const std::string &s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    unsigned min;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

void checkPart(const std::string &in, const std::string &out) {
  check(out.size() <= 120, "longer than 120 bytes");
  check(out.find('/') == std::string::npos, "holds a path separator");
  for (unsigned char c : out) check(c >= 0x20, "holds a control byte");
  check(out.empty() || out.front() != ' ', "starts with a blank");
  check(out != "." && out != "..", "names the folder or its parent");
  // The cache index is JSON: a name that is no longer UTF-8 cannot be recorded.
  check(!validUtf8(in) || validUtf8(out), "UTF-8 in, not UTF-8 out");
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
