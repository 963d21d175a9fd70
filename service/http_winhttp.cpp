// The transport on WinHTTP, behaving as the libcurl one does on the other
// platforms.
//
// One WinHTTP session serves the whole process. WinHTTP keeps its open
// connections per session and hands an idle one to the next request for the
// same server, whichever thread sends it, so connections are reused as the
// libcurl pool reuses them. The session is synchronous: each call blocks its
// thread for one transfer.
//
// WinHTTP's own redirect handling is switched off and redirects are followed
// here, so that the rules are libcurl's: GET follows, POST does not, only
// http and https, and the bearer header goes only to the origin it was meant
// for (WinHTTP would carry it on to any host a redirect names). Its cookie
// handling is off too: libcurl keeps no cookies either.
//
// WinHTTP's time-outs hold for one step (resolve, connect, one read), not for
// a whole transfer; each step is given what is left of the transfer's limit,
// so the whole never runs past it. A request the host waits for has shorter
// budgets besides (http.h), which WinHTTP can only hold step by step: see
// exchange().
//
// A download may be cancelled from another thread. Between steps the flag is
// simply looked at; a wait for bytes is ended by closing the request handle,
// which is how WinHTTP lets a synchronous call be interrupted.
#include "service/http.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <windows.h>
#include <winhttp.h>

#include "core/platform.h"
#include "core/threads.h"
#include "core/win_text.h"

namespace tvoz {

namespace {

using Clock = std::chrono::steady_clock;

struct InternetCloser {
  void operator()(HINTERNET h) const { ::WinHttpCloseHandle(h); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

// Made on first use, whichever thread comes first; never closed, since
// detached threads (play reports, the sign-in listener) may still be inside
// a transfer while the process exits. Null when WinHTTP cannot make one.
HINTERNET session() {
  static const HINTERNET s = [] {
    // No user agent of the session's own: the download sends none, the
    // other requests add theirs.
    HINTERNET h = ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    if (h) {
      // TLS 1.2 and 1.3 where Windows has both; Windows without 1.3 refuses
      // the pair, and gets 1.2 alone.
      DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
      if (!::WinHttpSetOption(h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        ::WinHttpSetOption(h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
      }
    }
    return h;
  }();
  return s;
}

struct Target {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // path and query, without the fragment
  std::wstring origin() const {
    return (secure ? L"https://" : L"http://") + host + L":" + std::to_wstring(port);
  }
};

// An http or https URL taken apart; nothing for any other scheme or a URL
// WinHTTP cannot read.
std::optional<Target> crack(const std::string &url) {
  if (!isWebAddress(url)) return std::nullopt;
  const std::wstring wide = widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    return std::nullopt;
  }
  Target t;
  t.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  t.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  for (auto &c : t.host) c = static_cast<wchar_t>(std::towlower(c));
  t.port = parts.nPort;
  t.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  t.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  t.path.erase(std::min(t.path.find(L'#'), t.path.size()));
  if (t.path.empty() || t.path[0] != L'/') t.path.insert(0, 1, L'/');
  return t;
}

// The address a Location header names, read against the URL that sent it.
std::string resolveLocation(const std::string &base, const std::string &location) {
  const size_t colon = location.find(':');
  const size_t slash = location.find('/');
  if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) {
    return location;  // absolute: it has a scheme
  }
  const size_t schemeEnd = base.find("://");
  if (location.compare(0, 2, "//") == 0) return base.substr(0, schemeEnd + 1) + location;
  const size_t pathStart = std::min(base.find('/', schemeEnd + 3), base.size());
  const std::string origin = base.substr(0, pathStart);
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string path = base.substr(pathStart, base.find_first_of("?#", pathStart) - pathStart);
  if (path.empty()) path = "/";
  if (!location.empty() && location[0] == '?') return origin + path + location;
  return origin + path.substr(0, path.rfind('/') + 1) + location;
}

// Watches a download's cancel flag from a thread of its own and, once it
// turns true, closes the request that the download's thread is waiting on.
// The handle is closed only while that thread is inside a wait (and has been
// for a moment), never between its calls: a closed handle's value may be
// handed to another thread's next request, which a late call would then use.
class CancelWatch {
 public:
  // Null when the download cannot be cancelled. Without a thread of its own
  // the flag is still looked at between steps.
  static std::shared_ptr<CancelWatch> start(const std::atomic<bool> *flag) {
    if (!flag) return nullptr;
    auto watch = std::make_shared<CancelWatch>(flag);
    startThread([watch] { watch->run(); });
    return watch;
  }
  explicit CancelWatch(const std::atomic<bool> *flag) : flag_(flag) {}

  bool cancelled() const { return flag_->load(); }
  // Around each call that may wait on `request`.
  void enter(HINTERNET request) {
    std::lock_guard<std::mutex> lock(mutex_);
    request_ = request;
    since_ = Clock::now();
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    request_ = nullptr;
  }
  // Empties `request`, closing it unless the watcher did.
  void drop(Internet &request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ == request.get()) {
      (void)request.release();
      closed_ = nullptr;
    }
    request.reset();
  }
  // The download is over: the watcher ends.
  void finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    wake_.notify_all();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!finished_) {
      wake_.wait_for(lock, std::chrono::milliseconds(200));
      if (!finished_ && request_ && cancelled() &&
          Clock::now() - since_ > std::chrono::milliseconds(200)) {
        ::WinHttpCloseHandle(request_);
        closed_ = request_;
        request_ = nullptr;
      }
    }
  }

  const std::atomic<bool> *flag_;
  std::mutex mutex_;
  std::condition_variable wake_;
  HINTERNET request_ = nullptr;  // being waited on
  HINTERNET closed_ = nullptr;   // closed here; its owner must not close it again
  Clock::time_point since_;
  bool finished_ = false;
};

bool isRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What a transfer asks of the exchange with the server.
struct Plan {
  bool userAgent = true;
  std::string token;                  // bearer header when not empty
  const std::string *form = nullptr;  // a form body: the request is a POST
  bool followRedirects = true;
  Clock::time_point deadline = Clock::time_point::max();
  int stallMs = 0;                // 0: none
  int connectMs = 0;              // the name lookup, and the connection, each; 0: as any step
  Resume resume;                  // from 0: the whole answer
  CancelWatch *cancel = nullptr;  // set when the transfer may be cancelled
};

bool cancelled(const Plan &plan) { return plan.cancel && plan.cancel->cancelled(); }

// A call on `request` that may wait, made interruptible by the plan's cancel.
// GetLastError() afterwards is still the call's own.
template <class Call>
bool waitOn(HINTERNET request, const Plan &plan, Call &&call) {
  if (cancelled(plan)) return false;
  if (!plan.cancel) return call();
  plan.cancel->enter(request);
  const bool ok = call();
  const DWORD error = ::GetLastError();
  plan.cancel->leave();
  ::SetLastError(error);
  return ok && !cancelled(plan);
}

// Milliseconds the next step may take: what is left of the transfer's time
// (at most the stall limit), or 0 when nothing is left.
int stepMs(const Plan &plan) {
  long long ms = INT_MAX;
  if (plan.deadline != Clock::time_point::max()) {
    ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(plan.deadline - Clock::now()).count();
  }
  if (plan.stallMs > 0) ms = std::min<long long>(ms, plan.stallMs);
  return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
}

struct Response {
  Internet connection;
  Internet request;  // ready for its body to be read
  int64_t status = 0;
  FirstHop firstHop;
  // Why the last exchange got no answer, once its request was on its way:
  // WinHTTP's error, and how long it had waited since the request went.
  DWORD error = 0;
  Clock::duration waited{};
};

std::optional<std::wstring> header(HINTERNET request, DWORD which) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  value.resize(size / sizeof(wchar_t));
  return value;
}

// Bounds the next wait for the service's bytes: each piece of them, and all
// of an answer's headers where Windows has that limit (Vista on). Wine reads
// the headers inside WinHttpSendRequest already, under the second.
bool limitReceive(HINTERNET request, DWORD ms) {
  ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
  return ms > 0 && ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
}

// Content-Length as libcurl reads it; -1 when the answer has none.
int64_t contentLength(HINTERNET request) {
  auto length = header(request, WINHTTP_QUERY_CONTENT_LENGTH);
  return length ? std::wcstoll(length->c_str(), nullptr, 10) : -1;
}

// One request and its response headers on `target`; false when no response
// came, and then `out.error` says why once the request was on its way.
bool exchange(const Target &target, const Plan &plan, bool withBearer, Response &out) {
  if (plan.cancel) plan.cancel->drop(out.request);
  out.request.reset();
  out.error = 0;
  out.connection.reset(::WinHttpConnect(session(), target.host.c_str(), target.port, 0));
  if (!out.connection) return false;
  const wchar_t *method = plan.form ? L"POST" : L"GET";
  // The URL goes out as the plug-in built it: its query values are escaped already.
  out.request.reset(::WinHttpOpenRequest(out.connection.get(), method, target.path.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         (target.secure ? WINHTTP_FLAG_SECURE : 0) |
                                             WINHTTP_FLAG_ESCAPE_DISABLE |
                                             WINHTTP_FLAG_ESCAPE_DISABLE_QUERY));
  HINTERNET request = out.request.get();
  if (!request) return false;
  DWORD off = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  ::WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &off, sizeof off);
  // Certificates are checked as Windows checks them; no error is ever
  // waived (no WINHTTP_OPTION_SECURITY_FLAGS).

  std::wstring headers;
  if (plan.userAgent) headers += L"User-Agent: " + widen(kUserAgent) + L"\r\n";
  if (withBearer) headers += L"Authorization: Bearer " + widen(plan.token) + L"\r\n";
  if (plan.resume.from > 0) {
    headers += L"Range: bytes=" + std::to_wstring(plan.resume.from) + L"-\r\n";
    if (!plan.resume.validator.empty()) {
      headers += L"If-Range: " + widen(plan.resume.validator) + L"\r\n";
    }
  }
  // As libcurl sends a form: the body up to its first NUL.
  DWORD bodyBytes = 0;
  if (plan.form) {
    headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
    bodyBytes = static_cast<DWORD>(std::strlen(plan.form->c_str()));
  }

  // Resolving, connecting and sending happen inside WinHttpSendRequest, each
  // with its own time-out, set from what was left when it began; waiting for
  // the answer's headers gets what is left after that. WinHTTP bounds the
  // name lookup and the connection apart, not together as libcurl does, and
  // puts the TLS handshake under the send and receive time-outs. Each of the
  // first two gets the whole connection budget: where the network works a
  // lookup takes a moment, and where it does not the connection is never
  // tried, so a click pays for one of them, not both. The handshake and the
  // request get the silence, as every wait for the service's bytes does. So a
  // port that drops connections costs a click the connection budget, and one
  // that takes them and never answers costs it the silence, as with libcurl.
  const auto sending = Clock::now();
  auto failed = [&out, sending] {
    out.error = ::GetLastError();
    out.waited = Clock::now() - sending;
    return false;
  };
  const int ms = stepMs(plan);
  const int connectMs = plan.connectMs > 0 ? std::min(plan.connectMs, ms) : ms;
  if (ms == 0) ::SetLastError(ERROR_WINHTTP_TIMEOUT);  // the transfer's time is up
  if (ms == 0 || !::WinHttpSetTimeouts(request, connectMs, connectMs, ms, ms) ||
      !limitReceive(request, static_cast<DWORD>(ms)) || !waitOn(request, plan, [&] {
        return ::WinHttpSendRequest(
                   request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                   static_cast<DWORD>(headers.size()),
                   plan.form ? const_cast<char *>(plan.form->c_str()) : WINHTTP_NO_REQUEST_DATA,
                   bodyBytes, bodyBytes, 0) != FALSE;
      })) {
    return failed();
  }
  if (!limitReceive(request, static_cast<DWORD>(stepMs(plan))) ||
      !waitOn(request, plan, [&] { return ::WinHttpReceiveResponse(request, nullptr) != FALSE; })) {
    return failed();
  }
  DWORD status = 0, size = sizeof status;
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  out.status = status;
  return true;
}

// Why a request that went out got no status line, in a few words; those the
// libcurl transport uses where WinHTTP tells the same.
std::string failureOf(const Response &response) {
  switch (response.error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "nombre no resuelto";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "sin conexión";
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: {  // Wine passes the socket's own on
      // Which time-out ran out cannot be told from the error, nor from the
      // call that failed (Wine waits for the answer's headers inside
      // WinHttpSendRequest, Windows after it); how long it waited says it.
      using std::chrono::milliseconds;
      const auto ms = std::chrono::duration_cast<milliseconds>(response.waited).count();
      return "sin respuesta en " + std::to_string((ms + 500) / 1000) + " s";
    }
    default:
      return "error " + std::to_string(response.error) + " de WinHTTP";
  }
}

// Reads the body to its end into `sink`; false when the transfer broke off,
// ran out of time or the sink refused more.
template <class Sink>
bool readBody(HINTERNET request, const Plan &plan, Sink &&sink) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    if (!limitReceive(request, static_cast<DWORD>(stepMs(plan)))) return false;
    // Waits for some bytes, not for a whole buffer, so that the time left is
    // looked at again as each piece arrives. None available is the end, which
    // the read of nothing then confirms: only a body read to its end lets
    // WinHTTP keep the connection.
    DWORD available = 0, got = 0;
    if (!waitOn(request, plan,
                [&] { return ::WinHttpQueryDataAvailable(request, &available) != FALSE; })) {
      return false;
    }
    const DWORD want = available ? std::min(available, static_cast<DWORD>(buffer.size()))
                                 : static_cast<DWORD>(buffer.size());
    if (!waitOn(request, plan,
                [&] { return ::WinHttpReadData(request, buffer.data(), want, &got) != FALSE; })) {
      return false;
    }
    if (got == 0) return true;
    if (!sink(buffer.data(), static_cast<size_t>(got))) return false;
  }
}

// Sends the request and, for a GET, follows its redirects; afterwards
// `out.status` is the last status received (0 when none). False when the
// final response was not reached.
bool send(const std::string &url, const Plan &plan, Response &out) {
  std::string current = url;
  std::optional<Target> first = crack(url);
  std::optional<Target> target = first;
  for (int hop = 0;; ++hop) {
    if (!target) return false;
    // The token travels only to the origin it was given for, as libcurl
    // keeps it.
    const bool bearer = !plan.token.empty() && target->origin() == first->origin();
    const bool answered = exchange(*target, plan, bearer, out);
    if (hop == 0) {
      out.firstHop.answered = answered;
      if (!answered && out.error != 0 && !cancelled(plan)) out.firstHop.failure = failureOf(out);
    }
    if (!answered) return false;
    if (!plan.followRedirects || !isRedirect(static_cast<DWORD>(out.status))) return true;
    auto location = header(out.request.get(), WINHTTP_QUERY_LOCATION);
    if (!location) return true;  // a 3xx without a place to go is the answer
    // One redirect past the limit ends the request, its status the redirect's,
    // as libcurl ends it. Read to its end, the redirect's own body lets
    // WinHTTP keep the connection.
    if (hop == kMaxRedirects ||
        !readBody(out.request.get(), plan, [](const char *, size_t) { return true; })) {
      return false;
    }
    current = resolveLocation(current, narrow(*location));
    target = crack(current);
  }
}

// A transfer whose answer is held in memory: status 0 and the bytes that
// came unless it ran to its end; nothing of an answer past kMaxAnswerBytes.
HttpResult inMemory(const std::string &url, const Plan &plan) {
  HttpResult result;
  Response response;
  if (!session()) return result;
  const bool sent = send(url, plan, response);
  result.firstHop = std::move(response.firstHop);
  if (!sent) return result;
  // An answer announced larger than the ceiling is refused before a byte of it is read.
  if (contentLength(response.request.get()) > static_cast<int64_t>(kMaxAnswerBytes)) return result;
  std::string &body = result.body;
  const bool whole = readBody(response.request.get(), plan, [&body](const char *data, size_t n) {
    if (body.size() + n > kMaxAnswerBytes) {
      std::string().swap(body);
      return false;
    }
    body.append(data, n);
    return true;
  });
  if (whole) result.status = response.status;
  return result;
}

// The last answer's headers, as a Transfer describes them.
void describe(HINTERNET request, Transfer &transfer) {
  auto text = [request](DWORD which) { return narrow(header(request, which).value_or(L"")); };
  transfer.length = contentLength(request);
  if (transfer.status == 206) {
    const ContentRange range = readContentRange(text(WINHTTP_QUERY_CONTENT_RANGE));
    transfer.rangeStart = range.start;
    transfer.rangeTotal = range.total;
  }
  transfer.validator = validatorOf(text(WINHTTP_QUERY_ETAG), text(WINHTTP_QUERY_LAST_MODIFIED));
  transfer.webPage = isWebPage(text(WINHTTP_QUERY_CONTENT_TYPE));
}

// A request the host waits for, with the budgets http.h gives it.
Plan awaited() {
  Plan plan;
  plan.deadline = Clock::now() + std::chrono::seconds(kRequestSeconds);
  plan.stallMs = static_cast<int>(kSilenceSeconds * 1000);
  plan.connectMs = static_cast<int>(kConnectSeconds * 1000);
  return plan;
}

}  // namespace

HttpResult httpGetWithToken(const std::string &url, const std::string &token) {
  Plan plan = awaited();
  plan.token = token;
  return inMemory(withToken(url, token), plan);
}

HttpResult httpPostForm(const std::string &url, const std::string &body) {
  Plan plan = awaited();
  plan.form = &body;
  plan.followRedirects = false;
  return inMemory(url, plan);
}

Transfer httpDownload(const std::string &url, const std::string &token, const ByteSink &sink,
                      const TransferLimit &limit, const Resume &resume) {
  Transfer result;
  Plan plan;
  plan.userAgent = false;
  plan.token = token;
  plan.resume = resume;
  if (limit.totalSeconds > 0)
    plan.deadline = Clock::now() + std::chrono::seconds(limit.totalSeconds);
  if (limit.stallSeconds > 0) {
    plan.stallMs = static_cast<int>(std::min<long long>(limit.stallSeconds * 1000LL, INT_MAX));
  }
  if (!session()) return result;
  const std::shared_ptr<CancelWatch> watch = CancelWatch::start(limit.cancelled);
  plan.cancel = watch.get();
  Response response;
  // However the transfer ends, the watcher stops and the request is closed once.
  struct Ending {
    CancelWatch *watch;
    Response &response;
    ~Ending() {
      if (!watch) return;
      watch->drop(response.request);
      watch->finish();
    }
  } ending{watch.get(), response};
  const bool sent = send(url, plan, response);
  result.status = response.status;
  result.firstHop = std::move(response.firstHop);
  if (sent) {
    describe(response.request.get(), result);
    result.completed = readBody(response.request.get(), plan, [&sink](const char *data, size_t n) {
      try {
        return sink(data, n);
      } catch (...) {
        return false;  // the sink's failure ends the transfer, as a refusal does
      }
    });
  }
  return result;
}

}  // namespace tvoz
