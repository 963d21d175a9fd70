// What every transport shares: how the token goes into a URL, and which
// token an authorised request carries.
#include "service/http.h"

#include "service/tokens.h"

namespace tvoz {

thread_local bool BackgroundTransfers::active_ = false;

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
