// Requests to the service. One file per transport implements this header:
// http_curl.cpp (libcurl, macOS and Linux) and http_winhttp.cpp (Windows).
//
// Any thread may call any function here at any time; each call blocks its
// thread for one transfer. Open connections are kept for the next call of
// any thread, never used by two transfers at once. Only http:// and https://
// addresses are fetched, redirects included. Nothing here throws except
// std::bad_alloc.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tvoz {

struct HttpResult {
  int64_t status = 0;  // last HTTP status; 0 when the transfer did not complete
  std::string body;    // the bytes received, as they came
};

constexpr const char *kUserAgent = "Tornavoz-VDJ/1.0";
// Whole-transfer limit of a request whose answer is held in memory.
constexpr long kRequestSeconds = 30;
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

// GET `url`, following redirects, with the user agent. Authorised: the stored
// access token travels in the query and as a bearer header (neither when
// signed out).
HttpResult httpGet(const std::string &url, bool authorised);
// The same with a given token (empty: no credentials).
HttpResult httpGetWithToken(const std::string &url, const std::string &token);

// POST of an already-encoded form body (application/x-www-form-urlencoded),
// with the user agent; redirects are not followed.
HttpResult httpPostForm(const std::string &url, const std::string &body);

// A GET whose answer streams into `sink` instead of memory: redirects
// followed, the token as a bearer header when not empty, no user agent. The
// sink returns false to abort the transfer (a full disk). With `from` > 0 only
// the rest is asked for ("Range: bytes=<from>-"); the service may still send
// the whole file (200), and `rangeStart` tells which one came.
using ByteSink = std::function<bool(const char *data, size_t size)>;
struct TransferLimit {
  long totalSeconds = 0;  // the whole transfer; 0: no limit
  long stallSeconds = 0;  // abandoned when no byte arrives for this long; 0: no limit
  // When set, the transfer is abandoned within about a second of it turning
  // true (another thread cancels it), bytes arriving or not.
  const std::atomic<bool> *cancelled = nullptr;
};
struct Transfer {
  bool completed = false;   // the transfer ran to its end
  int64_t status = 0;       // the last HTTP status received; 0 when none
  int64_t rangeStart = -1;  // first byte's offset named by a 206's Content-Range; else -1
};
Transfer httpDownload(const std::string &url, const std::string &token, const ByteSink &sink,
                      const TransferLimit &limit, int64_t from = 0);

}  // namespace tvoz
