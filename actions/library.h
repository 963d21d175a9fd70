// Requests that change the user's library on the service, each one GET through
// apiGet (so a refused token is refreshed once). Fire and forget: the answers
// are not examined and nothing is reported. Blocking; any thread.
#pragma once

#include <string>

namespace tvoz {

// "/vdj/favorite?file=<escaped id>&action=add|remove"
void favSet(const std::string &fileId, bool add);
// "/vdj/crate-add?crate=<escaped>&file=<escaped>[&name=<escaped>]"; the crate
// id "new" with a name creates that playlist holding the track.
void crateAdd(const std::string &crateId, const std::string &fileId, const std::string &name);
// Asks the DJ for a name (modal prompt), then creates the playlist holding the
// track. A cancelled or empty answer sends nothing.
void crateNew(const std::string &fileId);
// "/vdj/crate-remove?crate=<as given>&file=<escaped>": the crate id comes from
// a folder id and goes out byte for byte.
void crateRemove(const std::string &crateId, const std::string &fileId);
// "/vdj/crate-del?crate=<as given>"; the caller has asked for confirmation.
void crateDelete(const std::string &crateId);

}  // namespace tvoz
