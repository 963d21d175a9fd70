// The offline cache index as loadCacheIndex reads it, and the rewrites that
// cacheIndexSet and cacheIndexErase make of it.
#include <string>

#include "offline/cache_index.h"
#include "core/json_fields.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz::json;
using tvoz_fuzz::check;

namespace {

// The recorded path as cachedFileFor reads it, before asking the disk.
std::string recorded(const json &index, const std::string &id) {
  auto it = index.find(id);
  if (it == index.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  json index = tvoz::parseObjectOrEmpty(tvoz_fuzz::text(data, size));
  check(index.is_object(), "the index is not an object");
  std::string first;
  for (const auto &member : index.items()) {
    if (first.empty()) first = member.key();
    (void)recorded(index, member.key());
  }

  // cacheIndexSet, then cacheIndexErase of the first member: written whole
  // and read back, the other entries stay as they were.
  const json before = index;
  index["t-fuzz"] = "/offline/t.mp3";
  if (!first.empty() && first != "t-fuzz") index.erase(first);
  auto written = tvoz::dumpCompact(index);
  check(written.has_value(), "a loaded index cannot be written back");
  const json reloaded = tvoz::parseObjectOrEmpty(*written);
  check(recorded(reloaded, "t-fuzz") == "/offline/t.mp3", "the entry set is lost");
  if (!first.empty() && first != "t-fuzz") {
    check(!reloaded.contains(first), "the erased entry comes back");
  }
  for (const auto &member : before.items()) {
    if (member.key() == first || member.key() == "t-fuzz") continue;
    check(recorded(reloaded, member.key()) == recorded(before, member.key()),
          "another entry changes when one is set");
  }
  return 0;
}
