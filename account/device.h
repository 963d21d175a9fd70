// The device identity sent with every token grant.
#pragma once

#include <string>

namespace tvoz {

// The stored "device_id", or a new one made from the host UUID (random when
// there is none) and stored once. Safe from any thread.
std::string deviceId();

// The readable device name: the host name without ".local" and what follows
// it; "Computadora" when empty or unavailable.
std::string deviceName();
// The rule itself; `hostName` is null when the host name is unavailable.
std::string deviceNameFrom(const char *hostName);

}  // namespace tvoz
