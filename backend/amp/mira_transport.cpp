#include "backend/amp/mira_transport.h"

#include "backend/amp/velto_eth_port.h"

namespace nox::amp {

int udp_mira_transport::text(const std::string& interface_address, const device_address& target,
                             const std::string& command, std::string& reply) {
    P20SPI::CVeltoEthPort port(interface_address);
    port.open_target(P20SPI::to_port_address(target));
    return port.transact_text(command, reply);
}

int udp_mira_transport::text_raw(const std::string& interface_address, const device_address& target,
                                 const std::string& command, std::vector<std::uint8_t>& payload) {
    P20SPI::CVeltoEthPort port(interface_address);
    port.open_target(P20SPI::to_port_address(target));
    return port.transact_text_raw(command, payload);
}

int udp_mira_transport::packet(const std::string& interface_address, const device_address& target,
                               std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) {
    P20SPI::CVeltoEthPort port(interface_address);
    port.open_target(P20SPI::to_port_address(target));
    return port.transact_packet(words, reply);
}

std::shared_ptr<mira_transport> default_mira_transport() {
    static const std::shared_ptr<mira_transport> transport = std::make_shared<udp_mira_transport>();
    return transport;
}

}  // namespace nox::amp
