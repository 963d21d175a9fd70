// The one background worker that every save goes through, single or by
// folder, so that the host's call returns at once however long a download
// takes. Tracks are saved one at a time, in the order asked; a transfer cut
// for a passing reason is tried again later from where it stopped while the
// worker goes on with the others, after about 5, 30 and 120 seconds, then
// every 120 (a try that got more of the file starts the waits over). Only a
// track's own faults (500, 501, 505-599) count: the fourth fails it. While
// the service is unreachable the whole queue waits for it. What is still to
// save is kept in "Tornavoz-save-queue.json" of the support folder, written
// by a thread of its own about a second after each change, and taken up
// again at the next load.
//
// Any thread. Nothing here waits for the network or the disk; the
// host-facing calls hold the queue's lock only for bookkeeping.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace tvoz {

std::string saveQueuePath();

// Queues the track for saving (a single save). Its failure is logged as
// "descarga offline falló: http <status>"; nothing else is said.
void queueSave(const std::string &id);

// Queues, as one batch, every track of `ids` that has no usable copy and is
// not queued already, with one read of the index. When the batch is done the
// log says "carpeta sin conexion: X de Y guardadas" (X saved of the Y queued).
void queueFolderSave(const std::vector<std::string> &ids);

// Whether the track is queued, waiting for another try or downloading.
bool isSaving(const std::string &id);

// Takes the track out of the queue, or stops its transfer; no file, part
// file or index entry of it stays.
void cancelSave(const std::string &id);

// Empties the queue and stops the transfer in flight; once it returns,
// nothing more is saved until a new save is asked for. How many tracks were
// waiting or downloading.
size_t cancelAllSaves();

// The progress since nothing was left to save: `total` tracks queued, `ended`
// of them saved, failed or cancelled; `pending` still to save. All 0 when
// nothing is left.
struct SaveProgress {
  size_t ended = 0, total = 0, pending = 0;
};
SaveProgress saveProgress();

// At load, signed in: the tracks an earlier run left unsaved are queued
// again, on a thread of their own; returns at once. Nothing is said when
// nothing is left.
void resumeSaves();

// Whether `path` is a part file a save of this process still holds.
bool ownsPartFile(const std::string &path);

// The waits before another try, first to last; the last one repeats. Tests
// shorten them.
void setRetryDelays(std::vector<std::chrono::milliseconds> delays);

}  // namespace tvoz
