// Percent-encoding of query values.
#pragma once

#include <string>

namespace tvoz {

// `text` up to its first NUL with letters, digits and "-._~" kept and every
// other byte written as %XX (upper case), as libcurl's curl_easy_escape does;
// one rule for every platform, libcurl or not.
std::string urlEscape(const std::string &text);

}  // namespace tvoz
