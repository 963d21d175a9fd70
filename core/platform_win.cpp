#include <cctype>
#include <climits>
#include <cwchar>
#include <vector>

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shellapi.h>

#include "core/platform.h"
#include "core/win_text.h"

namespace tvoz {

namespace {

// Windows' own MachineGuid is canonical already; anything else in its place
// (a damaged or hand-edited value) gives no id rather than a wrong one.
std::string canonicalUuid(const std::string &text) {
  if (text.size() != 36) return "";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(c)) return "";
    out += static_cast<char>(std::tolower(c));
  }
  return out;
}

bool isDeviceName(const std::string &stem) {
  static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  auto same = [](const std::string &a, const char *b) {
    for (size_t i = 0;; ++i) {
      if (!b[i] || i == a.size()) return !b[i] && i == a.size();
      if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
  };
  for (const char *device : kDevices) {
    if (same(stem, device)) return true;
  }
  // COM0-COM9 and LPT0-LPT9, and the same with a superscript 1, 2 or 3 in UTF-8.
  if (stem.size() < 4 || !(same(stem.substr(0, 3), "COM") || same(stem.substr(0, 3), "LPT"))) {
    return false;
  }
  const std::string number = stem.substr(3);
  return (number.size() == 1 && std::isdigit(static_cast<unsigned char>(number[0]))) ||
         number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

std::string hostUuid() {
  wchar_t value[64];
  DWORD size = sizeof value;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return "";
  }
  return canonicalUuid(narrow(value, std::wcslen(value)));
}

namespace {
void pinAnchor() {}
}  // namespace

void pinModule() {
  static const bool pinned = [] {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               reinterpret_cast<LPCWSTR>(&pinAnchor), &module) != 0;
  }();
  (void)pinned;
}

std::string modulePathOf(const void *address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return "";
  }
  // A path may exceed MAX_PATH; the buffer grows until the name fits.
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "";
    if (n < path.size()) return narrow(path.data(), n);
    if (path.size() >= 32768) return "";
    path.resize(path.size() * 2);
  }
}

std::string hostName() {
  wchar_t name[256];
  DWORD size = 256;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return narrow(name, size);
}

bool randomBytes(unsigned char *out, size_t size) {
  if (size > ULONG_MAX) return false;
  return BCRYPT_SUCCESS(
      ::BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool openUrl(const std::string &url) {
  if (!isWebAddress(url)) return false;
  // The shell may hand the address to a COM handler, which wants the
  // calling thread in a single-threaded apartment; a thread the host has
  // already put in another apartment keeps it.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const std::wstring file = widen(url);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // No error box of the shell's own may stop the host's thread, and the
  // hand-over is finished before this returns.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool opened = ::ShellExecuteExW(&info) != FALSE;
  if (SUCCEEDED(com)) ::CoUninitialize();
  return opened;
}

std::string avoidReservedName(const std::string &name) {
  const size_t dot = name.find('.');
  std::string stem = name.substr(0, dot);
  // Windows ignores blanks at the end of the part before the extension.
  stem.erase(stem.find_last_not_of(' ') + 1);
  if (!isDeviceName(stem)) return name;
  std::string out = name;
  if (dot == std::string::npos) {
    out += '-';
  } else {
    out[dot] = '-';
  }
  return out;
}

}  // namespace tvoz
