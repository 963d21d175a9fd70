// What every transport shares: how the token goes into a URL, and which
// token an authorised request carries.
#include "service/http.h"

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
  static auto *m = new Marks();  // never destroyed: detached threads may outlive the statics
  return *m;
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

HttpResult httpGet(const std::string &url, bool authorised) {
  // One read of the token, so the query and the header always carry the same one.
  return httpGetWithToken(url, authorised ? accessToken() : std::string());
}

}  // namespace tvoz
