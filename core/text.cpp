#include "core/text.h"

namespace tvoz {

std::string foldForSearch(const std::string &text) {
  // Two-byte UTF-8 forms of accented letters (U+00C0 to U+00FF), each with
  // the plain letter it folds to; 0 for those that are not letters.
  static const char kLatin1[] = "aaaaaaaceeeeiiiidnooooo0ouuuuyts"   // U+00C0..U+00DF
                                "aaaaaaaceeeeiiiidnooooo0ouuuuyty";  // U+00E0..U+00FF
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xC3 && i + 1 < text.size()) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0xBF && kLatin1[next - 0x80] != '0') {
        out += kLatin1[next - 0x80];
        ++i;
        continue;
      }
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
  }
  return out;
}

}  // namespace tvoz
