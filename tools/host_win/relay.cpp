#include "tools/host_win/relay.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include <winsock2.h>
#include <windows.h>

namespace hostwin {

namespace {

constexpr size_t kMaxAnswerBytes = size_t{64} << 20;  // the plug-in's ceiling

bool sendAll(SOCKET s, const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = send(s, bytes.data() + sent,
                 static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20)), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string lower(std::string s) {
  for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// A JSON track list padded with blanks to `size` bytes.
std::string bigTrackList(size_t size) {
  std::string body = "{\"tracks\":[{\"id\":\"big\",\"title\":\"Grande\",\"bpm\":1,\"video\":0}]}";
  body.resize(size, ' ');
  return body;
}

}  // namespace

Relay::Relay(std::string next) : next_(std::move(next)) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
      listen(listener, 16) != 0) {
    closesocket(listener);
    return;
  }
  origin_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  std::thread([this, listener] { acceptLoop(listener); }).detach();
}

std::vector<SeenRequest> Relay::seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void Relay::acceptLoop(unsigned long long listener) {
  for (int number = 1;; ++number) {
    SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    std::thread([this, s, number] { serve(s, number); }).detach();
  }
}

void Relay::serve(unsigned long long connection, int number) {
  const SOCKET s = static_cast<SOCKET>(connection);
  std::string pending;
  char buffer[16384];
  for (;;) {
    // One request: its head up to the blank line, then Content-Length bytes.
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      int n = recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closesocket(s);
        return;
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
    SeenRequest request;
    request.connection = number;
    const std::string head = pending.substr(0, end);
    pending.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    request.method = first.substr(0, first.find(' '));
    request.target =
        first.substr(request.method.size() + 1, first.rfind(' ') - request.method.size() - 1);
    while (lineEnd != std::string::npos) {
      size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      std::string line =
          head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        request.headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
      }
    }
    const size_t length = std::strtoul(request.header("content-length").c_str(), nullptr, 10);
    while (pending.size() < length) {
      int n = recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closesocket(s);
        return;
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
    request.body = pending.substr(0, length);
    pending.erase(0, length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(request);
    }
    answer(connection, request);
  }
}

void Relay::answer(unsigned long long connection, const SeenRequest &request) {
  const SOCKET s = static_cast<SOCKET>(connection);
  const std::string &t = request.target;
  auto ok = [](const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  if (request.method == "POST") {
    const std::string body = "{\"moved\":true}";
    sendAll(s, "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + next_ + t +
                   "\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
  } else if (t.find("genero=tvoz-big-fits") != std::string::npos) {
    sendAll(s, ok(bigTrackList(kMaxAnswerBytes)));
  } else if (t.find("genero=tvoz-big-over") != std::string::npos) {
    // No length announced: the answer's size shows only as it arrives.
    sendAll(s, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n" +
                   bigTrackList(kMaxAnswerBytes + 1));
    shutdown(s, SD_BOTH);
  } else if (t.find("genero=tvoz-devices") != std::string::npos) {
    sendAll(s, ok("{\"tracks\":[{\"id\":\"tvoz-dev-1\",\"title\":\"con\",\"ext\":\"wav\"},"
                  "{\"id\":\"tvoz-dev-2\",\"title\":\"LPT9.mix\",\"ext\":\"wav\"}]}"));
  } else if (t.find("/download?file=tvoz-dev-") != std::string::npos) {
    sendAll(s, ok("RIFF device-name test"));
  } else if (t.find("genero=tvoz-slow") != std::string::npos) {
    // Bytes keep coming, each well within any one-read time-out, so only a
    // limit on the whole transfer ends it.
    if (!sendAll(
            s,
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{"))
      return;
    for (int i = 0; i < 30; ++i) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      if (!sendAll(s, " ")) break;
    }
    shutdown(s, SD_BOTH);
  } else {
    sendAll(s, "HTTP/1.1 302 Found\r\nLocation: " + next_ + t + "\r\nContent-Length: 0\r\n\r\n");
  }
}

}  // namespace hostwin
