#include "account/signin.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "account/device.h"
#include "account/tokens.h"
#include "dialogs/dialogs.h"
#include "plugin/json_fields.h"
#include "plugin/local_files.h"
#include "plugin/platform.h"
#include "service/api.h"
#include "service/http.h"
#include "service/url.h"

namespace tvoz {

namespace {

constexpr char kReply[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Connection: close\r\n"
    "\r\n"
    "<html><body style='font-family:sans-serif;text-align:center;padding-top:80px;"
    "background:#111;color:#eee'><h2>Tornavoz</h2><p>Sesion iniciada. Ya puedes volver a "
    "VirtualDJ.</p></body></html>";

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Sockets must not leak into the programs the plug-in starts (the browser
// opener and what it launches would hold the port open).
void closeOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

// Reads "access_token" and "refresh_token" from a 200 answer; nothing when
// the answer is not a JSON object with string members, so that memory and
// the token file never hold half of a grant.
std::optional<std::pair<std::string, std::string>> grantedTokens(const std::string &body) {
  auto root = parseJson(body);
  if (!root || !root->is_object()) return std::nullopt;
  try {
    return std::make_pair(readString(*root, "access_token"), readString(*root, "refresh_token"));
  } catch (const json::exception &) {
    return std::nullopt;
  }
}

std::string serviceMessage(const std::string &body) {
  auto root = parseJson(body);
  if (!root || !root->is_object()) return "";
  try {
    return readString(*root, "message");
  } catch (const json::exception &) {
    return "";
  }
}

// The authorisation-code grant. The code goes out exactly as it came.
void exchangeCode(const std::string &code) {
  std::string body = "grant_type=authorization_code&code=" + code +
                     "&device=" + urlEscape(deviceId()) +
                     "&device_name=" + urlEscape(deviceName());
  HttpResult grant = httpPostForm(tokenEndpoint(), body);
  if (grant.status == 200) {
    if (auto tokens = grantedTokens(grant.body)) storeTokens(tokens->first, tokens->second);
    return;
  }
  logLine("exchangeCode falló: " + std::to_string(grant.status) + " " + grant.body.substr(0, 160));
  std::string message = serviceMessage(grant.body);
  if (!message.empty()) tvoz_alert_mac(message.c_str());
}

// Serves the one connection the browser makes to `listenFd`, which it owns.
void loopbackThread(int listenFd) noexcept {
  try {
    Socket listener(listenFd);
    int fd;
    do {
      fd = ::accept(listener.get(), nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    std::string code;
    {
      Socket conn(fd);
      closeOnExec(fd);
      char buf[8192];
      ssize_t n;
      do {
        n = ::recv(fd, buf, sizeof buf - 1, 0);
      } while (n < 0 && errno == EINTR);
      if (n > 0) {
        buf[n] = '\0';
        code = extractCode(buf, static_cast<size_t>(n));
      }
      sendNoSignal(fd, kReply, sizeof kReply - 1);
    }
    if (!code.empty()) {
      exchangeCode(code);
      logLine("login OK (code capturado)");
    } else {
      logLine("loopback: no llego code");
    }
  } catch (...) {
    // A detached thread has no one to report to; the host must go on.
  }
}

}  // namespace

std::string extractCode(const char *data, size_t size) {
  std::string text(data, ::strnlen(data, size));
  auto at = text.find("code=");
  if (at == std::string::npos) return "";
  at += 5;
  return text.substr(at, text.find_first_of("& \r\n", at) - at);
}

HRESULT startLogin() {
  Socket sock(::socket(AF_INET, SOCK_STREAM, 0));
  if (sock.get() < 0) {
    logLine("socket() falló");
    return S_OK;
  }
  closeOnExec(sock.get());
  int one = 1;
  ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  // Without the port read back there is no address to redirect to.
  if (::bind(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(sock.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    logLine("bind() falló");
    return S_OK;
  }
  const std::string port = std::to_string(ntohs(addr.sin_port));
  if (::listen(sock.get(), 1) != 0) {
    logLine("listen() falló");
    return S_OK;
  }

  const std::string url =
      serviceOrigin() + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" + port + "/";
  logLine("startLogin puerto=" + port + " url=" + url);
  try {
    std::thread listener(loopbackThread, sock.get());
    sock.release();  // the thread owns it now
    listener.detach();
  } catch (...) {
    return S_OK;  // no thread to serve it: the socket closes here
  }
  openUrl(url);
  return S_OK;
}

HRESULT onOAuth(const char *accessToken, ULONG, const char *refreshToken, const char *code,
                const char *errorMessage) {
  logLine(std::string("OnOAuth: code=") + (code ? code : "(null)") +
          " access=" + (accessToken ? "SI" : "no") +
          " err=" + (errorMessage ? errorMessage : "(null)"));
  if (errorMessage && *errorMessage) {
    logLine(std::string("OAuth error: ") + errorMessage);
  } else if (code && *code) {
    exchangeCode(code);
  } else if (accessToken && *accessToken) {
    std::optional<std::string> refresh;
    if (refreshToken && *refreshToken) refresh = refreshToken;
    storeTokens(accessToken, refresh);
  }
  return S_OK;
}

}  // namespace tvoz
