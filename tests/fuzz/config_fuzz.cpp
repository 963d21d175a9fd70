// The configuration file as loadConfigJson and configGet read it, and the
// rewrite configSet makes of it.
#include <string>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz::json;
using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  json config = tvoz::parseObjectOrEmpty(tvoz_fuzz::text(data, size));
  check(config.is_object(), "the configuration is not an object");
  for (const char *key : {"offline_dir", "device_id", "service_origin"}) {
    (void)tvoz::configValue(config, key);
  }

  // configSet: one member set, the file written whole, read back.
  const json before = config;
  config["device_id"] = "d3v1c3";
  auto written = tvoz::dumpCompact(config);
  check(written.has_value(), "a loaded configuration cannot be written back");
  const json reloaded = tvoz::parseObjectOrEmpty(*written);
  check(tvoz::configValue(reloaded, "device_id") == "d3v1c3", "the member set is lost");
  for (const auto &member : before.items()) {
    if (member.key() == "device_id") continue;
    check(tvoz::configValue(reloaded, member.key()) == tvoz::configValue(before, member.key()),
          "another member changes when one is set");
  }
  return 0;
}
