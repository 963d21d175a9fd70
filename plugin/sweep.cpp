#include "plugin/sweep.h"

#include <cctype>
#include <cstring>

#include "core/fs.h"
#include "core/local_files.h"
#include "offline/save_queue.h"
#include "core/threads.h"

namespace tvoz {

namespace {

constexpr int64_t kAbandonedAfterSeconds = 10 * 60;

// The six characters mkstemp puts in place of "XXXXXX".
bool randomSuffix(const std::string &name, size_t from) {
  if (name.size() != from + 6) return false;
  for (size_t i = from; i < name.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

void sweep(const std::string &dir, bool inSupport) {
  for (const auto &entry : listDir(dir)) {
    const std::string path = dir + "/" + entry.name;
    // A part file waiting for its save's next try is old but not abandoned.
    if (entry.ageSeconds >= kAbandonedAfterSeconds && isOurTemporary(entry.name, inSupport) &&
        !ownsPartFile(path)) {
      removeFile(path);
    }
  }
}

}  // namespace

bool isOurTemporary(const std::string &name, bool inSupport) {
  if (!inSupport) {
    const size_t prefix = std::strlen(kPartPrefix);
    return name.compare(0, prefix, kPartPrefix) == 0 && randomSuffix(name, prefix);
  }
  // "<one of our files>.tmp-XXXXXX": every file of ours is named Tornavoz...
  const size_t mark = name.rfind(kTempMark);
  return name.compare(0, 8, "Tornavoz") == 0 && mark != std::string::npos &&
         randomSuffix(name, mark + std::strlen(kTempMark));
}

void sweepTemporaries() noexcept {
  try {
    sweep(supportDir(), true);
    sweep(cacheDir(), false);
  } catch (...) {
  }
}

void startSweep() {
  startThread(sweepTemporaries);
}

}  // namespace tvoz
