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
#include <cstdlib>
#include <cstring>
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
    static Curl &curl = *new Curl();
    return curl;
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
    curl_easy_setopt(h.get(), CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    // A proxy's answer to CONNECT is not the service's: only real answers
    // reach the header callback, which tells whether the service answered.
    curl_easy_setopt(h.get(), CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // A name lookup that ran out of time does not hold the request until the
    // resolver thread gives up.
    curl_easy_setopt(h.get(), CURLOPT_QUICK_EXIT, 1L);
#endif
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

using Clock = std::chrono::steady_clock;

// What one request learns as it runs: the limits it is held to, when the last
// byte came, whether the first host answered, and the last answer's headers.
struct Exchange {
  TransferLimit limit;
  const ByteSink *sink = nullptr;  // where the body goes
  Clock::time_point lastByte = Clock::now();
  bool stalled = false;
  bool answered = false;  // a status line came, the first host's before any other
  Transfer last;          // the last answer's headers, described
  std::string etag, lastModified;  // the last answer's, for last.validator
};

// Aborts the transfer (returns 0) when the sink refuses more or throws,
// rather than throw through libcurl.
size_t writeToSink(char *data, size_t size, size_t count, void *userp) {
  auto *exchange = static_cast<Exchange *>(userp);
  const size_t n = size * count;
  exchange->lastByte = Clock::now();
  try {
    return (*exchange->sink)(data, n) ? n : 0;
  } catch (...) {
    return 0;
  }
}

// The value of header `name` (lower case, with its colon) in `line`, if the
// line is that header.
bool headerValue(const std::string &line, const char *name, std::string &value) {
  const size_t length = std::strlen(name);
  if (line.size() < length || strncasecmp(line.c_str(), name, length) != 0) return false;
  value = line.substr(length);
  return true;
}

// Every header line of every answer, redirects included; an answer's first
// line forgets what an earlier answer said.
size_t readHeader(char *data, size_t size, size_t count, void *userp) {
  auto *exchange = static_cast<Exchange *>(userp);
  const size_t n = size * count;
  exchange->lastByte = Clock::now();
  const std::string line(data, n);
  Transfer &last = exchange->last;
  std::string value;
  if (line.compare(0, 5, "HTTP/") == 0) {
    exchange->answered = true;
    last = Transfer{};
    exchange->etag.clear();
    exchange->lastModified.clear();
  } else if (headerValue(line, "content-range:", value)) {
    const ContentRange range = readContentRange(value);
    last.rangeStart = range.start;
    last.rangeTotal = range.total;
  } else if (headerValue(line, "content-length:", value)) {
    last.length = std::strtoll(value.c_str(), nullptr, 10);
  } else if (headerValue(line, "etag:", value)) {
    exchange->etag = value;
  } else if (headerValue(line, "last-modified:", value)) {
    exchange->lastModified = value;
  } else if (headerValue(line, "content-type:", value)) {
    last.webPage = isWebPage(value);
  }
  return n;
}

// Connected, the request about to go: the silence before the answer is
// counted from here, not from the start of the connection.
int connected(void *userp, char *, char *, int, int) {
  static_cast<Exchange *>(userp)->lastByte = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// libcurl calls this about once a second even while nothing arrives, and far
// more often while bytes flow.
int progressCheck(void *userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *exchange = static_cast<Exchange *>(userp);
  const TransferLimit &limit = exchange->limit;
  if (limit.cancelled && limit.cancelled->load()) return 1;
  exchange->stalled = limit.stallSeconds > 0 &&
                      Clock::now() - exchange->lastByte > std::chrono::seconds(limit.stallSeconds);
  return exchange->stalled ? 1 : 0;
}

// Why a request that went out got no status line, in a few words.
std::string failureOf(CURLcode code, const Exchange &exchange) {
  if (exchange.stalled) return "sin respuesta en " + std::to_string(exchange.limit.stallSeconds) + " s";
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return "nombre no resuelto";
    case CURLE_COULDNT_CONNECT:
      return "sin conexión";
    case CURLE_OPERATION_TIMEDOUT:
      return "tiempo agotado";
    default:
      return curl_easy_strerror(code);
  }
}

// Sets the limits and the callbacks that watch the transfer, runs it, and
// tells how far it got with the first host.
CURLcode run(CURL *h, Exchange &exchange, FirstHop &firstHop) {
  const TransferLimit &limit = exchange.limit;
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, connected);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &exchange);
  if (limit.totalSeconds > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT, limit.totalSeconds);
  if (limit.stallSeconds > 0 || limit.cancelled) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progressCheck);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }
  const CURLcode code = curl_easy_perform(h);
  firstHop.answered = exchange.answered;
  const bool cancelled = limit.cancelled && limit.cancelled->load();
  if (code != CURLE_OK && !exchange.answered && !cancelled) firstHop.failure = failureOf(code, exchange);
  return code;
}

// A request whose answer is held in memory, with the budgets of a click: an
// answer refused at once when its announced length is past the ceiling, else
// cut off when it grows past it.
HttpResult inMemory(CURL *h, HttpResult &result) {
  std::string &body = result.body;
  const ByteSink hold = [&body](const char *data, size_t size) {
    if (body.size() + size > kMaxAnswerBytes) {
      std::string().swap(body);  // nothing of a refused answer is kept
      return false;
    }
    body.append(data, size);
    return true;
  };
  Exchange exchange;
  exchange.limit = {kRequestSeconds, kSilenceSeconds, nullptr};
  exchange.sink = &hold;
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeToSink);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxAnswerBytes));
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectSeconds * 1000L);
  if (run(h, exchange, result.firstHop) == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    result.status = code;
  }
  return std::move(result);
}

}  // namespace

HttpResult httpGetWithToken(const std::string &url, const std::string &token) {
  HttpResult result;
  Handle h;
  if (!h) return result;
  std::string effective = withToken(url, token);
  curl_easy_setopt(h.get(), CURLOPT_URL, effective.c_str());
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  CurlHeaders headers = bearerHeader(token);
  if (headers) curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  return inMemory(h.get(), result);
}

HttpResult httpPostForm(const std::string &url, const std::string &body) {
  HttpResult result;
  Handle h;
  if (!h) return result;
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
  return inMemory(h.get(), result);
}

Transfer httpDownload(const std::string &url, const std::string &token, const ByteSink &sink,
                      const TransferLimit &limit, const Resume &resume) {
  Handle h;
  if (!h) return {};
  Exchange exchange;
  exchange.limit = limit;
  exchange.sink = &sink;
  CurlHeaders headers = bearerHeader(token);
  if (resume.from > 0 && !resume.validator.empty()) {
    headers.reset(curl_slist_append(headers.release(), ("If-Range: " + resume.validator).c_str()));
  }
  const std::string range = std::to_string(resume.from) + "-";
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  if (resume.from > 0) curl_easy_setopt(h.get(), CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, writeToSink);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &exchange);
  FirstHop firstHop;
  const CURLcode code = run(h.get(), exchange, firstHop);
  Transfer result = exchange.last;
  result.validator = validatorOf(exchange.etag, exchange.lastModified);
  result.completed = code == CURLE_OK;
  result.firstHop = std::move(firstHop);
  long status = 0;
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
  result.status = status;
  if (status != 206) result.rangeStart = result.rangeTotal = -1;
  return result;
}

}  // namespace tvoz
