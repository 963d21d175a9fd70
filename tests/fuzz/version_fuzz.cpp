// The version answer as the update check reads it.
#include <string>

#include "plugin/update_check.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto notice = tvoz::updateNoticeFor(tvoz_fuzz::text(data, size));
  if (!notice) return 0;
  check(std::string(tvoz::kPluginVersion) < notice->version,
        "announces a version that is not newer than ours");
  return 0;
}
