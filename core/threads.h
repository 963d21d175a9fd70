// Starting the plug-in's own threads. The host may unload the module or quit
// while one runs, so every thread goes through here: the module is pinned in
// memory first, and nothing a thread does can unwind out of it.
#pragma once

#include <functional>

namespace tvoz {

// Runs `body` on a new detached thread; an exception `body` throws ends the
// thread quietly. False when no thread could be had (`body` then never runs).
// Any thread.
bool startThread(std::function<void()> body) noexcept;

}  // namespace tvoz
