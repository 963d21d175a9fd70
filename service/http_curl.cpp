// The transport on libcurl's easy interface.
//
// Connections are reused through a pool of easy handles: a transfer takes a
// handle, resets it to libcurl's defaults, sets exactly its own options, and
// gives it back afterwards with its live connection. A handle is used by one
// thread at a time, the way libcurl supports; its connection cache is never
// shared between threads (libcurl lists that as unsupported, with crashes on
// record). The DNS cache and TLS sessions are shared through a share object
// with lock functions, which libcurl does support.
#include "service/http.h"

#include <chrono>
#include <cstdio>
#include <strings.h>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <curl/curl.h>

namespace tvoz {

namespace {

struct CurlEasyDeleter {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Idle handles kept for reuse; more than the host's threads, play reports
// and the sign-in listener use at once in practice.
constexpr size_t kPoolSize = 8;

class Curl {
 public:
  // Made on first use, whichever thread comes first; never destroyed, since
  // detached threads (play reports, the sign-in listener) may still be inside
  // a transfer while the process exits.
  static Curl &get() {
    static Curl *curl = new Curl();
    return *curl;
  }

  // A handle with libcurl's defaults plus what every transfer shares: no
  // signals (transfers run on many threads inside the host), the shared DNS
  // and TLS session caches, and HTTP(S) only, redirects included. Null when
  // libcurl cannot make one.
  CurlEasy take() {
    CurlEasy h;
    // Background work leaves the last idle handle to the host's click.
    const size_t leave = BackgroundTransfers::active() ? 1 : 0;
    {
      std::lock_guard<std::mutex> lock(poolMutex_);
      if (pool_.size() > leave) {
        h = std::move(pool_.back());
        pool_.pop_back();
      }
    }
    if (h) {
      curl_easy_reset(h.get());
    } else {
      h.reset(curl_easy_init());
      if (!h) return h;
    }
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    if (share_) curl_easy_setopt(h.get(), CURLOPT_SHARE, share_);
    // The bit-mask options are the ones every libcurl we may meet knows;
    // newer versions only mark them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    curl_easy_setopt(h.get(), CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(h.get(), CURLOPT_REDIR_PROTOCOLS,
                     static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#pragma GCC diagnostic pop
    return h;
  }

  // Back into the pool with its connection; the newest handle is taken first,
  // since its connection is the least likely to have been closed meanwhile.
  void give(CurlEasy h) {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (pool_.size() < kPoolSize) pool_.push_back(std::move(h));
  }

 private:
  Curl() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Curl::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Curl::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  static void lock(CURL *, curl_lock_data data, curl_lock_access, void *self) {
    static_cast<Curl *>(self)->shareMutexes_[index(data)].lock();
  }
  static void unlock(CURL *, curl_lock_data data, void *self) {
    static_cast<Curl *>(self)->shareMutexes_[index(data)].unlock();
  }
  static size_t index(curl_lock_data data) {
    size_t i = static_cast<size_t>(data);
    return i < CURL_LOCK_DATA_LAST ? i : 0;
  }

  CURLSH *share_ = nullptr;
  std::mutex shareMutexes_[CURL_LOCK_DATA_LAST];
  std::mutex poolMutex_;
  std::vector<CurlEasy> pool_;
};

// A pooled handle for the length of one transfer. Options that point at the
// transfer's own data (header lists, buffers) dangle once it is over, which is
// harmless: take() resets every option before the handle is used again.
class Handle {
 public:
  Handle() : h_(Curl::get().take()) {}
  ~Handle() {
    if (h_) Curl::get().give(std::move(h_));
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  CURL *get() const { return h_.get(); }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  CurlEasy h_;
};

CurlHeaders bearerHeader(const std::string &token) {
  if (token.empty()) return nullptr;
  return CurlHeaders(curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str()));
}

// Appends to the std::string behind `userp`; aborts the transfer (returns 0)
// past kMaxAnswerBytes or when memory runs out, rather than throw through
// libcurl.
size_t writeStr(char *data, size_t size, size_t count, void *userp) {
  auto *body = static_cast<std::string *>(userp);
  const size_t n = size * count;
  try {
    if (body->size() + n > kMaxAnswerBytes) {
      std::string().swap(*body);  // nothing of a refused answer is kept
      return 0;
    }
    body->append(data, n);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  return n;
}

// An answer held in memory: refused at once when its announced length is past
// the ceiling, else cut off by writeStr when it grows past it.
void holdInMemory(CURL *h, std::string *body) {
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeStr);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxAnswerBytes));
}

// Runs the transfer; the status is read only when it completed.
HttpResult perform(CURL *h, HttpResult &result) {
  if (curl_easy_perform(h) == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    result.status = code;
  }
  return std::move(result);
}

struct DownloadState {
  const ByteSink *sink;
  const TransferLimit *limit;
  std::chrono::steady_clock::time_point lastByte;
  int64_t rangeStart = -1;
};

size_t writeToSink(char *data, size_t size, size_t count, void *userp) {
  auto *state = static_cast<DownloadState *>(userp);
  const size_t n = size * count;
  state->lastByte = std::chrono::steady_clock::now();
  try {
    return (*state->sink)(data, n) ? n : 0;
  } catch (...) {
    return 0;  // nothing may unwind through libcurl
  }
}

// Every header line of every answer (redirects included); an answer's first
// line forgets what an earlier answer's Content-Range said.
size_t readHeader(char *data, size_t size, size_t count, void *userp) {
  auto *state = static_cast<DownloadState *>(userp);
  const size_t n = size * count;
  const std::string line(data, n);
  if (line.compare(0, 5, "HTTP/") == 0) state->rangeStart = -1;
  static const char kName[] = "content-range:";
  if (line.size() > sizeof kName && strncasecmp(line.c_str(), kName, sizeof kName - 1) == 0) {
    // "bytes <first>-<last>/<length>"
    const char *value = line.c_str() + sizeof kName - 1;
    while (*value == ' ') ++value;
    long long first = -1;
    if (std::sscanf(value, "bytes %lld-", &first) == 1 && first >= 0) state->rangeStart = first;
  }
  return n;
}

// libcurl calls this about once a second even while nothing arrives, and far
// more often while bytes flow.
int progressCheck(void *userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *state = static_cast<DownloadState *>(userp);
  const TransferLimit &limit = *state->limit;
  if (limit.cancelled && limit.cancelled->load()) return 1;
  return limit.stallSeconds > 0 && std::chrono::steady_clock::now() - state->lastByte >
                                       std::chrono::seconds(limit.stallSeconds)
             ? 1
             : 0;
}

}  // namespace

HttpResult httpGetWithToken(const std::string &url, const std::string &token) {
  HttpResult result;
  Handle h;
  if (!h) return result;
  std::string effective = withToken(url, token);
  curl_easy_setopt(h.get(), CURLOPT_URL, effective.c_str());
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  holdInMemory(h.get(), &result.body);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, kRequestSeconds);
  curl_easy_setopt(h.get(), CURLOPT_USERAGENT, kUserAgent);
  CurlHeaders headers = bearerHeader(token);
  if (headers) curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  return perform(h.get(), result);
}

HttpResult httpPostForm(const std::string &url, const std::string &body) {
  HttpResult result;
  Handle h;
  if (!h) return result;
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
  holdInMemory(h.get(), &result.body);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, kRequestSeconds);
  curl_easy_setopt(h.get(), CURLOPT_USERAGENT, kUserAgent);
  return perform(h.get(), result);
}

Transfer httpDownload(const std::string &url, const std::string &token, const ByteSink &sink,
                      const TransferLimit &limit, int64_t from) {
  Transfer result;
  Handle h;
  if (!h) return result;
  DownloadState state{&sink, &limit, std::chrono::steady_clock::now()};
  CurlHeaders headers = bearerHeader(token);
  const std::string range = std::to_string(from) + "-";
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  if (from > 0) curl_easy_setopt(h.get(), CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, writeToSink);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, &state);
  if (limit.totalSeconds > 0) curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, limit.totalSeconds);
  if (limit.stallSeconds > 0 || limit.cancelled) {
    curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, progressCheck);
    curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, &state);
    curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
  }
  result.completed = curl_easy_perform(h.get()) == CURLE_OK;
  long code = 0;
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
  result.status = code;
  if (code == 206) result.rangeStart = state.rangeStart;
  return result;
}

}  // namespace tvoz
