// The Mira Ethernet port: carries text commands and P20SPI packets to one amplifier in
// UDP frames broadcast to 255.255.255.255:6016 (frame format in mira_frame.h), and finds
// amplifiers with a heartbeat.
//
// A port is short-lived: a device operation constructs it on the selected interface,
// opens its target, performs one exchange (or one discovery) and destroys it. Exchanges
// send a frame up to 4 times and wait 250 ms after each send (1000 ms for
// "Dev.Reset.Soft!"); a reply belongs to the exchange when its sequence number and its
// destination id match the request's sequence number and source id. Results: 0 success,
// 3 no target open, 8 negative acknowledge, 13 no answer, 1 a command that does not fit a
// frame. Every wait is a poll() against a steady-clock deadline, so a silent amplifier
// costs one second of wall time and next to no processor time.
//
// Thread safety: a port is used by one thread at a time and never shared. The frame
// stamp (source id, sequence) is process-wide and has its own lock.
#pragma once

#include "backend/amp/device_types.h"
#include "backend/amp/mira_frame.h"
#include "backend/p20spi/iport.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace P20SPI {

class CVeltoEthPort : public IPort {
public:
    static constexpr int kTries = 4;
    static constexpr std::chrono::milliseconds kWait{250};
    static constexpr std::chrono::milliseconds kResetWait{1000};
    static constexpr std::chrono::milliseconds kDiscoveryWindow{2100};
    static constexpr const char* kResetCommand = "Dev.Reset.Soft!";

    // Opens a non-blocking broadcast UDP socket bound to `interface_address` (dotted; any
    // interface when empty), port 0. When that fails the port holds no socket: its
    // exchanges end in 13 and discovery finds nothing.
    explicit CVeltoEthPort(const std::string& interface_address);
    ~CVeltoEthPort() override;

    CVeltoEthPort(const CVeltoEthPort&) = delete;
    CVeltoEthPort& operator=(const CVeltoEthPort&) = delete;

    // Sends one heartbeat and collects replies for 2100 ms. Replies of other types,
    // product codes outside 19..27 and kinds other than 2 and 5 are skipped; an id
    // already in `found` is not added again.
    void discover(std::vector<CDeviceAddress>& found) override;
    void address_text(std::uint64_t id, std::string& text) const override;
    int open_target(const CDeviceAddress& target) override;
    int close_target() override;
    // One P20SPI packet: as many words as its length byte says (at most what `packet`
    // holds, at most 62) go out big-endian in a 702 frame; the reply words come back in
    // host order, as many as the reply's length byte says.
    int transact_packet(std::span<const std::uint32_t> packet, std::vector<std::uint32_t>& reply) override;
    // A complete frame of this port's format (32..560 bytes), stamped with this process's
    // source id and a fresh sequence number, exchanged with 250 ms per try. `reply` gets
    // the reply's payload: the text bytes (at most 120), the binary words' bytes, or
    // nothing for an acknowledge.
    int transact_frame(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& reply) override;

    // A text command; `reply` is the reply text up to its first NUL (at most 120
    // characters), empty on failure. Logs "transceive_vkt_raw: " + command.
    int transact_text(const std::string& command, std::string& reply);
    // The same exchange, handing back the raw reply payload (at most 120 bytes) for
    // binary queries such as "Dev.MD.FullBin?3".
    int transact_text_raw(const std::string& command, std::vector<std::uint8_t>& payload);

    // Several exchanges at once (text commands and P20SPI packets, see
    // mira::batch_exchange): every frame goes out together and each reply is matched by
    // its sequence number; an unanswered exchange is sent again like a single one (four
    // times, 250 ms after each send; 1000 ms for "Dev.Reset.Soft!", which is exchanged on
    // its own). Each item ends with the result, reply and log lines a single exchange
    // would have given; nothing is logged here: the caller logs an item's lines when it
    // uses its reply, so the log reads as if the exchanges had been made one by one.
    void transact_batch(std::span<nox::amp::mira::batch_exchange> batch);

    bool is_open() const { return open_; }
    bool has_socket() const { return sock_ >= 0; }
    const CDeviceAddress& target() const { return target_; }

private:
    // Sends `frame` up to four times; returns 0, 8, 13 (or 3 when not open) and the
    // matching reply.
    // `notes`: where the lines about replies go (damaged, unknown type, dirty flag);
    // logged at once when null.
    int exchange(std::span<const std::uint8_t> frame, std::uint64_t source, std::uint32_t sequence,
                 std::chrono::milliseconds wait, nox::amp::mira::exchange_reply& reply,
                 std::vector<std::string>* notes = nullptr);
    bool send_broadcast(std::span<const std::uint8_t> frame);

    bool open_ = false;
    CDeviceAddress target_;
    int sock_ = -1;
};

// Conversions between the device layer's address and the port's.
CDeviceAddress to_port_address(const nox::amp::device_address& address);
nox::amp::device_address to_device_address(const CDeviceAddress& address);

}  // namespace P20SPI
