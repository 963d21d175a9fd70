// The few things the plug-in asks of the operating system. One file per
// platform implements them (platform_mac.cpp, platform_linux.cpp).
#pragma once

#include <string>

namespace tvoz {

// The machine's UUID in canonical lower-case form (8-4-4-4-12), or empty.
std::string hostUuid();

// Hands `url` to the default web browser as one argument, without a shell, and
// waits for the opener program to return. False when it could not be started.
bool openUrl(const std::string &url);

}  // namespace tvoz
