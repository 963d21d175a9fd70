// Starting an external program (the web browser opener, the desktop dialog
// program) the only way the plug-in does it: by argument vector, never
// through a shell, so no argument is ever read as a command.
//
// Any thread may call these. The caller blocks until the program has exited.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tvoz {

// Runs argv[0], looked up on PATH unless it holds a "/", with `argv` as its
// arguments and the process environment. When `out` is given, the program's
// standard output is collected into it (replacing what it held); otherwise
// the program writes where the host process does.
//
// Returns the program's exit code (0-255), -1 when it ended otherwise (a
// signal) or could not be waited for, and nothing when it could not be
// started at all. Throws only std::bad_alloc.
std::optional<int> runProgram(const std::vector<std::string> &argv, std::string *out = nullptr);

}  // namespace tvoz
