#include "service/http.h"

#include <mutex>
#include <new>

#include "service/tokens.h"

namespace tvoz {

namespace {

constexpr const char *kUserAgent = "Tornavoz-VDJ/1.0";
constexpr long kTimeoutSeconds = 30;

// Runs the transfer; the status is read only when it completed.
HttpResult perform(CURL *h, HttpResult &result) {
  if (curl_easy_perform(h) == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    result.status = code;
  }
  return std::move(result);
}

}  // namespace

namespace {

// One connection cache, DNS cache and TLS session cache for the whole
// process, so that a click reuses the connection the last one opened instead
// of paying a TCP and a TLS handshake again. libcurl calls the lock functions
// around every use; each kind of data has its own mutex.
class SharedCaches {
 public:
  SharedCaches() : share_(curl_share_init()) {
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedCaches::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedCaches::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  CURLSH *get() const { return share_; }

 private:
  static void lock(CURL *, curl_lock_data data, curl_lock_access, void *self) {
    static_cast<SharedCaches *>(self)->mutexes_[index(data)].lock();
  }
  static void unlock(CURL *, curl_lock_data data, void *self) {
    static_cast<SharedCaches *>(self)->mutexes_[index(data)].unlock();
  }
  static size_t index(curl_lock_data data) {
    size_t i = static_cast<size_t>(data);
    return i < CURL_LOCK_DATA_LAST ? i : 0;
  }

  CURLSH *share_;
  std::mutex mutexes_[CURL_LOCK_DATA_LAST];
};

// Never destroyed: detached threads (play reports, the sign-in listener) may
// still be inside a transfer while the process exits.
SharedCaches *sharedCaches = nullptr;

}  // namespace

void ensureCurlReady() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    sharedCaches = new SharedCaches();
  });
}

CurlEasy newEasyHandle() {
  ensureCurlReady();
  CurlEasy h(curl_easy_init());
  if (!h) return h;
  curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
  // libcurl keeps only 5 idle connections by default and closes the rest;
  // the host's calls, play reports and the listener run side by side.
  curl_easy_setopt(h.get(), CURLOPT_MAXCONNECTS, 16L);
  if (sharedCaches->get()) curl_easy_setopt(h.get(), CURLOPT_SHARE, sharedCaches->get());
  return h;
}

CurlHeaders bearerHeader(const std::string &token) {
  if (token.empty()) return nullptr;
  return CurlHeaders(curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str()));
}

std::string withToken(const std::string &url) { return withToken(url, accessToken()); }

std::string withToken(const std::string &url, const std::string &token) {
  if (token.empty()) return url;
  std::string out = url;
  out += url.find('?') != std::string::npos ? "&" : "?";
  out += "access_token=";
  out += token;
  return out;
}

size_t writeStr(char *data, size_t size, size_t count, void *userp) {
  size_t n = size * count;
  try {
    static_cast<std::string *>(userp)->append(data, n);
  } catch (const std::bad_alloc &) {
    return 0;  // out of memory: abort the transfer rather than throw through libcurl
  }
  return n;
}

HttpResult httpGet(const std::string &url, bool authorised) {
  // One read of the token, so the query and the header always carry the same one.
  return httpGetWithToken(url, authorised ? accessToken() : std::string());
}

HttpResult httpGetWithToken(const std::string &url, const std::string &token) {
  HttpResult result;
  CurlEasy h = newEasyHandle();
  if (!h) return result;
  std::string effective = withToken(url, token);
  curl_easy_setopt(h.get(), CURLOPT_URL, effective.c_str());
  curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, writeStr);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(h.get(), CURLOPT_USERAGENT, kUserAgent);
  CurlHeaders headers = bearerHeader(token);
  if (headers) curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  return perform(h.get(), result);
}

HttpResult httpPostForm(const std::string &url, const std::string &body) {
  HttpResult result;
  CurlEasy h = newEasyHandle();
  if (!h) return result;
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, writeStr);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(h.get(), CURLOPT_USERAGENT, kUserAgent);
  return perform(h.get(), result);
}

}  // namespace tvoz
