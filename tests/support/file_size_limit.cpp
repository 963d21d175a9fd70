#include "tests/support/file_size_limit.h"

#include <stdexcept>

namespace tvoz_test {

FileSizeLimit::FileSizeLimit(rlim_t maxBytes) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &oldAction_);
  ::getrlimit(RLIMIT_FSIZE, &old_);
  // Only the soft limit, so that it can be raised again.
  rlimit limit{maxBytes, old_.rlim_max};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &old_);
  ::sigaction(SIGXFSZ, &oldAction_, nullptr);
}

}  // namespace tvoz_test
