// Makes writes to files fail the way they do on a full or read-only disk,
// for root too, whom file modes do not stop: while a FileSizeLimit lives, no
// file of this process (or of the programs it starts) can grow beyond the
// given size, and a write past it fails with EFBIG instead of raising
// SIGXFSZ. Pipes and terminals are not files, so test output still flows.
// Every test runs in a process of its own; the limit is lifted at the end
// of the scope all the same.
#pragma once

#include <csignal>
#include <sys/resource.h>

namespace tvoz_test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t maxBytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  rlimit old_{};
  struct sigaction oldAction_ {};
};

}  // namespace tvoz_test
