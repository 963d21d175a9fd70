// The refresh grant's answer as apiGet reads it after a 401.
#include "service/tokens.h"
#include "core/json_fields.h"
#include "service/api.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const tvoz::RefreshGrant read = tvoz::readRefreshGrant(tvoz_fuzz::text(data, size));
  if (read.outcome != tvoz::RefreshGrant::kStore) {
    check(!read.refresh, "a refresh token kept from an answer that is not stored");
    if (read.outcome == tvoz::RefreshGrant::kNothing) {
      check(read.access.empty(), "an access token from an unusable answer");
    }
    return 0;
  }
  // What is stored must survive the token file: saved and loaded again, the
  // same two tokens come back.
  const std::string refresh = read.refresh.value_or("old refresh");
  auto saved = tvoz::dumpCompact(tvoz::json{{"access", read.access}, {"refresh", refresh}});
  check(saved.has_value(), "granted tokens cannot be saved");
  const tvoz::FileTokens loaded = tvoz::readTokenFile(*saved);
  check(loaded.access == read.access && loaded.refresh == refresh,
        "granted tokens change on their way through the token file");
  return 0;
}
