#include "core/threads.h"

#include <thread>
#include <utility>

#include "core/platform.h"

namespace tvoz {

bool startThread(std::function<void()> body) noexcept {
  try {
    pinModule();
    std::thread([body = std::move(body)]() noexcept {
      try {
        body();
      } catch (...) {
        // A detached thread has no one to report to; the host must go on.
      }
    }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace tvoz
