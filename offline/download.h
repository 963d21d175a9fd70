// Fetching a track for offline play and recording the saved copy.
//
// The download streams into a hidden part file of the offline folder and is
// moved into place only when it is complete, under a name no other file has,
// so a failed download never harms a file that was there before and a DJ's
// own file in the offline folder is never replaced. Only the save queue's
// worker saves (offline/save_queue.h); any thread may remove a copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/state.h"

namespace tvoz {

// What a save needs to know about a track, taken when it is queued: by the
// time it downloads, the listing may be gone (another folder opened, the host
// restarted).
struct TrackToSave {
  std::string id;
  std::string name;   // display name; the id for a track never listed
  std::string ext;    // "mp3" for a track never listed
  TrackEntry fields;  // what the host was given; an empty id when never listed
};
// From the latest listings, under one hold of g_trackMutex.
std::vector<TrackToSave> tracksToSave(const std::vector<std::string> &ids);

// One try at a track. `kept` holds the bytes earlier tries got (or nothing);
// a try asks for the rest only and keeps what it adds there, so that the next
// try goes on from it. Blocks for the transfer, which is abandoned after 30
// seconds without a byte or once `cancelled` turns true.
struct Fetch {
  enum Outcome { Complete, Passing, Final, Cancelled } outcome = Final;
  int64_t status = 0;  // the last HTTP status; 0 when none came
};
Fetch fetchTrack(const TrackToSave &track, std::unique_ptr<PartFile> &kept,
                 const std::atomic<bool> &cancelled);

// Puts the complete file of `part` in place as the track's copy and records
// it, description first, then the index: true, or false with the new file
// removed and the index and descriptions as they were.
bool recordSaved(const TrackToSave &track, PartFile &part);

// Removes the track's saved copy (the file the index records for it, nothing
// else), its index entry and its description.
void removeSavedCopy(const std::string &id);

// The file name made of a display name: reserved characters to "-", control
// characters dropped, leading blanks and trailing dots and blanks trimmed, at
// most 120 bytes (cut before a multi-byte character that would not fit whole),
// "track" when nothing is left.
std::string safeFileName(const std::string &displayName);

// The same rules for an extension, except that an empty result stays empty.
// Never holds a path separator.
std::string safeExtension(const std::string &extension);

}  // namespace tvoz
