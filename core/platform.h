// The few things the plug-in asks of the operating system besides files
// (core/fs.h). platform_posix.cpp holds what macOS and Linux share; one file
// per platform holds the rest (platform_mac.cpp, platform_linux.cpp,
// platform_win.cpp). Any thread.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <sys/types.h>

namespace tvoz {

// The machine's UUID in canonical lower-case form (8-4-4-4-12), or empty.
std::string hostUuid();

// The path of the loaded module (the plug-in's own executable file) that
// holds `address`, or empty when the system cannot tell.
std::string modulePathOf(const void *address);

// Keeps the module that holds this code loaded until the process ends: a
// later dlclose or FreeLibrary by the host leaves it mapped, so a thread of
// the plug-in never runs into unmapped code. Called before any thread is
// started; idempotent and cheap after the first call.
void pinModule();

// The machine's host name, or empty when it cannot be had.
std::string hostName();

// Fills `out` with `size` random bytes from the system; false when it could not.
bool randomBytes(unsigned char *out, size_t size);

// True when `url` begins with "http://" or "https://", the scheme in any case.
// Only such addresses may reach the system's opener: a file URL, a path or
// another scheme would open a file or start a program.
inline bool isWebAddress(const std::string &url) {
  for (const char *scheme : {"http://", "https://"}) {
    size_t i = 0;
    while (scheme[i] && i < url.size() &&
           std::tolower(static_cast<unsigned char>(url[i])) == scheme[i]) {
      ++i;
    }
    if (!scheme[i]) return true;
  }
  return false;
}

// Hands a web address to the default web browser as one argument, without a
// shell, and waits for the opener program to return. False for anything
// isWebAddress refuses, or when the opener could not be started. Blocks
// while the opener runs.
bool openUrl(const std::string &url);

// `name` (a file name whose extension, if any, the caller adds after it)
// changed where this system would take it for something other than a file:
// on Windows, CON, PRN, AUX, NUL, COM0-COM9 and LPT0-LPT9 in any case, alone
// or before a dot, with blanks after them, name devices; there the first dot
// becomes "-" ("con.x" gives "con-x"), or "-" is appended ("Com1" gives
// "Com1-"). Every other name, and every name on macOS and Linux, comes back
// as it is.
std::string avoidReservedName(const std::string &name);

// POSIX only. The process environment, for programs the plug-in starts.
char **processEnvironment();
// POSIX only. send() on a connected socket that never raises SIGPIPE in the
// host, even when the peer has already closed the connection: a closed peer
// is an error result (EPIPE) instead.
ssize_t sendNoSignal(int fd, const char *data, size_t size);

}  // namespace tvoz
