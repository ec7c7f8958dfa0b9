// The decoded monitor block of a monitor response (code 35): the fifteen status words that
// the fault-and-warning summariser reads, and one small object per reading (amplifier
// status; per channel: status, power, voltage, current, gain reduction).
//
// Every reading is a word of the response's byte-swapped view (packet.h), taken raw:
//
//   view word       reading
//   1 .. 15         status block words 0 .. 14 (word 0 amplifier status; words 1, 3, 5, 7
//                   the status of channels 1..4; word 12 the power-supply status)
//   1               CMonitorAmplifierStatus
//   2 + 2k          CMonitorChannelStatus of channel k (k = 0..3)
//   16 + k          CMonitorChannelPower of channel k
//   20 + k          CMonitorChannelVoltage of channel k
//   24 + k          CMonitorChannelCurrent of channel k
//   28 + k          CMonitorChannelGainRed of channel k
//
// Thread safety: plain values, owned by one exchange.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace P20SPI {

class CPacket;

// Number of status words in the monitor block.
inline constexpr std::size_t kMonitorStatusWords = 15;
using CMonitorStatusBlock = std::array<std::uint32_t, kMonitorStatusWords>;

// One reading: a word of the byte-swapped view, with the name of what it measures.
class CMonitorItem {
public:
    explicit CMonitorItem(std::size_t view_word) : view_word_(view_word) {}
    virtual ~CMonitorItem() = default;

    virtual const char* name() const = 0;

    std::uint32_t value() const { return value_; }
    void set_value(std::uint32_t value) { value_ = value; }
    std::size_t view_word() const { return view_word_; }

    // Takes the reading's word from `response`, which must hold all 61 words.
    void load(const CPacket& response);

private:
    std::size_t view_word_;
    std::uint32_t value_ = 0;
};

class CMonitorAmplifierStatus : public CMonitorItem {
public:
    CMonitorAmplifierStatus() : CMonitorItem(1) {}
    const char* name() const override { return "amplifier status"; }
};

class CMonitorChannelStatus : public CMonitorItem {
public:
    explicit CMonitorChannelStatus(std::size_t channel) : CMonitorItem(2 + 2 * channel) {}
    const char* name() const override { return "channel status"; }
};

class CMonitorChannelPower : public CMonitorItem {
public:
    explicit CMonitorChannelPower(std::size_t channel) : CMonitorItem(16 + channel) {}
    const char* name() const override { return "channel power"; }
};

class CMonitorChannelVoltage : public CMonitorItem {
public:
    explicit CMonitorChannelVoltage(std::size_t channel) : CMonitorItem(20 + channel) {}
    const char* name() const override { return "channel voltage"; }
};

class CMonitorChannelCurrent : public CMonitorItem {
public:
    explicit CMonitorChannelCurrent(std::size_t channel) : CMonitorItem(24 + channel) {}
    const char* name() const override { return "channel current"; }
};

class CMonitorChannelGainRed : public CMonitorItem {
public:
    explicit CMonitorChannelGainRed(std::size_t channel) : CMonitorItem(28 + channel) {}
    const char* name() const override { return "channel gain reduction"; }
};

class CP20MonitorData {
public:
    CP20MonitorData();

    // Fills every reading and the status block from a monitor response holding all 61
    // words (the caller checks that).
    void load(const CPacket& response);
    // Back to all zeros.
    void clear();

    const CMonitorStatusBlock& status_block() const { return status_block_; }

    CMonitorAmplifierStatus amplifier;
    std::array<CMonitorChannelStatus, 4> channel_status;
    std::array<CMonitorChannelPower, 4> power;
    std::array<CMonitorChannelVoltage, 4> voltage;
    std::array<CMonitorChannelCurrent, 4> current;
    std::array<CMonitorChannelGainRed, 4> gain_reduction;

private:
    CMonitorStatusBlock status_block_{};
};

}  // namespace P20SPI
