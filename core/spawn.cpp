#include "core/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/platform.h"

namespace tvoz {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions &) = delete;
  FileActions &operator=(const FileActions &) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t *get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// The program starts with no signal blocked, whatever the host's calling
// thread had blocked, and with SIGPIPE at its default.
class SpawnAttr {
 public:
  SpawnAttr() {
    ok_ = ::posix_spawnattr_init(&attr_) == 0;
    if (!ok_) return;
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attr_, &none);
    ::posix_spawnattr_setsigdefault(&attr_, &pipe);
    ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttr() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttr(const SpawnAttr &) = delete;
  SpawnAttr &operator=(const SpawnAttr &) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t *get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_ = false;
};

// Both ends close on exec, so that no other program started meanwhile by the
// host keeps the pipe open (which would keep our read from ever ending); the
// child's copy on its standard output is made by dup2, which clears the flag.
bool makePipe(Fd &readEnd, Fd &writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return ::fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
}

int waitForExit(pid_t pid) {
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

std::optional<int> runProgram(const std::vector<std::string> &argv, std::string *out) {
  if (argv.empty()) return std::nullopt;
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);

  FileActions actions;
  SpawnAttr attr;
  if (!actions.ok() || !attr.ok()) return std::nullopt;
  Fd readEnd, writeEnd;
  if (out) {
    out->clear();
    if (!makePipe(readEnd, writeEnd)) return std::nullopt;
    if (::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO) != 0) {
      return std::nullopt;
    }
  }

  pid_t pid = 0;
  if (::posix_spawnp(&pid, args[0], actions.get(), attr.get(), args.data(), processEnvironment()) !=
      0) {
    return std::nullopt;
  }

  if (out) {
    writeEnd.reset();  // only the child holds the write end now, so EOF comes when it exits
    char buf[4096];
    try {
      for (;;) {
        ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n > 0) {
          out->append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          break;
        }
      }
    } catch (...) {
      readEnd.reset();  // out of memory: let the program end, and leave no zombie
      waitForExit(pid);
      throw;
    }
  }
  return waitForExit(pid);
}

}  // namespace tvoz
