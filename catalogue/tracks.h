// Folder listings and search results as host track lists.
#pragma once

#include "plugin/json_fields.h"
#include "plugin/vdj_sdk.h"

namespace tvoz {

// Lists the tracks of a folder and remembers it as the folder opened last.
HRESULT openFolder(const char *folderId, IVdjTracksList *list);
// Lists the tracks matching `text`; the folder opened last stays as it was.
HRESULT searchTracks(const char *text, IVdjTracksList *list);

// Hands each track of a "tracks" value to the host and records its display
// name and extension. Throws json::type_error at the first bad element.
void addTracks(const json &tracks, IVdjTracksList *list);

}  // namespace tvoz
