#include "offline/saved_tracks.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "core/fs.h"
#include "core/local_files.h"
#include "offline/cache_index.h"

namespace tvoz {

namespace {

std::mutex &fileMutex() {
  static std::mutex &m = *new std::mutex;
  return m;
}

json loadSaved() {
  auto text = readWholeFile(savedTracksPath());
  return text ? parseObjectOrEmpty(*text) : json::object();
}

bool writeSaved(const json &saved) {
  auto text = dumpCompact(saved);
  return text && writeFileAtomic(savedTracksPath(), *text, false);
}

// "Luna.mp3" of ".../Luna.mp3" as {"Luna", "mp3"}.
std::pair<std::string, std::string> nameAndExtension(const std::string &path) {
  const std::string file = path.substr(path.find_last_of('/') + 1);
  const size_t dot = file.rfind('.');
  if (dot == std::string::npos || dot == 0) return {file, ""};
  return {file.substr(0, dot), file.substr(dot + 1)};
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string savedTracksPath() { return supportDir() + "/Tornavoz-offline-tracks.json"; }

bool rememberSaved(const std::string &id, const TrackEntry &fields, const std::string &ext,
                   const std::string &path) {
  TrackEntry t = fields;
  if (t.id.empty()) t.title = nameAndExtension(path).first;
  std::lock_guard<std::mutex> lock(fileMutex());
  json saved = loadSaved();
  saved[id] = {{"title", t.title}, {"artist", t.artist}, {"remix", t.remix}, {"genre", t.genre},
               {"cover", t.cover}, {"bpm", t.bpm},       {"video", t.video}, {"ext", ext},
               {"saved", nowMs()}};
  return writeSaved(saved);
}

void forgetSaved(const std::string &id) {
  std::lock_guard<std::mutex> lock(fileMutex());
  json saved = loadSaved();
  if (saved.erase(id) > 0) writeSaved(saved);
}

std::vector<SavedTrack> savedTracks() {
  const json index = loadCacheIndex();
  const json saved = loadSaved();
  std::vector<SavedTrack> out;
  for (const auto &[id, value] : index.items()) {
    if (!value.is_string() || !fileExists(value.get<std::string>())) continue;
    SavedTrack s;
    s.path = value.get<std::string>();
    s.track.id = id;
    std::tie(s.track.title, s.ext) = nameAndExtension(s.path);
    auto it = saved.find(id);
    if (it != saved.end()) {
      try {
        SavedTrack described = s;
        TrackEntry &t = described.track;
        t.title = readString(*it, "title");
        t.artist = readString(*it, "artist");
        t.remix = readString(*it, "remix");
        t.genre = readString(*it, "genre");
        t.cover = readString(*it, "cover");
        t.bpm = readFloat(*it, "bpm");
        t.video = readInt32(*it, "video") != 0;
        described.ext = readString(*it, "ext", s.ext);
        const json &when = it->value("saved", json(0));
        described.savedAt = when.is_number() ? when.get<int64_t>() : 0;
        s = std::move(described);
      } catch (const json::exception &) {
        // A description edited by hand into something else: the file name serves.
      }
    }
    out.push_back(std::move(s));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const SavedTrack &a, const SavedTrack &b) { return a.savedAt > b.savedAt; });
  return out;
}

size_t savedCount() {
  size_t count = 0;
  const json index = loadCacheIndex();  // items() must not outlive its object
  for (const auto &[id, value] : index.items()) {
    count += value.is_string() && fileExists(value.get<std::string>());
  }
  return count;
}

size_t removeAllSaved() {
  size_t removed = 0;
  const json index = loadCacheIndex();
  for (const auto &[id, value] : index.items()) {
    if (value.is_string() && fileExists(value.get<std::string>())) {
      removeFile(value.get<std::string>());
      ++removed;
    }
  }
  writeCacheIndex(json::object());
  std::lock_guard<std::mutex> lock(fileMutex());
  writeSaved(json::object());
  return removed;
}

}  // namespace tvoz
