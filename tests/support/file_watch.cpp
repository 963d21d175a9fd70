#include "tests/support/file_watch.h"

#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>

namespace tvoz_test {

bool waitInFolder(const std::string &folder, const std::function<bool()> &done,
                  std::chrono::milliseconds timeout) {
  int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) throw std::runtime_error("inotify_init1 failed");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  // Watch first, then look: a change between the two cannot be missed.
  if (::inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY) <
      0) {
    throw std::runtime_error("cannot watch " + folder);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
      char events[4096];
      while (::read(fd, events, sizeof events) > 0) {
      }
    }
  }
  return true;
}

}  // namespace tvoz_test
