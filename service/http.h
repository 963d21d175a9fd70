// Blocking HTTP requests whose answer is held in memory, on libcurl's easy
// interface. Every call creates and releases its own easy handle, so any
// thread may call any function here at any time; idle connections are kept
// for the next call. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <curl/curl.h>

namespace tvoz {

struct HttpResult {
  int64_t status = 0;  // last HTTP status; 0 when the transfer did not complete
  std::string body;    // the bytes received, as they came
};

// libcurl's global initialisation and the shared caches, made once per process
// before the first handle, whichever thread comes first.
void ensureCurlReady();

struct CurlEasyDeleter {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// A new easy handle with the settings every transfer of the plug-in shares:
// no signals (transfers run on many threads inside the host) and the
// process-wide connection, DNS and TLS session caches, so consecutive requests
// to the service reuse one open connection. Null on failure. Each handle
// belongs to the one thread that performs its transfer.
CurlEasy newEasyHandle();

// "Authorization: Bearer <token>", or null for an empty token.
CurlHeaders bearerHeader(const std::string &token);

// `url` with "access_token=<token>" appended after "?" or "&"; unchanged for
// an empty token. The one-argument form uses the stored access token.
std::string withToken(const std::string &url);
std::string withToken(const std::string &url, const std::string &token);

// GET `url`, following redirects. Authorised: the stored access token travels
// in the query and as a bearer header (neither when signed out).
HttpResult httpGet(const std::string &url, bool authorised);
// The same with a given token (empty: no credentials).
HttpResult httpGetWithToken(const std::string &url, const std::string &token);

// POST of an already-encoded form body; redirects are not followed.
HttpResult httpPostForm(const std::string &url, const std::string &body);

// libcurl write callback appending to the std::string behind `userp`.
size_t writeStr(char *data, size_t size, size_t count, void *userp);

}  // namespace tvoz
