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

Fetch fetchTrack(const TrackToSave &track, Kept &kept, const std::atomic<bool> &cancelled) {
  // Kept bytes that vanished (another host's sweep, the DJ tidying up) are
  // no start to go on from.
  if (kept.part && kept.part->size() <= 0) kept = {};
  // Kept bytes are finished where they lie, even when the DJ has chosen
  // another offline folder since: the final move stays on one file system.
  const std::string dir = kept.part ? folderOf(kept.part->path()) : cacheDir();
  makeDir(dir);  // one level; an error shows when the file is created
  Resume resume;
  if (kept.part) resume = {kept.part->size(), kept.validator};
  const std::string path = "/download?file=" + urlEscape(track.id);
  const TransferLimit limit{0, kStallSeconds, &cancelled};

  std::unique_ptr<PartFile> part;
  auto attempt = [&](const std::string &token) {
    part = std::make_unique<PartFile>(dir);
    if (!part->ok()) return Transfer{};
    PartFile &file = *part;
    return apiDownload(path, token, [&file](const char *data, size_t size) { return file.write(data, size); },
                       limit, resume);
  };
  // One read of the token, so the query and the header carry the same one.
  const std::string token = accessToken();
  Transfer transfer = attempt(token);
  if (!part->ok()) return {Fetch::Final, 0};
  // A token that expired since the save was queued: renewed once, as every
  // other request does.
  if (transfer.status == 401 && !cancelled) {
    if (auto fresh = refreshAfter(token)) transfer = attempt(*fresh);
  }
  const int64_t status = transfer.status;
  if (cancelled) return {Fetch::Cancelled, status};
  if (!part->close()) return {Fetch::Final, status};  // a full disk
  if (status == 416) {
    kept = {};  // the kept bytes are not the start of what is served now
    return {Fetch::Passing, status};
  }
  if (status >= 400) {
    if (status == 429 || (status >= 502 && status <= 504)) return {Fetch::Passing, status};
    return {status >= 500 && status <= 599 ? Fetch::Faulty : Fetch::Final, status};
  }
  const bool fileAnswer = status >= 200 && status < 300;
  if (fileAnswer && transfer.webPage) return {Fetch::Passing, status, false, true};

  bool progressed = false;
  if (status == 206) {
    // Joined only where it continues the kept bytes of the same file.
    const bool continues = kept.part && transfer.rangeStart == resume.from &&
                           (kept.total < 0 || transfer.rangeTotal == kept.total) &&
                           (kept.validator.empty() || transfer.validator.empty() ||
                            transfer.validator == kept.validator);
    progressed = part->size() > 0;
    // Appending fails when the kept part vanished during the try.
    if (!continues || !kept.part->append(*part)) {
      kept = {};
      return {Fetch::Passing, status};
    }
    if (kept.total < 0) kept.total = transfer.rangeTotal;
  } else if (fileAnswer) {
    // The file from its start, replacing whatever was kept.
    progressed = part->size() > 0;
    kept = {std::move(part), transfer.validator, transfer.length};
  }
  // Anything else brought no file (no answer, or a redirect to a file host
  // that never answered): the kept bytes stay for the next try.
  if (!transfer.completed || !fileAnswer) return {Fetch::Passing, status, progressed};
  if (kept.part->size() <= 0) return {Fetch::Final, status};  // nothing to play
  return {Fetch::Complete, status, progressed};
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
