// Folder listings and search results.
//
// Any thread may call these. The listings record each track's display name
// and extension in g_trackNames / g_trackExt and the folder in g_lastFolder,
// under g_trackMutex, which is never held across a request.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/json_fields.h"
#include "core/state.h"

namespace tvoz {

// The folder of the tracks saved for offline play, listed without the network.
constexpr const char *kOfflineFolder = "@offline";

// The tracks of a folder; remembers it as the folder opened last (before the
// request, whatever its outcome). Empty when the request fails. The offline
// folder lists every saved track whose copy exists, newest save first.
std::vector<TrackEntry> openFolder(const std::string &folderId);
// The same request without remembering the folder (a folder's own menu);
// nothing when it brought no usable answer.
std::optional<std::vector<TrackEntry>> folderTracks(const std::string &folderId);
// The tracks matching `text`; the folder opened last stays as it was. When
// the service brings no usable answer, the saved tracks whose title or
// artist holds the text, ignoring case and accents, newest save first.
std::vector<TrackEntry> searchTracks(const std::string &text);

// The "tracks" of a listing answer's body, through addTracks. Whatever is
// wrong with the body ends the listing quietly; what came before stays.
std::vector<TrackEntry> listTracksBody(const std::string &body);

// Appends each track of a "tracks" value to `out` and records its display
// name and extension; a track whose id is empty or holds a NUL byte is left
// out. Throws json::type_error at the first bad element; the tracks before
// it stay, and that element keeps whatever it recorded before its bad field.
void addTracks(const json &tracks, std::vector<TrackEntry> &out);

}  // namespace tvoz
