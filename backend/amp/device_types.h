// Value types shared by every amplifier device and its callers: the address of a Mira
// amplifier, a range of binary parameters, a parameter value, one row of a device's
// parameter list, the pilot-tone readings, and the integer result codes of device
// operations.
//
// Thread safety: plain values; copy them freely, guard shared instances yourself.
#pragma once

#include <boost/any.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <variant>

namespace nox::amp {

// Results of device operations. The P20SPI return codes of parameter reads and writes are
// passed through unchanged besides these.
inline constexpr int result_ok = 0;
inline constexpr int result_refused = 1;         // refused, no interface, unparsable reply
inline constexpr int result_not_connected = 3;   // port not open / no server connection
inline constexpr int result_nak = 8;             // negative acknowledge from the amplifier
inline constexpr int result_unsupported = 10;    // operation not offered by this port
inline constexpr int result_timeout = 13;        // no answer after every retry

// A Mira amplifier: its 64-bit id as two halves and the kind byte of its discovery reply.
struct device_address {
    std::uint32_t id_high = 0;
    std::uint32_t id_low = 0;
    std::uint16_t kind = 0;

    std::uint64_t id() const { return (std::uint64_t{id_high} << 32) | id_low; }
    // "0001a2b3:0c0d0e0f": both halves as 8 lower-case hexadecimal digits.
    std::string text() const;

    friend bool operator==(const device_address&, const device_address&) = default;
};

// Text form of a 64-bit id, as `device_address::text`.
std::string address_text(std::uint64_t id);

// A range of P20SPI parameters: block, first index and last index (inclusive). Writes use
// only `block` and `first`; their count comes from the values.
struct param_range {
    std::uint8_t block = 0;
    std::uint16_t first = 0;
    std::uint16_t last = 0;

    friend bool operator==(const param_range&, const param_range&) = default;
};

// A device value: alternative 0 is a float, alternative 1 an integer.
using param_value = std::variant<float, std::int32_t>;

// Value type of a Mira parameter reply field.
inline constexpr int value_type_float = 0;
inline constexpr int value_type_integer = 1;

// A Mira parameter: a text command stem with an argument format ("", "%d" or "#%d",
// expanded with channel + 1), the number of blank-separated fields of its reply, the field
// this row reads, and the field's value type.
struct mira_parameter {
    std::string stem;
    std::string argument;
    std::int32_t field_count = 1;
    std::int32_t field_position = 0;
    std::int32_t value_type = value_type_integer;
};

// A binary parameter of a Tesira-hosted amplifier: kind 1, P20SPI block and index.
struct tesira_parameter {
    std::int32_t kind = 1;
    std::int32_t block = 0;
    std::int32_t index = 0;
};

// One row of a device's parameter list: what to address on the device, the project key
// it feeds, its scope and the converter between project text and device value (empty, or a
// nox::transp_float, nox::linear_scale<...> or nox::lookup<unsigned int, unsigned short>).
struct param_entry {
    std::variant<mira_parameter, tesira_parameter> parameter;
    std::string key;
    std::int32_t per_channel = 0;  // 1: the key lives in a channel node
    std::int32_t channel = 0;      // 0..3 for channel rows; 0 or -1 for frame rows
    bool read_only = false;
    boost::any converter;

    const mira_parameter* mira() const { return std::get_if<mira_parameter>(&parameter); }
    const tesira_parameter* tesira() const { return std::get_if<tesira_parameter>(&parameter); }
};

// The load-pilot readings of one channel, in wire order.
struct pilot_readings {
    std::array<float, 4> thresholds{};
    std::array<float, 2> ref_impedances{};
    std::array<float, 2> readings{};
    std::array<float, 2> factors{};
};

}  // namespace nox::amp
