// Running part of a test in a forked child process, for conditions that must
// not touch the test process itself: a limit on file sizes (the way to make
// writes fail for root, whom file modes do not stop), or a process that is
// killed in the middle of its work.
#pragma once

#include <functional>
#include <sys/resource.h>

namespace tvoz_test {

// Runs `body` in a child whose files cannot grow beyond `maxFileBytes`: a
// write past it fails with EFBIG, as on a full disk (SIGXFSZ is ignored).
// GoogleTest assertions inside `body` print as usual; the result is true
// when the child ran `body` to its end with none of them failed.
bool runWithFileSizeLimit(rlim_t maxFileBytes, const std::function<void()> &body);

}  // namespace tvoz_test
