// The device identity sent with every token grant.
#pragma once

#include <string>

namespace tvoz {

// The stored "device_id", or a new one made from the host UUID (random when
// there is none) and stored once. Safe from any thread.
std::string deviceId();

// The readable device name: the host name without ".local" and what follows
// it; "Computadora" when that leaves nothing or the host name is unavailable.
std::string deviceName();
// The rule itself; an unavailable host name is given as "".
std::string deviceNameFrom(const std::string &hostName);

}  // namespace tvoz
