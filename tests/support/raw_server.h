// A bare HTTP/1.1 server on 127.0.0.1 for what a real server library would
// refuse to do or to accept: answers cut off in the middle of the body, and
// requests of any size (a megabyte-long token in the query, a header and a
// form body). Every connection gets the bytes the test's responder returns,
// then the server closes it; one connection at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvoz_test {

struct RawRequest {
  std::string method;
  std::string target;  // path and query as sent
  std::string head;    // request line and headers
  std::string body;
};

// The bytes to send back for a request.
using RawResponder = std::function<std::string(const RawRequest &)>;

// "HTTP/1.1 <status>" with Content-Length `length` (the body's size when
// negative) and "Connection: close", then `body`.
std::string rawResponse(int status, const std::string &body, long length = -1);

class RawServer {
 public:
  explicit RawServer(RawResponder responder);
  ~RawServer();
  RawServer(const RawServer &) = delete;
  RawServer &operator=(const RawServer &) = delete;

  std::string origin() const;  // "http://127.0.0.1:PORT"
  std::vector<RawRequest> requests() const;

 private:
  void serve();
  void handle(int fd);

  RawResponder responder_;
  int listenFd_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;  // guards log_ and activeFd_
  int activeFd_ = -1;          // the connection being served
  std::vector<RawRequest> log_;
  std::thread thread_;
};

}  // namespace tvoz_test
