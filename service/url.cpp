#include "service/url.h"

#include <memory>

#include <curl/curl.h>

#include "service/http.h"

namespace tvoz {

std::string urlEscape(const std::string &text) {
  ensureCurlReady();
  std::unique_ptr<char, decltype(&curl_free)> escaped(curl_easy_escape(nullptr, text.c_str(), 0),
                                                      &curl_free);
  return escaped ? std::string(escaped.get()) : std::string();
}

}  // namespace tvoz
