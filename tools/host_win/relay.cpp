#include "tools/host_win/relay.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace hostwin {

namespace {

constexpr size_t kMaxAnswerBytes = size_t{64} << 20;  // the plug-in's ceiling

void sendAll(SOCKET s, const std::string &bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    int n = send(s, bytes.data() + sent,
                 static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20)), 0);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// A 200 answer with its length announced; or, when `size` > 0, `body`
// padded with blanks to that many bytes, whose size shows only as it arrives.
std::string answer(std::string body, size_t size = 0) {
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (size > 0) body.resize(size, ' ');
  return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + (size > 0 ? "" : length) + "\r\n" + body;
}

std::string oneTrack(const std::string &id, const std::string &title) {
  return answer("{\"tracks\":[{\"id\":\"" + id + "\",\"title\":\"" + title +
                "\",\"ext\":\"wav\"}]}");
}

// A header's value in a request head, its name given in lower case.
std::string headerOf(const std::string &head, const std::string &name) {
  std::string lower = head;
  for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at = head.find_first_not_of(' ', at + name.size() + 3);
  return head.substr(at, head.find("\r\n", at) - at);
}

}  // namespace

Relay::Relay(std::string next) : next_(std::move(next)) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (listener == INVALID_SOCKET ||
      bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
      listen(listener, 16) != 0) {
    return;
  }
  origin_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  std::thread([this, listener] {
    for (SOCKET s; (s = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;) {
      std::thread([this, s] { serve(s); }).detach();
    }
  }).detach();
}

std::vector<SeenRequest> Relay::seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void Relay::serve(unsigned long long connection) {
  const SOCKET s = static_cast<SOCKET>(connection);
  std::string pending;
  char buffer[16384];
  size_t end;
  // The head, then the body it announces, so that a POST is read whole before it is answered.
  while ((end = pending.find("\r\n\r\n")) == std::string::npos ||
         pending.size() <
             end + 4 +
                 std::strtoul(headerOf(pending.substr(0, end), "content-length").c_str(), nullptr,
                              10)) {
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return (void)closesocket(s);
    pending.append(buffer, static_cast<size_t>(n));
  }
  const std::string head = pending.substr(0, end);
  SeenRequest r;
  r.method = head.substr(0, head.find(' '));
  r.target =
      head.substr(r.method.size() + 1, head.find(' ', r.method.size() + 1) - r.method.size() - 1);
  r.authorization = headerOf(head, "authorization");
  r.range = headerOf(head, "range");
  r.at = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(r);
  }
  auto is = [&r](const char *route) { return r.target.find(route) != std::string::npos; };
  if (r.method == "POST") {
    sendAll(s, "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + next_ + r.target +
                   "\r\nConnection: close\r\nContent-Length: 14\r\n\r\n{\"moved\":true}");
  } else if (is("genero=tvoz-big-")) {
    sendAll(s, answer("{\"tracks\":[{\"id\":\"big\"}]}", kMaxAnswerBytes + is("big-over")));
  } else if (is("genero=tvoz-con")) {
    sendAll(s, oneTrack("tvoz-con", "CON"));
  } else if (is("genero=tvoz-stall")) {
    sendAll(s, oneTrack("tvoz-stall", "Lento"));
  } else if (is("download?file=tvoz-stall")) {
    sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nRIFF");
    std::this_thread::sleep_for(std::chrono::minutes(5));
  } else if (!next_.empty()) {
    sendAll(s, "HTTP/1.1 302 Found\r\nLocation: " + next_ + r.target +
                   "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  } else {
    sendAll(s, answer("RIFF device-name test"));
  }
  shutdown(s, SD_SEND);
  closesocket(s);
}

}  // namespace hostwin
