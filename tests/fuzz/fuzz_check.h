// What every fuzz target shares: the input as text, and an invariant check
// that stops the run the way a sanitizer does, so libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tvoz_fuzz {

inline std::string text(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

inline void check(bool holds, const char *what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace tvoz_fuzz
