#include "offline/download.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "account/tokens.h"
#include "offline/cache_index.h"
#include "plugin/local_files.h"
#include "plugin/state.h"
#include "service/api.h"
#include "service/http.h"
#include "service/url.h"

namespace tvoz {

namespace {

constexpr size_t kMaxNameBytes = 120;
constexpr long kTransferSeconds = 120;

bool reservedInFileNames(unsigned char c) {
  switch (c) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
      return true;
    default:
      return false;
  }
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
  if (out.size() > kMaxNameBytes) out.resize(kMaxNameBytes);
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
// different tracks that run at once cannot pick the same free name.
class PathClaim {
 public:
  PathClaim(const std::string &dir, const std::string &id, const std::string &name,
            const std::string &ext);
  ~PathClaim() {
    std::lock_guard<std::mutex> lock(mutex());
    auto [first, last] = claims().equal_range(path_);
    for (auto it = first; it != last; ++it) {
      if (it->second == id_) {
        claims().erase(it);
        break;
      }
    }
  }
  PathClaim(const PathClaim &) = delete;
  PathClaim &operator=(const PathClaim &) = delete;

  const std::string &path() const { return path_; }

 private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  // path -> track id, once per download in progress (the same track may be
  // fetched twice at once; both then write the same path).
  static std::multimap<std::string, std::string> &claims() {
    static std::multimap<std::string, std::string> c;
    return c;
  }

  std::string id_;
  std::string path_;
};

PathClaim::PathClaim(const std::string &dir, const std::string &id, const std::string &name,
                     const std::string &ext)
    : id_(id) {
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
    auto [first, last] = claims().equal_range(candidate);
    bool claimedByOther = std::any_of(first, last, [&](const auto &c) { return c.second != id; });
    if (taken.count(candidate) == 0 && !claimedByOther) {
      path_ = candidate;
      claims().emplace(candidate, id);
      return;
    }
  }
}

// The file a download writes into: a fresh hidden file in the target's
// folder (so the final rename cannot cross file systems), removed unless it
// was moved into place. The short fixed name keeps it within the system's
// name length whatever the target's name.
class PartFile {
 public:
  explicit PartFile(const std::string &dir) : path_(dir + "/.tvoz-download-XXXXXX") {
    int fd = ::mkostemp(path_.data(), O_CLOEXEC);
    if (fd < 0) {
      path_.clear();
      return;
    }
    ::fchmod(fd, 0644);  // an ordinary media file, not a private one
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
      ::close(fd);
      return;
    }
    // libcurl hands over 16 KiB at a time; a larger buffer writes the disk
    // in fewer, bigger pieces.
    buffer_.reset(new (std::nothrow) char[kBufferBytes]);
    if (buffer_) std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes);
  }
  ~PartFile() {
    if (file_) std::fclose(file_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  PartFile(const PartFile &) = delete;
  PartFile &operator=(const PartFile &) = delete;

  FILE *stream() const { return file_; }

  // Closes the file; false when any write or the final flush failed.
  bool close() {
    if (!file_) return false;
    bool ok = !std::ferror(file_);
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
  }

  // True when the closed file holds something and now lies at `target`.
  bool moveTo(const std::string &target) {
    if (path_.empty() || file_ || !fileExists(path_)) return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  static constexpr size_t kBufferBytes = 1 << 20;

  std::string path_;
  FILE *file_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // the stream's buffer; freed after the stream is closed
};

int failDownload(long code) {
  logLine("descarga offline falló: http " + std::to_string(code));
  return 1;
}

int download(const std::string &id) {
  TrackFileName file = fileNameOf(id);
  // One read of the token, so the query and the header carry the same one.
  // No refresh here: the download does not go through apiGet.
  std::string token = accessToken();
  std::string url = withToken(apiBase() + "/download?file=" + urlEscape(id), token);

  CurlEasy handle = newEasyHandle();
  if (!handle) return 1;

  std::string dir = cacheDir();
  ::mkdir(dir.c_str(), 0755);  // one level; an error shows when the file is created
  PathClaim target(dir, id, safeFileName(file.name), safeExtension(file.ext));
  PartFile part(dir);
  if (!part.stream()) return failDownload(0);

  CurlHeaders headers = bearerHeader(token);
  CURL *h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeFile);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, part.stream());
  curl_easy_setopt(h, CURLOPT_TIMEOUT, kTransferSeconds);
  CURLcode transfer = curl_easy_perform(h);
  long code = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  headers.reset();
  handle.reset();

  bool written = part.close();
  if (transfer != CURLE_OK || code >= 400 || !written || !part.moveTo(target.path())) {
    return failDownload(code);
  }
  cacheIndexSet(id, target.path());
  return 0;
}

int removeCopy(const std::string &id, const std::string &path) {
  ::remove(path.c_str());  // a copy already gone is no reason to keep the entry
  cacheIndexErase(id);
  return 0;
}

}  // namespace

std::string safeFileName(const std::string &displayName) {
  std::string name = cleanFileNamePart(displayName);
  return name.empty() ? "track" : name;
}

std::string safeExtension(const std::string &extension) { return cleanFileNamePart(extension); }

size_t writeFile(char *data, size_t size, size_t count, void *stream) {
  return std::fwrite(data, 1, size * count, static_cast<FILE *>(stream));
}

int offlineToggle(const std::string &id) {
  std::string cached = cachedFileFor(id);
  if (!cached.empty()) return removeCopy(id, cached);
  return download(id);
}

}  // namespace tvoz
