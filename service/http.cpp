#include "service/http.h"

#include <mutex>
#include <new>

#include "account/tokens.h"

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

void ensureCurlReady() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlEasy newEasyHandle() {
  ensureCurlReady();
  CurlEasy h(curl_easy_init());
  if (h) curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
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
