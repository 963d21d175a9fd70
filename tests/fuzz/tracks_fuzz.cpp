// The track answer (folder listing or search) as the plug-in reads it.
#include <mutex>
#include <string>

#include "catalogue/tracks.h"
#include "core/state.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

namespace {

class Tracks : public IVdjTracksList {
 public:
  HRESULT add(const char *id, const char *title, const char *artist, const char *, const char *,
              const char *, const char *, const char *, const char *, float, float, int, int,
              bool, bool) override {
    check(id != nullptr && *id != '\0', "a track reaches the host without id");
    check(title != nullptr && artist != nullptr, "title or artist is null");
    std::lock_guard<std::mutex> lock(tvoz::g_trackMutex);
    // The track menu and the download look both up by this id.
    check(tvoz::g_trackNames.count(id) == 1 && tvoz::g_trackExt.count(id) == 1,
          "a listed track has no recorded name or extension");
    return S_OK;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  {
    // Each input starts from an empty record, as a fresh process would.
    std::lock_guard<std::mutex> lock(tvoz::g_trackMutex);
    tvoz::g_trackNames.clear();
    tvoz::g_trackExt.clear();
  }
  Tracks list;
  tvoz::listTracksBody(tvoz_fuzz::text(data, size), &list);
  return 0;
}
