#include "backend/p20spi/commands.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace P20SPI {

namespace {

constexpr std::size_t kValuesByte = 12;

// Writes the twelve bytes shared by reads and writes: header (code, tag 0, length; the
// checksum comes last) and the address.
void put_address(CPacket& packet, std::uint8_t code, std::size_t length,
                 const CParamAddress& address) {
    if (address.block() > 0xFF) {
        throw std::out_of_range("P20SPI block " + std::to_string(address.block()) +
                                " does not fit 8 bits");
    }
    if (address.index() > 0xFFFF) {
        throw std::out_of_range("P20SPI index " + std::to_string(address.index()) +
                                " does not fit 16 bits");
    }
    if (address.count() > kMaxParamValues) {
        throw std::out_of_range("P20SPI count " + std::to_string(address.count()) +
                                " exceeds one packet");
    }
    packet.clear();
    packet.set_code(code);
    packet.set_tag(0);
    packet.set_length(length);
    packet.set_byte(4, 0);
    packet.set_byte(5, static_cast<std::uint8_t>(address.block()));
    packet.set_be16(6, static_cast<std::uint16_t>(address.index()));
    packet.set_byte(8, 0);
    packet.set_byte(9, 0);
    packet.set_byte(10, 0);
    packet.set_byte(11, static_cast<std::uint8_t>(address.count()));
}

// The address and return code of a read or write response (bytes 5..11).
void get_address(const CPacket& packet, CParamAddress& address, CParamReturnCode& code) {
    address.set_block(packet.byte(5));
    address.set_index(packet.be16(6));
    address.set_count(packet.byte(11));
    code.set_code(static_cast<std::int8_t>(packet.byte(10)));
}

}  // namespace

const CPacket& CCmdParamRd::serialise() {
    put_address(packet_, kCodeParamRd, 3, address_);
    packet_.seal();
    return packet_;
}

const CPacket& CCmdParamWr::serialise() {
    if (values_.size() > kMaxParamValues) {
        throw std::out_of_range("P20SPI write of " + std::to_string(values_.size()) +
                                " values exceeds one packet");
    }
    address_.set_count(static_cast<unsigned>(values_.size()));
    put_address(packet_, kCodeParamWr, 3 + values_.size(), address_);
    for (std::size_t i = 0; i < values_.size(); ++i) {
        packet_.set_be32(kValuesByte + 4 * i, values_[i]);
    }
    packet_.seal();
    return packet_;
}

const CPacket& CCmdMonitorRd::serialise() {
    packet_.clear();
    packet_.set_code(kCodeMonitorRd);
    packet_.set_tag(0);
    packet_.set_length(1);
    packet_.seal();
    return packet_;
}

bool CCmdResponseBase::acceptable(const CPacket& packet) const {
    return packet.size() > 0 && packet.code() == expected_code_ &&
           packet.available_words() >= expected_length_;
}

bool CCmdParamRdResponse::parse(const CPacket& packet) {
    address_ = CParamAddress();
    return_code_ = CParamReturnCode();
    values_.clear();
    if (!acceptable(packet)) {
        return false;
    }
    get_address(packet, address_, return_code_);
    const std::size_t present = packet.available_words() - 3;
    const std::size_t promised = address_.count();
    if (promised > present && return_code_.is_success()) {
        // Claims values it does not carry: handing a short list up as a good read
        // would shift every later word of the caller's range.
        address_ = CParamAddress();
        return_code_ = CParamReturnCode();
        return false;
    }
    const std::size_t n = std::min(promised, present);
    values_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        values_.push_back(packet.be32(kValuesByte + 4 * i));
    }
    return true;
}

bool CCmdParamWrResponse::parse(const CPacket& packet) {
    address_ = CParamAddress();
    return_code_ = CParamReturnCode();
    if (!acceptable(packet)) {
        return false;
    }
    get_address(packet, address_, return_code_);
    return true;
}

bool CCmdMonitorRdResponse::parse(const CPacket& packet) {
    data_.clear();
    if (!acceptable(packet)) {
        return false;
    }
    data_.load(packet);
    return true;
}

bool CCmdFaultResponse::parse(const CPacket& packet) {
    fault_ = CFault();
    if (!acceptable(packet)) {
        return false;
    }
    fault_.set_code(packet.byte(7));
    return true;
}

}  // namespace P20SPI
