#include "core/win_text.h"

#include <climits>
#include <cwchar>
#include <windows.h>

namespace tvoz {

std::wstring widen(const std::string &utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return std::wstring();
  const int in = static_cast<int>(utf8.size());
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, out.data(), n);
  return out;
}

std::string narrow(const wchar_t *utf16, size_t length) {
  if (!utf16 || length == 0 || length > INT_MAX) return std::string();
  const int in = static_cast<int>(length);
  int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16, in, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, utf16, in, out.data(), n, nullptr, nullptr);
  return out;
}

std::string narrow(const std::wstring &utf16) { return narrow(utf16.data(), utf16.size()); }

}  // namespace tvoz
