// The resolve answer as GetStreamUrl reads it.
#include "catalogue/stream.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const tvoz::Resolution r = tvoz::readResolveBody(tvoz_fuzz::text(data, size));
  check(r.url.empty() != r.error.empty(), "not exactly one of address and reason");
  return 0;
}
