// What saved tracks were: the listing fields of every track saved for
// offline play and when it was saved, in "Tornavoz-offline-tracks.json" of
// the support folder (track id -> fields). The cache index stays the record
// of which tracks have a copy; this file only describes them, so that the
// offline folder and the offline search can show them with no network.
//
// Any thread; changes of this process are serialised, the file is replaced
// whole; failures are silent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/state.h"

namespace tvoz {

std::string savedTracksPath();

// Remembers what the listing said about `id` (its fields and extension),
// saved now at `path`; false when the file could not be written. A track
// never listed (empty `fields.id`) is described by its file name.
bool rememberSaved(const std::string &id, const TrackEntry &fields, const std::string &ext,
                   const std::string &path);
void forgetSaved(const std::string &id);

struct SavedTrack {
  TrackEntry track;
  std::string ext;
  std::string path;
  int64_t savedAt = 0;  // milliseconds since 1970; 0 when unknown
};

// Every track of the cache index whose copy exists, newest save first, as
// remembered; one without a description has its file name, less the
// extension, as its title.
std::vector<SavedTrack> savedTracks();

// How many saved copies exist, from one read of the index.
size_t savedCount();

// Removes every saved copy, then writes the index and the descriptions once
// each, empty; how many copies there were. The caller stops the saves first.
size_t removeAllSaved();

}  // namespace tvoz
