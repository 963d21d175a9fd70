// Saving a track for offline play, and removing the saved copy.
#pragma once

#include <cstddef>
#include <string>

namespace tvoz {

// Removes the local copy when there is a usable one (0), otherwise downloads
// the track into the offline folder and records it (0, or 1 on failure).
int offlineToggle(const std::string &id);

// The file name made of a display name: reserved characters to "-", control
// characters dropped, leading blanks and trailing dots and blanks trimmed, at
// most 120 bytes, "track" when nothing is left.
std::string safeFileName(const std::string &displayName);

// libcurl write callback into the FILE* behind `stream`.
size_t writeFile(char *data, size_t size, size_t count, void *stream);

}  // namespace tvoz
