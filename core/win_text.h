// UTF-8 inside the plug-in, UTF-16 at every Windows call: the two
// conversions, in one place. Windows only. Any thread; throws only
// std::bad_alloc.
#pragma once

#include <string>

namespace tvoz {

// Invalid UTF-8 sequences become U+FFFD, as Windows converts them.
std::wstring widen(const std::string &utf8);
// Unpaired surrogates become U+FFFD.
std::string narrow(const wchar_t *utf16, size_t length);
std::string narrow(const std::wstring &utf16);

}  // namespace tvoz
