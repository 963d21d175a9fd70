// Percent-encoding of query values.
#pragma once

#include <string>

namespace tvoz {

// libcurl's escaping of `text` up to its first NUL: letters, digits and
// "-._~" stay, every other byte becomes %XX (upper case). Empty when the
// escaping fails.
std::string urlEscape(const std::string &text);

}  // namespace tvoz
