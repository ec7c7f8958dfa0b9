// Converters between project values (the text of a project attribute) and device values
// (unsigned 32-bit parameter words), stored type-erased in `param_entry::converter`.
//
//   transp_float                       word = IEEE-754 single-precision bit pattern
//   linear_scale<W, V>                 word = round((v - pmin) / (pmax - pmin) * (dmax - dmin) + dmin)
//   lookup<unsigned int, unsigned short>  a table of (word, project value) pairs
//
// Arithmetic is in single precision; rounding is to nearest with halves away from zero and
// throws boost::math::rounding_error for a value that is not finite. A scaled result that
// lies outside the 32-bit word range is clamped to it (0 .. 2^32-1) instead of wrapping.
//
// `to_device_word` and `to_project_text` try the converters in this order: none (the
// text's integer), transp_float, lookup, linear_scale<unsigned, float>, then the integer
// linear scales. Bad text throws (std::invalid_argument from the integer conversion,
// boost::bad_lexical_cast from the float conversion); a value missing from a lookup table
// throws std::out_of_range (a std::exception).
//
// Thread safety: converters are immutable values; every function is reentrant.
#pragma once

#include <boost/any.hpp>
#include <boost/math/special_functions/round.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace nox {

namespace detail {
// Rounds `value` half away from zero and clamps it to the range of integral type T.
template <class T>
T round_clamped(float value) {
    const double rounded = boost::math::round(static_cast<double>(value));
    const double low = static_cast<double>(std::numeric_limits<T>::min());
    const double high = static_cast<double>(std::numeric_limits<T>::max());
    if (rounded <= low) return std::numeric_limits<T>::min();
    if (rounded >= high) return std::numeric_limits<T>::max();
    return static_cast<T>(rounded);
}
}  // namespace detail

// The device word carries the bit pattern of the project's float.
struct transp_float {
    std::uint32_t to_device(float value) const {
        std::uint32_t word;
        std::memcpy(&word, &value, sizeof word);
        return word;
    }
    float to_project(std::uint32_t word) const {
        float value;
        std::memcpy(&value, &word, sizeof value);
        return value;
    }
};

// A linear map between the device range [device_min, device_max] and the project range
// [project_min, project_max] (either may run downwards, e.g. 0..400 <-> 0.0..-100.0).
template <class W, class V>
struct linear_scale {
    W device_min{};
    W device_max{};
    V project_min{};
    V project_max{};

    W to_device(V value) const {
        const float scaled = (static_cast<float>(value) - static_cast<float>(project_min)) /
                                 (static_cast<float>(project_max) - static_cast<float>(project_min)) *
                                 (static_cast<float>(device_max) - static_cast<float>(device_min)) +
                             static_cast<float>(device_min);
        return detail::round_clamped<W>(scaled);
    }

    V to_project(W word) const {
        const float scaled = (static_cast<float>(word) - static_cast<float>(device_min)) /
                                 (static_cast<float>(device_max) - static_cast<float>(device_min)) *
                                 (static_cast<float>(project_max) - static_cast<float>(project_min)) +
                             static_cast<float>(project_min);
        if constexpr (std::is_floating_point_v<V>) {
            return scaled;
        } else {
            return detail::round_clamped<V>(scaled);
        }
    }
};

// A table between device words W and project values V, searched in order.
template <class W, class V>
struct lookup {
    std::vector<std::pair<W, V>> table;

    lookup() = default;
    lookup(std::initializer_list<std::pair<W, V>> pairs) : table(pairs) {}

    W to_device(V value) const {
        for (const auto& [word, project] : table) {
            if (project == value) return word;
        }
        throw std::out_of_range("lookup: project value " + std::to_string(value) + " has no device word");
    }
    V to_project(W word) const {
        for (const auto& [device, project] : table) {
            if (device == word) return project;
        }
        throw std::out_of_range("lookup: device word " + std::to_string(word) + " has no project value");
    }
};

// The text of a float as the project stores it (six decimals).
std::string float_text(float value);

// Project text -> device word through `converter` (empty or one of the types above).
std::uint32_t to_device_word(const boost::any& converter, const std::string& text);
// Device word -> project text through `converter`.
std::string to_project_text(const boost::any& converter, std::uint32_t word);

}  // namespace nox
