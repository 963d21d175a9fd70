// The simulator's own HTTP client on WinHTTP: the browser that the sign-in
// page is opened in (redirects followed, as a browser does), and direct
// requests to the demo service to learn what the plug-in should have passed
// on. Written apart from the plug-in's transport, so as not to share its
// mistakes.
#pragma once

#include <string>

namespace hostwin {

struct WebAnswer {
  long status = 0;  // 0: no answer
  std::string body;
};

// GET `url`, following redirects; `bearer` goes as an Authorization header
// when not empty.
WebAnswer webGet(const std::string &url, const std::string &bearer = "");

}  // namespace hostwin
