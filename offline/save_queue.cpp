#include "offline/save_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "core/threads.h"
#include "offline/cache_index.h"
#include "offline/download.h"
#include "service/http.h"
#include "service/reachability.h"

namespace tvoz {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A track whose own answers fail (500, 501, 505-599) is tried this many times
// more before it fails for good. Nothing else counts: a network or a service
// that is down for now only delays the save.
constexpr int kFaultRetries = 3;
// As tracks end one after another the queue file is rewritten at most this
// often; a stale file costs nothing, since a track saved meanwhile is
// skipped. A change the host made is written at once.
constexpr auto kPersistEvery = std::chrono::seconds(1);
// While the service is unreachable the worker looks again this often, so
// that a cancellation or an origin changed meanwhile is seen.
constexpr auto kHoldCheck = std::chrono::seconds(1);

struct Batch {
  size_t queued = 0, ended = 0, saved = 0;
};

using Track = std::shared_ptr<const TrackToSave>;

struct Item {
  Track track;
  std::shared_ptr<Batch> batch;  // null for a single save
  int faults = 0;                // tries that failed for a reason of the track's own
  size_t delay = 0;              // the next wait's place in the delays
  Clock::time_point due{};
  Kept kept;                     // what earlier tries got
};

struct Queue {
  std::mutex mutex;
  std::condition_variable wake;     // the worker's
  std::condition_variable changed;  // the queue file writer's
  std::deque<Item> items;               // waiting, in order
  std::unordered_set<std::string> ids;  // waiting or downloading
  Track current;                        // downloading; null when none
  std::string currentPart;              // the part file it goes on from, if any
  std::atomic<bool> cancelCurrent{false};
  bool working = false;                 // a worker thread runs
  bool writing = false;                 // the queue file writer runs
  size_t total = 0, ended = 0;          // since nothing was left to save
  uint64_t version = 0;                 // changes of what is still to save
  uint64_t fileVersion = 0;             // the change the queue file shows
  bool urgent = false;                  // a change the host made waits to be written
  std::vector<std::string> afterWrite;  // log lines to write once the file shows their change
  std::vector<milliseconds> delays = {std::chrono::seconds(5), std::chrono::seconds(30),
                                      std::chrono::seconds(120)};
  // Held while a finished download is recorded, so that a cancellation
  // that took it knows no recording is under way.
  std::mutex commit;
};

Queue &queue() {
  static Queue &q = *new Queue();
  return q;
}

// ---- the queue file ----

json describe(const TrackToSave &t) {
  return {{"id", t.id},         {"name", t.name},     {"ext", t.ext},
          {"listed", !t.fields.id.empty()},          {"title", t.fields.title},
          {"artist", t.fields.artist}, {"remix", t.fields.remix}, {"genre", t.fields.genre},
          {"cover", t.fields.cover},   {"bpm", t.fields.bpm},     {"video", t.fields.video}};
}

// Throws json::exception on a member of the wrong kind.
TrackToSave readTrack(const json &j) {
  TrackToSave t{readString(j, "id"), readString(j, "name"), readString(j, "ext"), {}};
  if (t.id.empty()) throw json::other_error::create(501, "no id", &j);
  if (j.value("listed", false)) {
    t.fields = {t.id,
                readString(j, "title"),
                readString(j, "artist"),
                readString(j, "remix"),
                readString(j, "genre"),
                readString(j, "cover"),
                readFloat(j, "bpm"),
                j.value("video", false)};
  }
  return t;
}

// What is still to save, in order: shared, so that taking it under the
// queue's lock costs little even with a whole library queued.
std::vector<Track> snapshotLocked(const Queue &q) {
  std::vector<Track> tracks;
  tracks.reserve(q.items.size() + 1);
  if (q.current && !q.cancelCurrent) tracks.push_back(q.current);
  for (const auto &item : q.items) tracks.push_back(item.track);
  return tracks;
}

// Writes what a snapshot says is still to save; no file when nothing is.
void persist(const std::vector<Track> &tracks) {
  if (tracks.empty()) {
    removeFile(saveQueuePath());
    return;
  }
  json list = json::array();
  for (const auto &t : tracks) list.push_back(describe(*t));
  if (auto text = dumpCompact(list)) writeFileAtomic(saveQueuePath(), *text, false);
}

void logAll(const std::vector<std::string> &lines) {
  for (const auto &line : lines) {
    if (!line.empty()) logLine(line);
  }
}

// The writer's thread: every change reaches the file, written here rather
// than on the host's thread or the worker's, which may be inside a transfer.
// A cancellation's lines are logged after the file shows it, so that a host
// that quits once the DJ (or a test) has read them never brings the
// cancelled tracks back at its next load.
void writeQueueFile() {
  Queue &q = queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  for (;;) {
    q.changed.wait(lock, [&q] { return q.version != q.fileVersion; });
    const uint64_t version = q.version;
    const std::vector<Track> tracks = snapshotLocked(q);
    std::vector<std::string> lines;
    lines.swap(q.afterWrite);
    q.urgent = false;
    lock.unlock();
    persist(tracks);
    logAll(lines);
    lock.lock();
    q.fileVersion = version;
    q.changed.wait_for(lock, kPersistEvery, [&q] { return q.urgent; });
  }
}

// A change of what is still to save, for the writer, urgent when the host
// made it; caller holds the queue's mutex. True when the writer must be
// started.
bool changedLocked(Queue &q, bool urgent) {
  ++q.version;
  q.urgent = q.urgent || urgent;
  q.changed.notify_all();
  if (q.writing) return false;
  return q.writing = true;
}

void startWriter(bool start) {
  if (!start || startThread(writeQueueFile)) return;
  // No thread to be had: the next change tries again, and the lines waiting
  // for the file are said now.
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(queue().mutex);
    queue().writing = false;
    lines.swap(queue().afterWrite);
  }
  logAll(lines);
}

// ---- accounting ----

// Ends a track that was waiting or downloading; caller holds the queue's
// mutex. The batch's line when it was the batch's last, to be logged once
// the mutex is released.
// A cancelled download has left `ids` already, so that the DJ may ask for the
// track again while its transfer winds down: `eraseId` false.
std::string endLocked(Queue &q, const Item &item, bool saved, bool eraseId = true) {
  if (eraseId) q.ids.erase(item.track->id);
  ++q.ended;
  if (!item.batch) return "";
  Batch &b = *item.batch;
  ++b.ended;
  b.saved += saved;
  if (b.ended != b.queued) return "";
  return "carpeta sin conexion: " + std::to_string(b.saved) + " de " + std::to_string(b.queued) +
         " guardadas";
}

// The counts of "guardando X de Y" start again with the next save once
// nothing is left; caller holds the queue's mutex.
void idleLocked(Queue &q) {
  if (q.items.empty() && !q.current) q.total = q.ended = 0;
}

// ---- the worker ----

enum class Ended { Saved, Failed, Cancelled, Retry };

// How a try ended, and the log lines that say so; the worker writes them
// once the queue shows the outcome, so that a DJ (or a test) who reads them
// finds the track's menu already as it will stay.
struct Outcome {
  Ended ended;
  std::vector<std::string> lines;
  bool progressed = false;  // the try added to the file: the waits start over
};

Outcome retry(const Item &item, const Fetch &fetch) {
  Outcome out{Ended::Retry, {}, fetch.progressed};
  const std::string &id = item.track->id;
  if (fetch.webPage) out.lines.push_back("descarga offline: " + id + " recibió una página web");
  // Said, so that a save that seems slow shows why.
  out.lines.push_back("descarga offline: nuevo intento de " + id + " (http " +
                      std::to_string(fetch.status) + ")");
  return out;
}

Outcome saveOne(Queue &q, Item &item) {
  if (!cachedFileFor(item.track->id).empty()) return {Ended::Saved, {}};  // saved meanwhile
  const Fetch fetch = fetchTrack(*item.track, item.kept, q.cancelCurrent);
  const std::string failed = "descarga offline falló: http " + std::to_string(fetch.status);
  switch (fetch.outcome) {
    case Fetch::Cancelled:
      return {Ended::Cancelled, {}};
    case Fetch::Passing:
      return retry(item, fetch);
    case Fetch::Faulty:
      if (item.faults++ < kFaultRetries) return retry(item, fetch);
      return {Ended::Failed, {failed}};
    case Fetch::Final:
      return {Ended::Failed, {failed}};
    case Fetch::Complete:
      break;
  }
  std::lock_guard<std::mutex> lock(q.commit);
  if (q.cancelCurrent) return {Ended::Cancelled, {}};
  if (recordSaved(*item.track, *item.kept.part)) return {Ended::Saved, {}};
  return {Ended::Failed, {"descarga offline falló: indice"}};
}

// The next item whose wait is over; end() when none.
std::deque<Item>::iterator nextDue(Queue &q) {
  const auto now = Clock::now();
  return std::find_if(q.items.begin(), q.items.end(), [&](const Item &i) { return i.due <= now; });
}

void work() {
  BackgroundTransfers background;
  Queue &q = queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  while (!q.items.empty()) {
    // Nothing is tried against a network known to be down: the whole queue
    // waits for the service, however long it is away, and no try is spent.
    lock.unlock();
    const bool reachable = serviceReachable() || awaitReachable(kHoldCheck);
    lock.lock();
    if (!reachable) continue;
    auto next = nextDue(q);
    if (next == q.items.end()) {
      if (q.items.empty()) break;
      // A copy: the item may be gone (cancelled) while the worker sleeps.
      const Clock::time_point due =
          std::min_element(q.items.begin(), q.items.end(), [](const Item &a, const Item &b) {
            return a.due < b.due;
          })->due;
      q.wake.wait_until(lock, due);
      continue;
    }
    Item item = std::move(*next);
    q.items.erase(next);
    q.current = item.track;
    q.currentPart = item.kept.part ? item.kept.part->path() : "";
    q.cancelCurrent = false;
    lock.unlock();

    Outcome outcome = saveOne(q, item);

    lock.lock();
    // Decided under the lock a cancellation takes: a cancel that came at any
    // moment of the try wins, even over a copy recorded just before it.
    const bool cancelled = q.cancelCurrent;
    const bool unwanted = cancelled && outcome.ended == Ended::Saved;
    if (cancelled) outcome = {Ended::Cancelled, {}};
    q.current = nullptr;
    q.currentPart.clear();
    std::string batchLine;
    if (outcome.ended == Ended::Retry) {
      if (outcome.progressed) item.delay = 0;
      item.due = Clock::now() + q.delays[std::min(item.delay++, q.delays.size() - 1)];
      q.items.push_back(std::move(item));
    } else {
      batchLine = endLocked(q, item, outcome.ended == Ended::Saved, /*eraseId=*/!cancelled);
      idleLocked(q);
    }
    const bool startWriting = changedLocked(q, false);
    lock.unlock();
    startWriter(startWriting);
    if (unwanted) removeSavedCopy(item.track->id);
    logAll(outcome.lines);
    logAll({batchLine});
    item.kept = {};  // a track that ended leaves no part file
    lock.lock();
  }
  q.working = false;
  const bool startWriting = changedLocked(q, false);
  lock.unlock();
  startWriter(startWriting);
}

// Queues `tracks` (a batch when `batch`), starting the worker when none runs.
// A DJ's batch with nothing to save says so; one resumed at load says nothing.
void queueTracks(std::vector<TrackToSave> tracks, std::shared_ptr<Batch> batch, bool announceEmpty) {
  Queue &q = queue();
  bool start = false, startWriting = false;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    for (auto &track : tracks) {
      if (!q.ids.insert(track.id).second) continue;
      Item item;
      item.track = std::make_shared<const TrackToSave>(std::move(track));
      item.batch = batch;
      q.items.push_back(std::move(item));
      ++q.total;
      if (batch) ++batch->queued;
    }
    startWriting = changedLocked(q, true);
    if (!q.items.empty() && !q.working) q.working = start = true;
  }
  q.wake.notify_all();
  startWriter(startWriting);
  if (batch && batch->queued == 0 && announceEmpty) logLine("carpeta sin conexion: 0 de 0 guardadas");
  if (start && !startThread(work)) {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.working = false;  // no thread to be had: the queue waits for the next save
  }
}

// The tracks of `ids` without a usable copy, from one read of the index.
std::vector<std::string> withoutCopy(std::vector<std::string> ids) {
  const json index = loadCacheIndex();
  ids.erase(std::remove_if(ids.begin(), ids.end(),
                           [&](const std::string &id) {
                             auto it = index.find(id);
                             return it != index.end() && it->is_string() &&
                                    fileExists(it->get_ref<const std::string &>());
                           }),
            ids.end());
  return ids;
}

void resume() {
  auto text = readWholeFile(saveQueuePath());
  if (!text) return;
  std::vector<TrackToSave> tracks;
  try {
    auto list = parseJson(*text);
    if (!list || !list->is_array()) throw json::other_error::create(501, "not a list", nullptr);
    for (const auto &entry : *list) tracks.push_back(readTrack(entry));
  } catch (const json::exception &) {
    logLine("cola sin conexion dañada: se ignora");
    tracks.clear();  // the file is rewritten with what this run queues, or removed
  }
  std::vector<std::string> ids;
  for (const auto &t : tracks) ids.push_back(t.id);
  ids = withoutCopy(std::move(ids));
  const std::unordered_set<std::string> missing(ids.begin(), ids.end());
  tracks.erase(std::remove_if(tracks.begin(), tracks.end(),
                              [&](const TrackToSave &t) { return missing.count(t.id) == 0; }),
               tracks.end());
  queueTracks(std::move(tracks), std::make_shared<Batch>(), /*announceEmpty=*/false);
}

}  // namespace

std::string saveQueuePath() { return supportDir() + "/Tornavoz-save-queue.json"; }

void queueSave(const std::string &id) { queueTracks(tracksToSave({id}), nullptr, true); }

void queueFolderSave(const std::vector<std::string> &ids) {
  queueTracks(tracksToSave(withoutCopy(ids)), std::make_shared<Batch>(), true);
}

bool isSaving(const std::string &id) {
  std::lock_guard<std::mutex> lock(queue().mutex);
  return queue().ids.count(id) > 0;
}

void cancelSave(const std::string &id) {
  Queue &q = queue();
  std::deque<Item> taken;  // destroyed (part files removed) outside the lock
  std::string line;
  bool startWriting = false;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.current && q.current->id == id && !q.cancelCurrent) {
      q.cancelCurrent = true;  // the worker ends it
      q.ids.erase(id);
    }
    for (auto it = q.items.begin(); it != q.items.end(); ++it) {
      if (it->track->id != id) continue;
      line = endLocked(q, *it, false);
      taken.push_back(std::move(*it));
      q.items.erase(it);
      break;
    }
    idleLocked(q);
    if (!line.empty()) q.afterWrite.push_back(line);
    startWriting = changedLocked(q, true);
  }
  q.wake.notify_all();
  startWriter(startWriting);
}

size_t cancelAllSaves() {
  Queue &q = queue();
  std::deque<Item> taken;
  bool startWriting = false;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    count = q.items.size();
    if (q.current && !q.cancelCurrent) {
      ++count;
      q.cancelCurrent = true;
      q.ids.erase(q.current->id);
    }
    for (auto &item : q.items) {
      const std::string line = endLocked(q, item, false);
      if (!line.empty()) q.afterWrite.push_back(line);
    }
    taken.swap(q.items);
    idleLocked(q);
    startWriting = changedLocked(q, true);
  }
  q.wake.notify_all();
  startWriter(startWriting);
  // A recording under way ends before this returns; any later one sees the
  // cancellation.
  { std::lock_guard<std::mutex> wait(q.commit); }
  return count;
}

SaveProgress saveProgress() {
  std::lock_guard<std::mutex> lock(queue().mutex);
  const Queue &q = queue();
  const size_t pending = q.items.size() + (!q.current || q.cancelCurrent ? 0 : 1);
  if (pending == 0) return {};
  return {q.ended, q.total, pending};
}

void resumeSaves() { startThread(resume); }

bool ownsPartFile(const std::string &path) {
  std::lock_guard<std::mutex> lock(queue().mutex);
  const Queue &q = queue();
  if (!path.empty() && q.currentPart == path) return true;
  return std::any_of(q.items.begin(), q.items.end(),
                     [&](const Item &i) { return i.kept.part && i.kept.part->path() == path; });
}

void setRetryDelays(std::vector<std::chrono::milliseconds> delays) {
  if (delays.empty()) return;
  std::lock_guard<std::mutex> lock(queue().mutex);
  queue().delays = std::move(delays);
}

}  // namespace tvoz
