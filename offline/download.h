// Saving a track for offline play, and removing the saved copy.
//
// The download streams into a temporary file in the offline folder and is
// renamed into place only when it is complete, so a failed download never
// harms a file that was there before. Blocking (up to the 120-second transfer
// limit); any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tvoz {

// Removes the local copy and its index entry when the track has a usable one
// (0). Otherwise downloads the track into the offline folder as
// "<safe name>.<safe extension>" (" (2)", " (3)", ... before the extension
// when that path is recorded for another track) and records it: 0, or 1 with
// the log line "descarga offline falló: http <code>" when it failed.
int offlineToggle(const std::string &id);

// Saves `id` as the single save does (0, or 1 after logging the failure).
// On the host's thread (`inBackground` false) the transfer has 120 seconds
// and a save of the same track already under way makes it return 0 at once;
// in the background it waits for that other save, skips a track saved
// meanwhile, and is abandoned only when no byte arrives for 30 seconds.
int saveTrack(const std::string &id, bool inBackground);

// The file name made of a display name: reserved characters to "-", control
// characters dropped, leading blanks and trailing dots and blanks trimmed, at
// most 120 bytes (cut before a multi-byte character that would not fit whole),
// "track" when nothing is left.
std::string safeFileName(const std::string &displayName);

// The same rules for an extension, except that an empty result stays empty.
// Never holds a path separator.
std::string safeExtension(const std::string &extension);

}  // namespace tvoz
