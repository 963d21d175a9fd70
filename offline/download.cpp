#include "offline/download.h"

#include <algorithm>
#include <set>

#include "core/fs.h"
#include "core/local_files.h"
#include "core/platform.h"
#include "core/state.h"
#include "offline/cache_index.h"
#include "offline/saved_tracks.h"
#include "service/api.h"
#include "service/http.h"
#include "service/tokens.h"
#include "service/url.h"

namespace tvoz {

namespace {

constexpr size_t kMaxNameBytes = 120;
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

// Tracks are saved one at a time by the save queue's worker, so the name
// chosen here cannot be taken by another save before the move.
std::string freeTargetPath(const std::string &dir, const TrackToSave &track) {
  const std::string name = safeFileName(track.name), ext = safeExtension(track.ext);
  // Paths the index gives to other tracks are taken even when their file is
  // gone for now; files on disk are taken whoever wrote them.
  std::set<std::string> taken;
  const json index = loadCacheIndex();
  for (const auto &[otherId, value] : index.items()) {
    if (otherId != track.id && value.is_string()) taken.insert(value.get<std::string>());
  }
  for (unsigned n = 1;; ++n) {
    std::string candidate =
        dir + "/" + name + (n == 1 ? "" : " (" + std::to_string(n) + ")") + "." + ext;
    if (taken.count(candidate) == 0 && fileSize(candidate) < 0) return candidate;
  }
}

std::string folderOf(const std::string &path) { return path.substr(0, path.find_last_of('/')); }

// A status worth another try later: the service is busy or failing for now.
bool passingStatus(int64_t status) { return status == 429 || status >= 500; }

}  // namespace

std::vector<TrackToSave> tracksToSave(const std::vector<std::string> &ids) {
  std::vector<TrackToSave> out;
  out.reserve(ids.size());
  std::lock_guard<std::mutex> lock(g_trackMutex);
  for (const auto &id : ids) {
    TrackToSave t{id, id, "mp3", {}};
    if (auto name = g_trackNames.find(id); name != g_trackNames.end()) t.name = name->second;
    if (auto ext = g_trackExt.find(id); ext != g_trackExt.end()) t.ext = ext->second;
    if (auto fields = g_trackFields.find(id); fields != g_trackFields.end()) t.fields = fields->second;
    out.push_back(std::move(t));
  }
  return out;
}

Fetch fetchTrack(const TrackToSave &track, std::unique_ptr<PartFile> &kept,
                 const std::atomic<bool> &cancelled) {
  // Kept bytes are finished where they lie, even when the DJ has chosen
  // another offline folder since: the final move stays on one file system.
  const std::string dir = kept ? folderOf(kept->path()) : cacheDir();
  makeDir(dir);  // one level; an error shows when the file is created
  const int64_t from = kept ? std::max<int64_t>(kept->size(), 0) : 0;
  const std::string url = apiBase() + "/download?file=" + urlEscape(track.id);
  const TransferLimit limit{0, kStallSeconds, &cancelled};

  auto attempt = [&](const std::string &token, std::unique_ptr<PartFile> &part) {
    part = std::make_unique<PartFile>(dir);
    if (!part->ok()) return Transfer{};
    PartFile &file = *part;
    return httpDownload(withToken(url, token), token,
                        [&file](const char *data, size_t size) { return file.write(data, size); },
                        limit, from);
  };
  // One read of the token, so the query and the header carry the same one.
  const std::string token = accessToken();
  std::unique_ptr<PartFile> part;
  Transfer transfer = attempt(token, part);
  if (!part->ok()) return {Fetch::Final, 0};
  // A token that expired since the save was queued: renewed once, as every
  // other request does.
  if (transfer.status == 401 && !cancelled) {
    if (auto fresh = refreshAfter(token)) transfer = attempt(*fresh, part);
  }
  if (cancelled) return {Fetch::Cancelled, transfer.status};
  if (!part->close()) return {Fetch::Final, transfer.status};  // a full disk
  if (transfer.status >= 400 && !passingStatus(transfer.status)) {
    // Kept bytes the service no longer serves from (416) are dropped, and the
    // next try starts over.
    if (transfer.status != 416 || from == 0) return {Fetch::Final, transfer.status};
    kept.reset();
    return {Fetch::Passing, transfer.status};
  }
  if (transfer.status >= 400) return {Fetch::Passing, transfer.status};

  // What arrived joins the kept bytes when it is their continuation, and
  // replaces them when the service sent the file from its start.
  if (transfer.status == 206) {
    if (from == 0 || transfer.rangeStart != from || !kept->append(*part)) {
      kept.reset();
      return {Fetch::Passing, transfer.status};
    }
  } else if (transfer.status != 0) {
    kept = std::move(part);
  }
  if (!transfer.completed) return {Fetch::Passing, transfer.status};
  if (!kept || kept->size() <= 0) return {Fetch::Final, transfer.status};  // nothing to play
  return {Fetch::Complete, transfer.status};
}

bool recordSaved(const TrackToSave &track, PartFile &part) {
  const std::string target = freeTargetPath(folderOf(part.path()), track);
  if (!part.moveTo(target)) return false;
  // What the track was first, then that it is saved: a track the index
  // shows always has its description, even after a kill in between.
  if (!rememberSaved(track.id, track.fields, track.ext, target) || !cacheIndexSet(track.id, target)) {
    forgetSaved(track.id);
    removeFile(target);
    return false;
  }
  return true;
}

void removeSavedCopy(const std::string &id) {
  const std::string path = cachedFileFor(id);
  if (!path.empty()) removeFile(path);  // a copy already gone is no reason to keep the entry
  cacheIndexErase(id);
  forgetSaved(id);
}

std::string safeFileName(const std::string &displayName) {
  std::string name = cleanFileNamePart(displayName);
  return name.empty() ? "track" : avoidReservedName(name);
}

std::string safeExtension(const std::string &extension) { return cleanFileNamePart(extension); }

}  // namespace tvoz
