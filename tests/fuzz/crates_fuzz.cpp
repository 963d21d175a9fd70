// The playlist answer as the track menu reads it.
#include "actions/track_menu.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const tvoz::Crates crates = tvoz::readCrates(tvoz_fuzz::text(data, size));
  // The menu takes the id of every named playlist by its index.
  check(crates.ids.size() >= crates.names.size() && crates.ids.size() <= crates.names.size() + 1,
        "playlist ids and names out of step");
  return 0;
}
