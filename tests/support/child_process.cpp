#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tvoz_test {

bool runWithFileSizeLimit(rlim_t maxFileBytes, const std::function<void()> &body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int code = 3;
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{maxFileBytes, maxFileBytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) == 0) {
      try {
        body();
        code = ::testing::Test::HasFailure() ? 1 : 0;
      } catch (...) {
        code = 2;
      }
    }
    std::fflush(nullptr);
    ::_exit(code);  // no destructors, no exit handlers of the parent's objects
  }
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  return done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tvoz_test
