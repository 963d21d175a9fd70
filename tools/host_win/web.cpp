#include "tools/host_win/web.h"

#include <memory>

#include <windows.h>
#include <winhttp.h>

namespace hostwin {

namespace {

struct Closer {
  void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
using Handle = std::unique_ptr<void, Closer>;

std::wstring wide(const std::string &s) {
  std::wstring out(s.size(), L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(),
                              static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

}  // namespace

WebAnswer webGet(const std::string &url, const std::string &bearer) {
  WebAnswer answer;
  std::wstring u = wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(u.c_str(), 0, 0, &parts)) return answer;
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

  Handle session(WinHttpOpen(L"tvoz-host-win", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return answer;
  WinHttpSetTimeouts(session.get(), 20000, 20000, 20000, 20000);
  Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return answer;
  Handle request(
      WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES,
                         parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return answer;
  std::wstring headers = bearer.empty() ? L"" : L"Authorization: Bearer " + wide(bearer);
  if (!WinHttpSendRequest(request.get(),
                          headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return answer;
  }
  DWORD status = 0, size = sizeof status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  char buffer[16384];
  DWORD got = 0;
  while (WinHttpReadData(request.get(), buffer, sizeof buffer, &got) && got > 0) {
    answer.body.append(buffer, got);
  }
  answer.status = static_cast<long>(status);
  return answer;
}

}  // namespace hostwin
