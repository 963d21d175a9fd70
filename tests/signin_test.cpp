#include <string>

#include <gtest/gtest.h>

#include "account/signin.h"

using tvoz::extractCode;

namespace {

std::string codeIn(const std::string &request) {
  return extractCode(request.data(), request.size());
}

// A literal's bytes, zero bytes included.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

}  // namespace

TEST(Signin, ExtractCodeTakesTheTextAfterTheFirstCodeEquals) {
  struct Case {
    const char *name;
    std::string request;
    std::string code;
  };
  const Case cases[] = {
      {"followed by more parameters", "GET /?code=abc123&state=x HTTP/1.1\r\nHost: a\r\n\r\n",
       "abc123"},
      {"last on the request line", "GET /?code=abc123 HTTP/1.1\r\n\r\n", "abc123"},
      {"at the very end of the data", "GET /?code=abc123", "abc123"},
      {"ended by a bare line feed", "GET /?code=abc\nHost: a", "abc"},
      {"escapes are kept as sent", "GET /?code=a%2Fb%3D HTTP/1.1\r\n", "a%2Fb%3D"},
      {"inside a longer parameter name", "GET /?error_code=denied&code=real HTTP/1.1\r\n",
       "denied"},
      {"only in a header", "GET /favicon.ico HTTP/1.1\r\nX-Promo-code=zz9\r\n\r\n", "zz9"},
      {"fewer than five bytes", "code", ""},
      {"nothing after it", "GET /?code= HTTP/1.1\r\n", ""},
      {"no code at all", "GET /?error=access_denied HTTP/1.1\r\n\r\n", ""},
      {"empty", "", ""},
      {"a zero byte ends the text", bytes("GET /?x=1\0&code=hidden HTTP/1.1"), ""},
      {"a zero byte ends the code", bytes("GET /?code=ab\0cd HTTP/1.1"), "ab"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(codeIn(c.request), c.code);
  }
}
