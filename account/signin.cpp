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
#include <utility>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "core/platform.h"
#include "dialogs/dialogs.h"
#include "service/api.h"
#include "service/device.h"
#include "service/http.h"
#include "service/tokens.h"
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
    if (auto tokens = readCodeGrant(grant.body)) storeTokens(tokens->access, tokens->refresh);
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

std::optional<CodeGrant> readCodeGrant(const std::string &body) {
  auto root = parseJson(body);
  if (!root || !root->is_object()) return std::nullopt;
  try {
    // Both read before either is kept.
    std::string access = readString(*root, "access_token");
    std::string refresh = readString(*root, "refresh_token");
    return CodeGrant{std::move(access), std::move(refresh)};
  } catch (const json::exception &) {
    return std::nullopt;
  }
}

void startLogin() {
  Socket sock(::socket(AF_INET, SOCK_STREAM, 0));
  if (sock.get() < 0) {
    logLine("socket() falló");
    return;
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
    return;
  }
  const std::string port = std::to_string(ntohs(addr.sin_port));
  if (::listen(sock.get(), 1) != 0) {
    logLine("listen() falló");
    return;
  }

  const std::string url =
      serviceOrigin() + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" + port + "/";
  logLine("startLogin puerto=" + port + " url=" + url);
  try {
    std::thread listener(loopbackThread, sock.get());
    sock.release();  // the thread owns it now
    listener.detach();
  } catch (...) {
    return;  // no thread to serve it: the socket closes here
  }
  openUrl(url);
}

void onOAuth(const char *accessToken, const char *refreshToken, const char *code,
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
}

}  // namespace tvoz
