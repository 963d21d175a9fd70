// One body fed to every reader of a service answer, each held to what its
// caller relies on, whatever the service or anyone in between sends.
#include <cassert>
#include <string>

#include "account/signin.h"
#include "actions/track_menu.h"
#include "catalogue/folders.h"
#include "catalogue/stream.h"
#include "catalogue/tracks.h"
#include "core/state.h"
#include "plugin/update_check.h"
#include "service/api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string body(reinterpret_cast<const char *>(data), size);
  const auto whole = [](const std::string &s) { return !s.empty() && s.find('\0') == s.npos; };

  // The host reads texts up to a NUL byte: a cut id names another folder or
  // track, a cut label loses its count.
  for (const tvoz::FolderEntry &f : tvoz::readFolders(body)) {
    assert(whole(f.id) && whole(f.label) && f.label.back() == ')' && "folder cut for the host");
  }
  // The track menu and the download look up what the listing recorded. One
  // thread runs here, so the records are read without their guard.
  tvoz::g_trackNames.clear();
  tvoz::g_trackExt.clear();
  for (const tvoz::TrackEntry &t : tvoz::listTracksBody(body)) {
    assert(whole(t.id) && tvoz::g_trackNames.count(t.id) && tvoz::g_trackExt.count(t.id) &&
           "track cut for the host or not recorded");
  }

  const tvoz::Resolution r = tvoz::readResolveBody(body);
  assert(r.url.empty() != r.error.empty() && "not exactly one of address and reason");

  // The menu takes the id of each named playlist by its index.
  const tvoz::Crates crates = tvoz::readCrates(body);
  assert(crates.ids.size() - crates.names.size() <= 1 && "playlist ids and names out of step");

  const auto notice = tvoz::updateNoticeFor(body);
  assert((!notice || tvoz::kPluginVersion < notice->version) && "announces a version not newer");

  // Both grants answer in one shape: a code grant is stored exactly when a
  // refresh grant would be, with the same tokens; short of that no refresh
  // token is kept, nor an access token from an unusable answer.
  const tvoz::RefreshGrant grant = tvoz::readRefreshGrant(body);
  const auto code = tvoz::readCodeGrant(body);
  using G = tvoz::RefreshGrant;
  assert((code ? grant.outcome == G::kStore && code->access == grant.access &&
                     code->refresh == grant.refresh.value_or("")
               : grant.outcome != G::kStore && !grant.refresh &&
                     (grant.outcome == G::kAccessUnsaved || grant.access.empty())) &&
         "the grants read one answer differently");
  return 0;
}
