#include "offline/folder_save.h"

#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "core/local_files.h"
#include "offline/cache_index.h"
#include "offline/download.h"
#include "service/http.h"

namespace tvoz {

namespace {

struct Batch {
  size_t queued = 0, finished = 0, saved = 0;
};

struct Item {
  std::string id;
  std::shared_ptr<Batch> batch;
};

struct Queue {
  std::mutex mutex;
  std::deque<Item> items;
  bool working = false;  // a worker thread is running
};

Queue &queue() {
  static auto *q = new Queue();  // never destroyed: the worker may outlive the statics
  return *q;
}

// Counts a finished track; caller holds the queue's mutex. The log line when
// it was the batch's last, to be written once the mutex is released.
std::string finish(Batch &batch, bool saved) {
  ++batch.finished;
  batch.saved += saved;
  if (batch.finished != batch.queued) return "";
  return "carpeta sin conexion: " + std::to_string(batch.saved) + " de " +
         std::to_string(batch.queued) + " guardadas";
}

void work() noexcept {
  try {
    BackgroundTransfers background;
    Queue &q = queue();
    for (;;) {
      Item item;
      {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.items.empty()) {
          q.working = false;
          return;
        }
        item = q.items.front();  // stays queued while it is saved, so it is not queued twice
      }
      saveTrack(item.id, /*inBackground=*/true);
      const bool saved = !cachedFileFor(item.id).empty();
      std::string done;
      {
        std::lock_guard<std::mutex> lock(q.mutex);
        // A removal may have taken it out meanwhile, and counted it.
        if (!q.items.empty() && q.items.front().id == item.id && q.items.front().batch == item.batch) {
          q.items.pop_front();
          done = finish(*item.batch, saved);
        }
      }
      if (!done.empty()) logLine(done);
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(queue().mutex);
    queue().working = false;  // the next batch starts a new worker
  }
}

}  // namespace

void saveInBackground(const std::vector<std::string> &ids) {
  // Read the index before taking the queue's lock: no file work under it.
  std::vector<std::string> missing;
  for (const auto &id : ids) {
    if (cachedFileFor(id).empty()) missing.push_back(id);
  }
  auto batch = std::make_shared<Batch>();
  bool startWorker = false;
  {
    std::lock_guard<std::mutex> lock(queue().mutex);
    Queue &q = queue();
    for (const auto &id : missing) {
      bool queued = false;
      for (const auto &item : q.items) queued = queued || item.id == id;
      if (queued) continue;
      q.items.push_back({id, batch});
      ++batch->queued;
    }
    if (batch->queued > 0 && !q.working) q.working = startWorker = true;
  }
  if (batch->queued == 0) {
    logLine("carpeta sin conexion: 0 de 0 guardadas");
    return;
  }
  if (!startWorker) return;
  try {
    std::thread(work).detach();
  } catch (...) {
    std::lock_guard<std::mutex> lock(queue().mutex);
    queue().working = false;  // no thread to be had: the queue waits for the next batch
  }
}

void dropFromBackgroundSaves(const std::string &id) {
  std::string done;
  {
    std::lock_guard<std::mutex> lock(queue().mutex);
    auto &items = queue().items;
    // The front one is being saved: it goes on.
    for (auto it = items.begin(); it != items.end(); ++it) {
      if (it->id == id && it != items.begin()) {
        done = finish(*it->batch, false);
        items.erase(it);
        break;
      }
    }
  }
  if (!done.empty()) logLine(done);
}

}  // namespace tvoz
