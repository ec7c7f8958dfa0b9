// The P20SPI commands and responses: building request packets from an address and values,
// and parsing reply packets back into address, return code, values, fault or monitor data.
//
// Command layouts (bytes after the header word, see packet.h for the header and the
// checksum; "BE" = big-endian inside the packet bytes):
//
//   code  class                   length     bytes 4..11                       bytes 12..
//   16    CCmdParamRd             3          4: 0; 5: block; 6..7: index (BE);  -
//                                            8..10: 0; 11: count
//   17    CCmdParamRdResponse     3 + count  5: block; 6..7: index (BE);        count values,
//                                            10: return code (signed 8-bit);    32-bit BE each
//                                            11: count
//   18    CCmdParamWr             3 + count  as code 16                         count values,
//                                                                               32-bit BE each
//   19    CCmdParamWrResponse     3          as code 17                         -
//   34    CCmdMonitorRd           1          -                                  -
//   35    CCmdMonitorRdResponse   61         monitor block (monitor_data.h), read through
//                                            the byte-swapped view
//   15    CCmdFaultResponse       2          7: fault code                      -
//
// Example: a read of block 5, index 300, count 2 is the twelve bytes
//   16, 0, 3, checksum, 0, 5, 1, 44, 0, 0, 0, 2.
//
// A packet holds at most 61 words, so one read or write carries at most 58 values.
// Commands refuse to build anything that does not fit the wire (std::out_of_range)
// rather than truncating an address or a value list.
//
// Parsing treats the reply as untrusted: it reads only the words the packet really holds
// (the smaller of the words received and the length byte). A reply whose command byte
// differs from the response's own code, or that is too short for its fixed fields, parses
// as false. A read response that promises more values than it carries parses as false when
// its return code claims success; with an error code it is accepted with the values that
// are present (the caller only reports the code).
//
// Thread safety: commands and responses are stack objects of one exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "backend/p20spi/monitor_data.h"
#include "backend/p20spi/packet.h"
#include "backend/p20spi/return_code.h"

namespace P20SPI {

// Most values one read or write packet can carry (61 words less header and address).
inline constexpr std::size_t kMaxParamValues = CPacket::kMaxWords - 3;

// Block (8 bits on the wire), index (16 bits) and count (8 bits) of a parameter range.
class CParamAddress {
public:
    CParamAddress() = default;
    CParamAddress(unsigned block, unsigned index, unsigned count)
        : block_(block), index_(index), count_(count) {}
    virtual ~CParamAddress() = default;

    virtual unsigned block() const { return block_; }
    virtual void set_count(unsigned count) { count_ = count; }
    virtual unsigned index() const { return index_; }
    virtual void set_index(unsigned index) { index_ = index; }
    virtual unsigned count() const { return count_; }
    virtual void set_block(unsigned block) { block_ = block; }

    friend bool operator==(const CParamAddress& a, const CParamAddress& b) {
        return a.block_ == b.block_ && a.index_ == b.index_ && a.count_ == b.count_;
    }

private:
    unsigned block_ = 0;
    unsigned index_ = 0;
    unsigned count_ = 0;
};

// A fault reported by a fault response. Kept for completeness; nothing evaluates it.
class CFault {
public:
    CFault() = default;
    explicit CFault(std::uint8_t code) : code_(code) {}
    std::uint8_t code() const { return code_; }
    void set_code(std::uint8_t code) { code_ = code; }

private:
    std::uint8_t code_ = 0;
};

// A command: builds its packet from its fields.
class ICmd {
public:
    virtual ~ICmd() = default;
    // Fills header (code, length, tag 0), payload and checksum, and returns the packet.
    virtual const CPacket& serialise() = 0;
};

// A response: fills its fields from a reply packet.
class ICmdResponse {
public:
    virtual ~ICmdResponse() = default;
    // False when the packet's command byte is not this response's code or the packet is
    // malformed (see above); true once the fields are filled.
    virtual bool parse(const CPacket& packet) = 0;
};

class CCmdParamRd : public ICmd {
public:
    CCmdParamRd() = default;
    explicit CCmdParamRd(const CParamAddress& address) : address_(address) {}

    CParamAddress& address() { return address_; }
    const CParamAddress& address() const { return address_; }
    const CPacket& packet() const { return packet_; }

    // Throws std::out_of_range when block, index or count do not fit (count at most 58).
    const CPacket& serialise() override;

private:
    CParamAddress address_;
    CPacket packet_;
};

class CCmdParamWr : public ICmd {
public:
    CCmdParamWr() = default;
    CCmdParamWr(const CParamAddress& address, std::vector<std::uint32_t> values)
        : address_(address), values_(std::move(values)) {}

    CParamAddress& address() { return address_; }
    const CParamAddress& address() const { return address_; }
    std::vector<std::uint32_t>& values() { return values_; }
    const std::vector<std::uint32_t>& values() const { return values_; }
    void set_values(std::vector<std::uint32_t> values) { values_ = std::move(values); }
    const CPacket& packet() const { return packet_; }

    // Sets the address's count to the number of values, then builds the packet. Throws
    // std::out_of_range when block or index do not fit or there are more than 58 values.
    const CPacket& serialise() override;

private:
    CParamAddress address_;
    std::vector<std::uint32_t> values_;
    CPacket packet_;
};

class CCmdMonitorRd : public ICmd {
public:
    const CPacket& packet() const { return packet_; }
    const CPacket& serialise() override;

private:
    CPacket packet_;
};

// Common part of the responses: the code they answer to and the fewest words they need.
class CCmdResponseBase : public ICmdResponse {
public:
    std::uint8_t expected_code() const { return expected_code_; }
    std::size_t expected_length() const { return expected_length_; }
    // Presets the code and the number of words a reply must hold to parse.
    void expect(std::uint8_t code, std::size_t length) {
        expected_code_ = code;
        expected_length_ = length;
    }

protected:
    CCmdResponseBase(std::uint8_t code, std::size_t length)
        : expected_code_(code), expected_length_(length) {}
    // The command byte matches and the packet holds at least `expected_length()` words.
    bool acceptable(const CPacket& packet) const;

private:
    std::uint8_t expected_code_;
    std::size_t expected_length_;
};

class CCmdParamRdResponse : public CCmdResponseBase {
public:
    CCmdParamRdResponse() : CCmdResponseBase(kCodeParamRdResponse, 3) {}

    const CParamAddress& address() const { return address_; }
    const CParamReturnCode& return_code() const { return return_code_; }
    const std::vector<std::uint32_t>& values() const { return values_; }

    bool parse(const CPacket& packet) override;

private:
    CParamAddress address_;
    CParamReturnCode return_code_;
    std::vector<std::uint32_t> values_;
};

class CCmdParamWrResponse : public CCmdResponseBase {
public:
    CCmdParamWrResponse() : CCmdResponseBase(kCodeParamWrResponse, 3) {}

    const CParamAddress& address() const { return address_; }
    const CParamReturnCode& return_code() const { return return_code_; }

    bool parse(const CPacket& packet) override;

private:
    CParamAddress address_;
    CParamReturnCode return_code_;
};

class CCmdMonitorRdResponse : public CCmdResponseBase {
public:
    CCmdMonitorRdResponse() : CCmdResponseBase(kCodeMonitorRdResponse, CPacket::kMaxWords) {}

    const CP20MonitorData& data() const { return data_; }

    bool parse(const CPacket& packet) override;

private:
    CP20MonitorData data_;
};

class CCmdFaultResponse : public CCmdResponseBase {
public:
    CCmdFaultResponse() : CCmdResponseBase(kCodeFault, 2) {}

    const CFault& fault() const { return fault_; }

    bool parse(const CPacket& packet) override;

private:
    CFault fault_;
};

}  // namespace P20SPI
