// Folder listings and search results as host track lists.
//
// Any thread may call these. The listings record each track's display name
// and extension in g_trackNames / g_trackExt and the folder in g_lastFolder,
// under g_trackMutex, which is never held across a request or a host call.
#pragma once

#include <string>

#include "plugin/json_fields.h"
#include "plugin/vdj_sdk.h"

namespace tvoz {

// Lists the tracks of a folder and remembers it as the folder opened last
// (before the request, whatever its outcome). Always S_OK.
HRESULT openFolder(const char *folderId, IVdjTracksList *list);
// Lists the tracks matching `text`; the folder opened last stays as it was.
// Always S_OK.
HRESULT searchTracks(const char *text, IVdjTracksList *list);

// Hands the "tracks" of a listing answer's body to the host through
// addTracks. Whatever is wrong with the body ends the listing quietly; what
// was already handed over stays.
void listTracksBody(const std::string &body, IVdjTracksList *list);

// Hands each track of a "tracks" value to the host and records its display
// name and extension; a track whose id is empty or holds a NUL byte is left
// out. Throws json::type_error at the first bad element; the
// tracks before it stay listed, and that element keeps whatever it recorded
// before its bad field.
void addTracks(const json &tracks, IVdjTracksList *list);

}  // namespace tvoz
