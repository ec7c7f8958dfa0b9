#include "backend/amp/mira_discovery.h"

#include "backend/amp/velto_eth_port.h"
#include "common/log/log.h"

namespace nox::amp {

std::vector<device_address> get_devices(const std::string& interface_address) {
    log_line("get devices...");
    std::vector<device_address> devices;
    if (interface_address.empty()) return devices;
    P20SPI::CVeltoEthPort port(interface_address);
    std::vector<P20SPI::CDeviceAddress> found;
    port.discover(found);
    log_line("Number of devices found: " + std::to_string(found.size()));
    for (const auto& address : found) {
        std::string text;
        port.address_text(address.id(), text);
        log_line("Device name: " + text);
        devices.push_back(P20SPI::to_device_address(address));
    }
    return devices;
}

}  // namespace nox::amp
