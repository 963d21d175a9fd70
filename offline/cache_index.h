// The index of tracks kept for offline play: track id -> path of the local
// file, in "Tornavoz-cache-index.json" of the support folder. No copy is kept
// in memory; every call goes to disk.
#pragma once

#include <string>

#include "plugin/json_fields.h"

namespace tvoz {

std::string cacheIndexPath();

// The index as an object; missing or damaged reads as empty.
json loadCacheIndex();

// The recorded path when the file exists and is not empty, else "".
std::string cachedFileFor(const std::string &id);

// Records `path` for `id` and rewrites the index.
void cacheIndexSet(const std::string &id, const std::string &path);

// Writes the whole index (compact, members in byte order, one line, no final
// line break) atomically. False when it could not be written; the old file
// then stays whole.
bool writeCacheIndex(const json &index);

}  // namespace tvoz
