// The carrier of P20SPI packets: an abstract port that finds amplifiers, selects one of
// them as its target and exchanges packets (and raw frames) with it.
//
// Implementations: the Ethernet port of the Mira family (backend/amp, CVeltoEthPort),
// which wraps every packet word big-endian into a binary UDP frame, and the relay of a
// Tesira server. A port is short-lived: a device operation constructs one, opens its
// target, performs one exchange (or one discovery) and destroys it.
//
// Results are small integers (never exceptions for transport failures):
//   0  success                      8  negative acknowledge from the amplifier
//   3  no target open               10 operation not supported by this port
//   13 no answer after every retry
//
// Thread safety: a port is used by one thread at a time; it is never shared.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace P20SPI {

// Port results shared by every implementation.
enum EPortResult : int {
    kPortOk = 0,
    kPortNotOpen = 3,
    kPortNegativeAck = 8,
    kPortNotSupported = 10,
    kPortTimeout = 13,
};

// Address of one amplifier on a port: its 64-bit id as two halves, and its kind (the kind
// byte of its discovery reply, 2 or 5 for the Mira family). Plain value type.
struct CDeviceAddress {
    std::uint32_t id_high = 0;
    std::uint32_t id_low = 0;
    std::uint16_t kind = 0;

    std::uint64_t id() const { return (std::uint64_t{id_high} << 32) | id_low; }
    friend bool operator==(const CDeviceAddress&, const CDeviceAddress&) = default;
};

// Text form of a 64-bit device id: two 8-digit lower-case hexadecimal halves joined by
// ":" (for example "0001a2b3:0c0d0e0f"). Ports may use it for `address_text`.
inline std::string device_id_text(std::uint64_t id) {
    char text[18];
    std::snprintf(text, sizeof text, "%08x:%08x", static_cast<unsigned>(id >> 32),
                  static_cast<unsigned>(id & 0xFFFFFFFFu));
    return text;
}

class IPort {
public:
    // Slot 0. Closes the target and releases the port's socket.
    virtual ~IPort() = default;

    // Slot 1. Looks for amplifiers and appends each newly found one to `found` (an id
    // already in the list is not added again: the first answer wins).
    virtual void discover(std::vector<CDeviceAddress>& found) = 0;

    // Slot 2. Text form of a 64-bit id: two 8-digit lower-case hexadecimal halves joined
    // by ":" (for example "0001a2b3:0c0d0e0f").
    virtual void address_text(std::uint64_t id, std::string& text) const = 0;

    // Slot 3. Closes any open target, then selects `target`. Returns 0.
    virtual int open_target(const CDeviceAddress& target) = 0;

    // Slot 4. Deselects the target: 3 when none is open, else 0.
    virtual int close_target() = 0;

    // Slot 5. Sends the words of one packet (header word first, host order; as many as
    // `packet` holds, which is the packet's length field) and receives the reply packet's
    // words in host order into `reply` (cleared first; left empty on failure, and empty
    // also when the amplifier answers with a packet of length 0).
    virtual int transact_packet(std::span<const std::uint32_t> packet,
                                std::vector<std::uint32_t>& reply) = 0;

    // Slot 6. Exchanges one complete frame of the port's own format and returns the
    // reply's payload bytes in `reply` (cleared first).
    virtual int transact_frame(std::span<const std::uint8_t> frame,
                               std::vector<std::uint8_t>& reply) = 0;

    // Slots 7 and 8. Port-specific options, addressed by number. A port without options
    // answers 10 (not supported), which is what these defaults do.
    virtual int set_option(int option, std::uint32_t value) {
        (void)option;
        (void)value;
        return kPortNotSupported;
    }
    virtual int get_option(int option, std::uint32_t& value) {
        (void)option;
        (void)value;
        return kPortNotSupported;
    }
};

}  // namespace P20SPI
