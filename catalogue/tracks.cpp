#include "catalogue/tracks.h"

namespace tvoz {

// not built yet
HRESULT openFolder(const char *, IVdjTracksList *) { return S_OK; }
HRESULT searchTracks(const char *, IVdjTracksList *) { return S_OK; }
void addTracks(const json &, IVdjTracksList *) {}

}  // namespace tvoz
