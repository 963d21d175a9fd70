// Folder listings and search results.
//
// Any thread may call these. The listings record each track's display name
// and extension in g_trackNames / g_trackExt and the folder in g_lastFolder,
// under g_trackMutex, which is never held across a request.
#pragma once

#include <string>
#include <vector>

#include "core/json_fields.h"

namespace tvoz {

// One track as the host lists it.
struct TrackEntry {
  std::string id, title, artist, remix, genre, cover;
  float bpm = 0;
  bool video = false;
};

// The tracks of a folder; remembers it as the folder opened last (before the
// request, whatever its outcome). Empty when the request fails.
std::vector<TrackEntry> openFolder(const std::string &folderId);
// The tracks matching `text`; the folder opened last stays as it was.
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
