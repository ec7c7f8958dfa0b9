// Finding the Mira amplifiers on one network interface: the entry point that the device
// registry calls when it rebuilds its list.
//
// Thread safety: reentrant; each call uses its own port and socket.
#pragma once

#include "backend/amp/device_types.h"

#include <string>
#include <vector>

namespace nox::amp {

// Logs "get devices...", and with an interface address given (dotted text of the
// interface in force; empty means none is available) broadcasts one heartbeat on it,
// collects the replies for 2.1 s and logs "Number of devices found: " with the count and
// "Device name: " with the text form of each id. Without an interface the list is empty
// and nothing is sent.
std::vector<device_address> get_devices(const std::string& interface_address);

}  // namespace nox::amp
