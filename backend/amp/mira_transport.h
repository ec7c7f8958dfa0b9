// The link a Mira device talks through: one text exchange, one raw text exchange (for
// binary replies such as "Dev.MD.FullBin?3") or one P20SPI packet exchange with one
// amplifier, on one local interface.
//
// `udp_mira_transport` is the real link: every exchange opens a P20SPI::CVeltoEthPort on
// the amplifier and exchanges once. Each thread keeps its port (and socket) between
// exchanges while the interface stays the same, so the many small exchanges of
// monitoring do not each create, bind and close a socket. Tests hand a device their own
// implementation instead, so that command texts and reply parsing are checked without
// sockets.
//
// Results are those of the port: 0 success, 1 command refused before sending, 3 not open,
// 8 negative acknowledge, 13 no answer after every retry.
//
// Thread safety: `udp_mira_transport` keeps only per-thread ports and may be shared by
// any number of threads; implementations used by several devices at once must be thread-safe as well.
#pragma once

#include "backend/amp/device_types.h"
#include "backend/amp/mira_frame.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nox::amp {

class mira_transport {
public:
    virtual ~mira_transport() = default;

    // A text command; `reply` is the reply text up to its first NUL, empty on failure.
    virtual int text(const std::string& interface_address, const device_address& target,
                     const std::string& command, std::string& reply) = 0;
    // A text command whose reply is kept as raw payload bytes (at most 120).
    virtual int text_raw(const std::string& interface_address, const device_address& target,
                         const std::string& command, std::vector<std::uint8_t>& payload) = 0;
    // One P20SPI packet (host-order words, header first); the reply packet's words come
    // back in host order, empty on failure.
    virtual int packet(const std::string& interface_address, const device_address& target,
                       std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) = 0;
    // Several raw text exchanges and packets with one amplifier, carried together where
    // the link can (mira::batch_exchange): each item ends with the result and reply that
    // `text_raw` or `packet` would have given it, and with the log lines left for the
    // caller to write when it uses the reply. Default: one by one through `text_raw` and
    // `packet` (which log as they go, leaving no lines).
    virtual void exchange_all(const std::string& interface_address, const device_address& target,
                              std::span<mira::batch_exchange> items);
};

class udp_mira_transport final : public mira_transport {
public:
    int text(const std::string& interface_address, const device_address& target, const std::string& command,
             std::string& reply) override;
    int text_raw(const std::string& interface_address, const device_address& target, const std::string& command,
                 std::vector<std::uint8_t>& payload) override;
    int packet(const std::string& interface_address, const device_address& target,
               std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) override;
    // All items in one round trip (CVeltoEthPort::transact_batch).
    void exchange_all(const std::string& interface_address, const device_address& target,
                      std::span<mira::batch_exchange> items) override;
};

// The process's shared UDP transport.
std::shared_ptr<mira_transport> default_mira_transport();

}  // namespace nox::amp
