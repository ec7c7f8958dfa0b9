// Value types shared by every amplifier device and its callers: the address of a Mira
// amplifier, a range of binary parameters, a parameter value, one row of a device's
// parameter list (with a family-owned parameter address), the pilot-tone readings, and the
// integer result codes of device operations.
//
// Thread safety: plain values; copy them freely, guard shared instances yourself.
#pragma once

#include <boost/any.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace nox::amp {

// Results of device operations. The P20SPI return codes of parameter reads and writes are
// passed through unchanged besides these.
inline constexpr int result_ok = 0;
inline constexpr int result_refused = 1;         // refused, no interface, unparsable reply
inline constexpr int result_not_connected = 3;   // port not open / no server connection
inline constexpr int result_nak = 8;             // negative acknowledge from the amplifier
inline constexpr int result_unsupported = 10;    // operation not offered by this device or port
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

// Where a family's device finds one parameter (Mira: a text command; Tesira: a P20SPI
// block and index). Each family defines its own address type and wraps it with
// `param_entry::set_address`; only that family's device reads it back.
class param_address {
public:
    virtual ~param_address() = default;
};

template <class T>
class param_address_of final : public param_address {
public:
    explicit param_address_of(T v) : value(std::move(v)) {}
    const T value;
};

// One row of a device's parameter list: what to address on the device, the project key
// it feeds, its scope and the converter between project text and device value (empty, or a
// nox::transp_float, nox::linear_scale<...> or nox::lookup<unsigned int, unsigned short>).
// Copies share the (immutable) address.
struct param_entry {
    std::shared_ptr<const param_address> address;
    std::string key;
    std::int32_t per_channel = 0;  // 1: the key lives in a channel node
    std::int32_t channel = 0;      // 0..3 for channel rows; 0 or -1 for frame rows
    bool read_only = false;
    boost::any converter;

    template <class T>
    void set_address(T value) {
        address = std::make_shared<const param_address_of<T>>(std::move(value));
    }
    // The address when it is of the family type T, else null.
    template <class T>
    const T* address_as() const {
        const auto* typed = dynamic_cast<const param_address_of<T>*>(address.get());
        return typed != nullptr ? &typed->value : nullptr;
    }
};

// The load-pilot readings of one channel, in wire order.
struct pilot_readings {
    std::array<float, 4> thresholds{};
    std::array<float, 2> ref_impedances{};
    std::array<float, 2> readings{};
    std::array<float, 2> factors{};
};

}  // namespace nox::amp
