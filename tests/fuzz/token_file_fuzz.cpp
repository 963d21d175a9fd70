// The token file as loadTokens reads it at start-up.
#include "service/tokens.h"
#include "core/json_fields.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const tvoz::FileTokens read = tvoz::readTokenFile(tvoz_fuzz::text(data, size));
  check(!read.refresh || read.access, "a refresh token read past a bad access token");
  if (!read.refresh) return 0;
  // Saved again as saveTokens does, the file gives the same tokens back.
  auto saved = tvoz::dumpCompact(tvoz::json{{"access", *read.access}, {"refresh", *read.refresh}});
  check(saved.has_value(), "tokens read from the file cannot be saved");
  const tvoz::FileTokens again = tvoz::readTokenFile(*saved);
  check(again.access == read.access && again.refresh == read.refresh,
        "tokens change when the file is written again");
  return 0;
}
