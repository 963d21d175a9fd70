// Requests to the service. One file per transport implements this header:
// http_curl.cpp (libcurl, macOS and Linux) and http_winhttp.cpp (Windows).
//
// Any thread may call any function here at any time; each call blocks its
// thread for one transfer. Open connections are kept for the next call of
// any thread, never used by two transfers at once. Only http:// and https://
// addresses are fetched, redirects included, and at most kMaxRedirects of
// them. Nothing here throws except std::bad_alloc.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tvoz {

// How far a request got with the host its URL names, before any redirect:
// whether a status line came back from it, and when none did although the
// request went out, why, in a few words for the log. A request that never
// went out (no handle, cancelled by the caller) has neither.
struct FirstHop {
  bool answered = false;
  std::string failure;
};

struct HttpResult {
  int64_t status = 0;  // last HTTP status; 0 when the transfer did not complete
  std::string body;    // the bytes received, as they came
  FirstHop firstHop;
};

constexpr const char *kUserAgent = "Tornavoz-VDJ/1.0";
// A request whose answer is held in memory: the whole transfer, the
// connection (name lookup, TCP and TLS together), and the longest silence
// before the answer's first byte or between two of its bytes. A venue's
// network that takes connections and never answers costs a click the
// silence, not the whole limit.
constexpr long kRequestSeconds = 30;
constexpr long kConnectSeconds = 4;
constexpr long kSilenceSeconds = 8;
// Redirects followed by any request; a loop ends there instead of at a time
// limit, thousands of requests later.
constexpr int kMaxRedirects = 10;
// A larger answer held in memory is refused as a failed transfer (status 0):
// a broken or hostile service must not exhaust the host's memory.
constexpr size_t kMaxAnswerBytes = size_t{64} << 20;

// While it lives, the calling thread's transfers are work nobody waits for
// (play reports, the update check, folder saves): they leave the one idle
// connection to the host's next click and open their own instead, so that a
// click never pays for a new connection because a report took the warm one.
class BackgroundTransfers {
 public:
  BackgroundTransfers();
  ~BackgroundTransfers();
  BackgroundTransfers(const BackgroundTransfers &) = delete;
  BackgroundTransfers &operator=(const BackgroundTransfers &) = delete;
  // Whether the calling thread is marked.
  static bool active();
};

// `url` with "access_token=<token>" appended after "?" or "&"; unchanged for
// an empty token. The one-argument form uses the stored access token.
std::string withToken(const std::string &url);
std::string withToken(const std::string &url, const std::string &token);

// GET `url`, following redirects, with the user agent and the budgets above.
// Authorised: the stored access token travels in the query and as a bearer
// header (neither when signed out).
HttpResult httpGet(const std::string &url, bool authorised);
// The same with a given token (empty: no credentials).
HttpResult httpGetWithToken(const std::string &url, const std::string &token);

// POST of an already-encoded form body (application/x-www-form-urlencoded),
// with the user agent and the budgets above; redirects are not followed.
HttpResult httpPostForm(const std::string &url, const std::string &body);

// A GET whose answer streams into `sink` instead of memory: redirects
// followed, the token as a bearer header when not empty, no user agent. The
// sink returns false to abort the transfer (a full disk); it gets the body of
// the last answer only.
using ByteSink = std::function<bool(const char *data, size_t size)>;
struct TransferLimit {
  long totalSeconds = 0;  // the whole transfer; 0: no limit
  long stallSeconds = 0;  // abandoned when no byte arrives for this long; 0: no limit
  // When set, the transfer is abandoned within about a second of it turning
  // true (another thread cancels it), bytes arriving or not.
  const std::atomic<bool> *cancelled = nullptr;
};
// With `from` > 0 only the rest is asked for ("Range: bytes=<from>-"), and
// with a validator as well, only if the file is still the one it names
// ("If-Range: <validator>"); the server may still send the whole file (200).
struct Resume {
  int64_t from = 0;
  std::string validator;
};
// What came back, the last answer's headers described.
struct Transfer {
  bool completed = false;  // the transfer ran to its end
  int64_t status = 0;      // the last HTTP status received; 0 when none
  FirstHop firstHop;
  int64_t length = -1;      // Content-Length; -1 when not given
  int64_t rangeStart = -1;  // a 206's Content-Range "bytes <start>-<end>/<total>"; -1 when none
  int64_t rangeTotal = -1;  // -1 when none or "*"
  // A strong ETag, else Last-Modified: what names this version of the file.
  // Empty when the answer has neither (a weak ETag names nothing exact).
  std::string validator;
  bool webPage = false;  // Content-Type text/html: a sign-in page, an error page
};
Transfer httpDownload(const std::string &url, const std::string &token, const ByteSink &sink,
                      const TransferLimit &limit, const Resume &resume = {});

// The pieces of a download's answer headers that both transports read the
// same way. Each takes the header's value without its name.
struct ContentRange {
  int64_t start = -1, total = -1;
};
ContentRange readContentRange(const std::string &value);
// `etag` and `lastModified` may be empty (absent headers).
std::string validatorOf(const std::string &etag, const std::string &lastModified);
bool isWebPage(const std::string &contentType);

}  // namespace tvoz
