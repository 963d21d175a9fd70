// What every transport shares: how the token goes into a URL, and which
// token an authorised request carries.
#include "service/http.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "service/tokens.h"

namespace tvoz {

namespace {

// The marked threads, by id rather than in thread-local storage: a module
// the host loads at run time keeps its thread-local variables in memory the
// loader frees as threads end, out of sight of the race detector.
struct Marks {
  std::mutex mutex;
  std::multiset<std::thread::id> threads;
};
Marks &marks() {
  static Marks &m = *new Marks();  // never destroyed: detached threads may outlive the statics
  return m;
}

}  // namespace

BackgroundTransfers::BackgroundTransfers() {
  std::lock_guard<std::mutex> lock(marks().mutex);
  marks().threads.insert(std::this_thread::get_id());
}

BackgroundTransfers::~BackgroundTransfers() {
  std::lock_guard<std::mutex> lock(marks().mutex);
  marks().threads.erase(marks().threads.find(std::this_thread::get_id()));
}

bool BackgroundTransfers::active() {
  std::lock_guard<std::mutex> lock(marks().mutex);
  return marks().threads.count(std::this_thread::get_id()) > 0;
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

namespace {

std::string lowerCase(std::string text) {
  for (auto &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The decimal number at the start of `text`; -1 when there is none or it
// does not fit.
int64_t leadingNumber(const char *text, const char **end) {
  *end = text;
  if (!std::isdigit(static_cast<unsigned char>(*text))) return -1;
  errno = 0;
  char *stop = nullptr;
  const long long n = std::strtoll(text, &stop, 10);
  *end = stop;
  return errno == ERANGE ? -1 : n;
}

}  // namespace

ContentRange readContentRange(const std::string &value) {
  // "bytes <start>-<end>/<total>", the total "*" when the server does not know it.
  ContentRange range;
  const std::string text = trimmed(value);
  if (lowerCase(text.substr(0, 6)) != "bytes ") return range;
  const char *at = text.c_str() + 6;
  while (*at == ' ') ++at;
  const char *end = nullptr;
  const int64_t start = leadingNumber(at, &end);
  if (start < 0 || *end != '-') return range;
  const int64_t last = leadingNumber(end + 1, &end);
  if (last < start || *end != '/') return range;
  range.start = start;
  if (end[1] != '*') {
    const int64_t total = leadingNumber(end + 1, &end);
    if (total > last && *end == '\0') range.total = total;
  }
  return range;
}

std::string validatorOf(const std::string &etag, const std::string &lastModified) {
  const std::string tag = trimmed(etag);
  if (!tag.empty() && tag.compare(0, 2, "W/") != 0) return tag;
  return trimmed(lastModified);
}

bool isWebPage(const std::string &contentType) {
  const std::string type = lowerCase(trimmed(contentType.substr(0, contentType.find(';'))));
  return type == "text/html";
}

HttpResult httpGet(const std::string &url, bool authorised) {
  // One read of the token, so the query and the header always carry the same one.
  return httpGetWithToken(url, authorised ? accessToken() : std::string());
}

}  // namespace tvoz
