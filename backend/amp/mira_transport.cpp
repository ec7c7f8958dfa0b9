#include "backend/amp/mira_transport.h"

#include "backend/amp/velto_eth_port.h"
#include "common/metrics/metrics.h"

namespace nox::amp {

namespace {

// The port of the calling thread for `interface_address`. Each thread keeps the port of
// its last exchange while the interface stays the same: monitoring sends about thirty
// exchanges per amplifier and second, and a socket created, bound and closed for each of
// them was most of their cost. Every exchange still gets a fresh stamp, and replies are
// matched by sequence number and destination id, so a late reply to an earlier exchange
// that arrives on the kept socket is skipped like any stranger's.
P20SPI::CVeltoEthPort& port_for(const std::string& interface_address, const device_address& target) {
    thread_local std::string interface;
    thread_local std::unique_ptr<P20SPI::CVeltoEthPort> port;
    if (!port || interface != interface_address || !port->has_socket()) {
        port.reset();
        port = std::make_unique<P20SPI::CVeltoEthPort>(interface_address);
        interface = interface_address;
    }
    port->open_target(P20SPI::to_port_address(target));
    return *port;
}

// Reports the exchange to the metrics, failed unless its result is 0. A command refused
// before sending (1) was no exchange.
int counted(int result) {
    if (result != 1) metrics().exchange("mira", result == 0);
    return result;
}

}  // namespace

int udp_mira_transport::text(const std::string& interface_address, const device_address& target,
                             const std::string& command, std::string& reply) {
    return counted(port_for(interface_address, target).transact_text(command, reply));
}

int udp_mira_transport::text_raw(const std::string& interface_address, const device_address& target,
                                 const std::string& command, std::vector<std::uint8_t>& payload) {
    return counted(port_for(interface_address, target).transact_text_raw(command, payload));
}

int udp_mira_transport::packet(const std::string& interface_address, const device_address& target,
                               std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) {
    return counted(port_for(interface_address, target).transact_packet(words, reply));
}

void mira_transport::exchange_all(const std::string& interface_address, const device_address& target,
                                  std::span<mira::batch_exchange> items) {
    for (auto& item : items) {
        item.lines.clear();
        item.payload.clear();
        item.words.clear();
        item.result = item.binary ? packet(interface_address, target, item.packet, item.words)
                                  : text_raw(interface_address, target, item.command, item.payload);
    }
}

void udp_mira_transport::exchange_all(const std::string& interface_address, const device_address& target,
                                      std::span<mira::batch_exchange> items) {
    port_for(interface_address, target).transact_batch(items);
}

std::shared_ptr<mira_transport> default_mira_transport() {
    static const std::shared_ptr<mira_transport> transport = std::make_shared<udp_mira_transport>();
    return transport;
}

}  // namespace nox::amp
