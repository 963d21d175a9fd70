// The browser's request to the sign-in listener, as the authorisation code is
// taken out of it.
#include <cassert>
#include <string>

#include "account/signin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string code = tvoz::extractCode(reinterpret_cast<const char *>(data), size);
  // The code goes into the grant's form body unescaped: it must not be able
  // to add a field or end the request line.
  assert(code.find_first_of(std::string("& \r\n\0", 5)) == std::string::npos &&
         "the code holds a separator");
  return 0;
}
