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

// What earlier tries of a track got: the start of the file, and what the
// answer that began it said of the file, so that only the rest of that same
// file is ever joined to it.
struct Kept {
  std::unique_ptr<PartFile> part;  // null: nothing kept
  std::string validator;           // a strong ETag or Last-Modified; empty when none came
  int64_t total = -1;              // the file's length; -1 when not told
};

// One try at a track. A try asks for the rest only of what is kept, and adds
// to it only an answer that continues the same file; an answer with the whole
// file replaces it; anything else leaves it as it was. Blocks for the
// transfer, which is abandoned after 30 seconds without a byte or once
// `cancelled` turns true.
struct Fetch {
  enum Outcome {
    Complete,   // `kept` holds the whole file
    Passing,    // may pass: no answer, a cut, a stall, a busy service, a web page, a 416
    Faulty,     // 500, 501, 505-599: a fault of this track, which counts
    Final,      // will not get better: a refusal, a full disk, nothing to play
    Cancelled,
  } outcome = Final;
  int64_t status = 0;       // the last HTTP status; 0 when none came
  bool progressed = false;  // bytes of the file were added to what is kept
  bool webPage = false;     // a web page came where the file should have
};
Fetch fetchTrack(const TrackToSave &track, Kept &kept, const std::atomic<bool> &cancelled);

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
