// The authorisation-code grant's answer as the sign-in reads it.
#include "account/signin.h"
#include "service/tokens.h"
#include "core/json_fields.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto grant = tvoz::readCodeGrant(tvoz_fuzz::text(data, size));
  if (!grant) return 0;
  // What is stored must survive the token file: saved and loaded again, the
  // same two tokens come back.
  auto saved = tvoz::dumpCompact(tvoz::json{{"access", grant->access}, {"refresh", grant->refresh}});
  check(saved.has_value(), "granted tokens cannot be saved");
  const tvoz::FileTokens loaded = tvoz::readTokenFile(*saved);
  check(loaded.access == grant->access && loaded.refresh == grant->refresh,
        "granted tokens change on their way through the token file");
  return 0;
}
