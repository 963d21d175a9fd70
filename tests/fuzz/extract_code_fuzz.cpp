// The browser's request to the loopback listener, as the sign-in takes the
// authorisation code out of it.
#include <string>

#include "account/signin.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *request = reinterpret_cast<const char *>(data);
  const std::string code = tvoz::extractCode(request, size);
  // The code goes into the grant's form body unescaped: it must not be able
  // to add a field or end the request line.
  check(code.find_first_of(std::string("& \r\n\0", 5)) == std::string::npos,
        "the code holds a separator");
  check(code.empty() || std::string(request, size).find("code=" + code) != std::string::npos,
        "the code is not what follows \"code=\" in the request");
  return 0;
}
