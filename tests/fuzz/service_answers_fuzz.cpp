// One body fed to every reader of a service answer: folders, tracks, resolve,
// playlists, version, refresh and code grants. Each must keep what its
// callers rely on, whatever the service (or someone in between) sends.
#include <mutex>
#include <string>

#include "account/signin.h"
#include "actions/track_menu.h"
#include "catalogue/folders.h"
#include "catalogue/stream.h"
#include "catalogue/tracks.h"
#include "core/state.h"
#include "plugin/update_check.h"
#include "service/api.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string body = tvoz_fuzz::text(data, size);

  // The host takes ids and labels up to a NUL byte.
  for (const tvoz::FolderEntry &folder : tvoz::readFolders(body)) {
    check(!folder.id.empty() && folder.id.find('\0') == std::string::npos, "folder id empty or cut");
    check(folder.label.find('\0') == std::string::npos && folder.label.back() == ')',
          "label is not \"name (count)\" as the host shows it");
  }

  {
    std::lock_guard<std::mutex> lock(tvoz::g_trackMutex);
    tvoz::g_trackNames.clear();
    tvoz::g_trackExt.clear();
  }
  for (const tvoz::TrackEntry &track : tvoz::listTracksBody(body)) {
    check(!track.id.empty() && track.id.find('\0') == std::string::npos, "track id empty or cut");
    // The track menu and the download look both up by this id.
    std::lock_guard<std::mutex> lock(tvoz::g_trackMutex);
    check(tvoz::g_trackNames.count(track.id) == 1 && tvoz::g_trackExt.count(track.id) == 1,
          "a listed track has no recorded name or extension");
  }

  const tvoz::Resolution resolution = tvoz::readResolveBody(body);
  check(resolution.url.empty() != resolution.error.empty(), "not exactly one of address and reason");

  // The menu takes the id of every named playlist by its index.
  const tvoz::Crates crates = tvoz::readCrates(body);
  check(crates.ids.size() >= crates.names.size() && crates.ids.size() <= crates.names.size() + 1,
        "playlist ids and names out of step");

  if (const auto notice = tvoz::updateNoticeFor(body)) {
    check(tvoz::kPluginVersion < notice->version, "announces a version that is not newer than ours");
  }

  // Both grants answer in the same shape, so both readers must agree on it:
  // a code grant is stored exactly when a refresh grant would be, with the
  // same tokens; anything less keeps no refresh token, and an unusable
  // answer no access token either.
  const tvoz::RefreshGrant refresh = tvoz::readRefreshGrant(body);
  const auto code = tvoz::readCodeGrant(body);
  check(code.has_value() == (refresh.outcome == tvoz::RefreshGrant::kStore),
        "the grants disagree on whether to store");
  if (code) {
    check(code->access == refresh.access && code->refresh == refresh.refresh.value_or(""),
          "the grants read different tokens");
  } else {
    check(!refresh.refresh, "a refresh token kept from an answer that is not stored");
    check(refresh.outcome == tvoz::RefreshGrant::kAccessUnsaved || refresh.access.empty(),
          "an access token from an unusable answer");
  }
  return 0;
}
