// The index of tracks kept for offline play: track id -> path of the local
// file, in "Tornavoz-cache-index.json" of the support folder. No copy is kept
// in memory; every call goes to disk.
//
// Any thread may call these; failures are silent. Readers need no lock, since the
// file is only ever replaced whole. Changes (cacheIndexSet, cacheIndexErase)
// read, change and rewrite the file as one step for this process, so two
// changes at once cannot lose one another.
#pragma once

#include <string>

#include "core/json_fields.h"

namespace tvoz {

std::string cacheIndexPath();

// The index as an object; missing, empty, damaged or not an object reads as
// empty.
json loadCacheIndex();

// The recorded path when that file exists and is not empty, else "". A
// member that is not a string reads as no copy.
std::string cachedFileFor(const std::string &id);

// Records `path` for `id` and rewrites the index; false when it could not
// be written (the old index then stays).
bool cacheIndexSet(const std::string &id, const std::string &path);

// Removes the member `id`, if any, and rewrites the index.
void cacheIndexErase(const std::string &id);

// Writes the whole index (compact, members in byte order, one line, no final
// line break) atomically. False when it could not be written; the old file
// then stays whole. A read-modify-write should go through cacheIndexSet or
// cacheIndexErase instead, which hold the index's lock across all three steps.
bool writeCacheIndex(const json &index);

}  // namespace tvoz
