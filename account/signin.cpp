#include "account/signin.h"

#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "core/platform.h"
#include "core/threads.h"
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

// A connection that sends nothing for this long is dropped, and the listener
// waits for the next one; one that nobody completes ends after its life.
constexpr auto kIdleConnection = std::chrono::seconds(5);
constexpr auto kListenerLife = std::chrono::minutes(10);

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
  const SessionMark mark = sessionMark();
  std::string body = "grant_type=authorization_code&code=" + code +
                     "&device=" + urlEscape(deviceId()) +
                     "&device_name=" + urlEscape(deviceName());
  HttpResult grant = tokenGrant(body);
  if (grant.status == 200) {
    auto tokens = readCodeGrant(grant.body);
    // A sign-out (or another sign-in) while the code was away wins.
    if (tokens && !startSession(mark, tokens->access, tokens->refresh)) {
      logLine("exchangeCode descartado: la sesión cambió mientras tanto");
    }
    return;
  }
  logLine("exchangeCode falló: " + std::to_string(grant.status) + " " + grant.body.substr(0, 160));
  std::string message = serviceMessage(grant.body);
  if (!message.empty()) tvoz_alert_mac(message.c_str());
}

}  // namespace

void serveSignIn(LoopbackListener listener, std::chrono::steady_clock::duration life) noexcept {
  try {
    auto request =
        listener.awaitRequest(std::chrono::steady_clock::now() + life, kIdleConnection, 8191);
    if (!request) {
      logLine("loopback: nadie volvio, puerto cerrado");
      return;
    }
    const std::string code = extractCode(request->data(), request->size());
    listener.reply(kReply);
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
  LoopbackListener listener;
  switch (listener.failure()) {
    case LoopbackListener::Failure::Socket:
      return logLine("socket() falló");
    case LoopbackListener::Failure::Bind:
      return logLine("bind() falló");
    case LoopbackListener::Failure::Listen:
      return logLine("listen() falló");
    case LoopbackListener::Failure::None:
      break;
  }
  const std::string port = std::to_string(listener.port());
  const std::string url =
      serviceOrigin() + "/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:" + port + "/";
  logLine("startLogin puerto=" + port + " url=" + url);
  auto shared = std::make_shared<LoopbackListener>(std::move(listener));
  if (!startThread([shared] { serveSignIn(std::move(*shared), kListenerLife); })) {
    return;  // no thread to serve it: the listener closes here
  }
  openUrl(url);
}

void onOAuth(const char *accessToken, const char *refreshToken, const char *code,
             const char *errorMessage) {
  // The log goes to support: the code could still be traded for tokens.
  logLine(std::string("OnOAuth: code=") + (code ? "***" : "(null)") +
          " access=" + (accessToken ? "SI" : "no") +
          " err=" + (errorMessage ? errorMessage : "(null)"));
  if (errorMessage && *errorMessage) {
    logLine(std::string("OAuth error: ") + errorMessage);
  } else if (code && *code) {
    exchangeCode(code);
  } else if (accessToken && *accessToken) {
    std::optional<std::string> refresh;
    if (refreshToken && *refreshToken) refresh = refreshToken;
    startSession(sessionMark(), accessToken, refresh);
  }
}

}  // namespace tvoz
