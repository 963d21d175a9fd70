#include "offline/download.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "core/fs.h"
#include "core/local_files.h"
#include "core/platform.h"
#include "core/state.h"
#include "offline/cache_index.h"
#include "offline/folder_save.h"
#include "offline/saved_tracks.h"
#include "service/api.h"
#include "service/http.h"
#include "service/tokens.h"
#include "service/url.h"

namespace tvoz {

namespace {

constexpr size_t kMaxNameBytes = 120;
constexpr long kTransferSeconds = 120;
constexpr long kStallSeconds = 30;

bool reservedInFileNames(unsigned char c) {
  switch (c) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
      return true;
    default:
      return false;
  }
}

// Removes a multi-byte UTF-8 character left incomplete at the end by a cut.
// A name that is not UTF-8 could not be recorded in the index (JSON), and
// macOS refuses it as a file name.
void dropCutCharacter(std::string &text) {
  size_t start = text.size();
  size_t continuation = 0;
  auto isContinuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
  while (start > 0 && continuation < 3 && isContinuation(text[start - 1])) {
    --start;
    ++continuation;
  }
  if (start == 0) return;
  const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length > continuation + 1) text.erase(start - 1);
}

// The character rules and trims shared by names and extensions; may be empty.
std::string cleanFileNamePart(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20) continue;
    out.push_back(reservedInFileNames(c) ? '-' : static_cast<char>(c));
  }
  size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  out.erase(0, first);
  size_t last = out.find_last_not_of(". ");
  out.erase(last == std::string::npos ? 0 : last + 1);
  if (out.size() > kMaxNameBytes) {
    out.resize(kMaxNameBytes);
    dropCutCharacter(out);
  }
  return out;
}

struct TrackFileName {
  std::string name;
  std::string ext;
};

// What the listings said about the track; a track never listed is saved
// under its id as an mp3.
TrackFileName fileNameOf(const std::string &id) {
  std::lock_guard<std::mutex> lock(g_trackMutex);
  auto name = g_trackNames.find(id);
  auto ext = g_trackExt.find(id);
  return {name != g_trackNames.end() ? name->second : id,
          ext != g_trackExt.end() ? ext->second : "mp3"};
}

// A target path held by a download in progress, so that two downloads of
// different tracks that run at once cannot pick the same free name. A track
// is downloaded by one save at a time (TrackClaim), so a claimed path is
// always another track's.
class PathClaim {
 public:
  PathClaim(const std::string &dir, const std::string &id, const std::string &name,
            const std::string &ext);
  ~PathClaim() {
    std::lock_guard<std::mutex> lock(mutex());
    claims().erase(path_);
  }
  PathClaim(const PathClaim &) = delete;
  PathClaim &operator=(const PathClaim &) = delete;

  const std::string &path() const { return path_; }

 private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static std::set<std::string> &claims() {
    static std::set<std::string> c;
    return c;
  }

  std::string path_;
};

PathClaim::PathClaim(const std::string &dir, const std::string &id, const std::string &name,
                     const std::string &ext) {
  // Paths the index gives to other tracks are taken: sharing one file would
  // make those tracks play each other's audio and delete each other's copy.
  std::set<std::string> taken;
  const json index = loadCacheIndex();
  for (const auto &[otherId, value] : index.items()) {
    if (otherId != id && value.is_string()) taken.insert(value.get<std::string>());
  }
  std::lock_guard<std::mutex> lock(mutex());
  for (unsigned n = 1;; ++n) {
    std::string candidate =
        dir + "/" + name + (n == 1 ? "" : " (" + std::to_string(n) + ")") + "." + ext;
    if (taken.count(candidate) == 0 && claims().insert(candidate).second) {
      path_ = candidate;
      return;
    }
  }
}

int failDownload(long code) {
  logLine("descarga offline falló: http " + std::to_string(code));
  return 1;
}

// One try of the download into a new part file of `dir`; the file stays
// with the caller only when the transfer completed with a status below 400.
struct Attempt {
  Transfer transfer;
  std::unique_ptr<PartFile> part;
};

Attempt attempt(const std::string &dir, const std::string &url, const std::string &token,
                const TransferLimit &limit) {
  Attempt a;
  a.part = std::make_unique<PartFile>(dir);
  if (!a.part->ok()) return a;
  PartFile &part = *a.part;
  a.transfer = httpDownload(withToken(url, token), token,
                            [&part](const char *data, size_t size) { return part.write(data, size); },
                            limit);
  return a;
}

int download(const std::string &id, const TransferLimit &limit) {
  TrackFileName file = fileNameOf(id);
  const std::string dir = cacheDir();
  makeDir(dir);  // one level; an error shows when the file is created
  PathClaim target(dir, id, safeFileName(file.name), safeExtension(file.ext));
  const std::string url = apiBase() + "/download?file=" + urlEscape(id);

  // One read of the token, so the query and the header carry the same one.
  const std::string token = accessToken();
  Attempt a = attempt(dir, url, token, limit);
  if (!a.part->ok()) return failDownload(0);
  // A token that expired between the menu and the choice: renewed once, as
  // every other request does.
  if (a.transfer.status == 401) {
    if (auto fresh = refreshAfter(token)) a = attempt(dir, url, *fresh, limit);
  }
  const bool written = a.part->close();
  if (!a.transfer.completed || a.transfer.status >= 400 || !written ||
      !a.part->moveTo(target.path())) {
    return failDownload(a.transfer.status);
  }
  // What the track was first, then that it is saved: a track the index
  // shows always has its description, even after a kill in between.
  rememberSaved(id, target.path());
  cacheIndexSet(id, target.path());
  return 0;
}

int removeCopy(const std::string &id, const std::string &path) {
  dropFromBackgroundSaves(id);
  removeFile(path);  // a copy already gone is no reason to keep the entry
  cacheIndexErase(id);
  forgetSaved(id);
  return 0;
}

// Tracks being saved right now: one save per track at a time, so that a
// folder save and a single save never write one file twice or leave two
// copies.
class TrackClaim {
 public:
  // Waits for another save of `id` to end when `wait`, else gives up at once.
  TrackClaim(const std::string &id, bool wait) : id_(id) {
    std::unique_lock<std::mutex> lock(mutex());
    if (wait) ended().wait(lock, [&] { return claimed().count(id) == 0; });
    held_ = claimed().insert(id).second;
  }
  ~TrackClaim() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(mutex());
    claimed().erase(id_);
    ended().notify_all();
  }
  TrackClaim(const TrackClaim &) = delete;
  TrackClaim &operator=(const TrackClaim &) = delete;
  bool held() const { return held_; }

 private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static std::condition_variable &ended() {
    static std::condition_variable c;
    return c;
  }
  static std::set<std::string> &claimed() {
    static std::set<std::string> c;
    return c;
  }

  std::string id_;
  bool held_ = false;
};

}  // namespace

int saveTrack(const std::string &id, bool inBackground) {
  TrackClaim claim(id, /*wait=*/inBackground);
  if (!claim.held()) return 0;  // the folder save is fetching it right now
  if (inBackground && !cachedFileFor(id).empty()) return 0;  // saved meanwhile
  // The host's thread waits for its save, so the whole transfer has a time
  // limit; no one waits for a background save, which only has to progress.
  return download(id, inBackground ? TransferLimit{0, kStallSeconds} : TransferLimit{kTransferSeconds, 0});
}

std::string safeFileName(const std::string &displayName) {
  std::string name = cleanFileNamePart(displayName);
  return name.empty() ? "track" : avoidReservedName(name);
}

std::string safeExtension(const std::string &extension) { return cleanFileNamePart(extension); }

int offlineToggle(const std::string &id) {
  std::string cached = cachedFileFor(id);
  if (!cached.empty()) return removeCopy(id, cached);
  return saveTrack(id, false);
}

}  // namespace tvoz
