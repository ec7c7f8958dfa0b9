#include "backend/amp/converters.h"

#include <boost/lexical_cast.hpp>

#include <cstdio>

namespace nox {

namespace {

using lookup_type = lookup<unsigned int, unsigned short>;
using scale_float = linear_scale<unsigned int, float>;
using scale_int = linear_scale<unsigned int, int>;
using scale_unsigned = linear_scale<unsigned int, unsigned int>;

float text_float(const std::string& text) { return boost::lexical_cast<float>(text); }

}  // namespace

std::string float_text(float value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    return buffer;
}

std::uint32_t to_device_word(const boost::any& converter, const std::string& text) {
    if (converter.empty()) return static_cast<std::uint32_t>(std::stoi(text));
    if (const auto* c = boost::any_cast<transp_float>(&converter)) return c->to_device(text_float(text));
    if (const auto* c = boost::any_cast<lookup_type>(&converter)) {
        const int value = std::stoi(text);
        if (value < 0 || value > std::numeric_limits<unsigned short>::max()) {
            throw std::out_of_range("lookup: project value " + text + " has no device word");
        }
        return c->to_device(static_cast<unsigned short>(value));
    }
    if (const auto* c = boost::any_cast<scale_float>(&converter)) return c->to_device(text_float(text));
    if (const auto* c = boost::any_cast<scale_int>(&converter)) return c->to_device(std::stoi(text));
    if (const auto* c = boost::any_cast<scale_unsigned>(&converter)) {
        const int value = std::stoi(text);
        // A negative text lies below every unsigned project value: clamp it to the bottom.
        return c->to_device(value < 0 ? 0u : static_cast<unsigned int>(value));
    }
    throw std::invalid_argument("unknown converter type");
}

std::string to_project_text(const boost::any& converter, std::uint32_t word) {
    if (converter.empty()) return std::to_string(static_cast<std::int32_t>(word));
    if (const auto* c = boost::any_cast<transp_float>(&converter)) return float_text(c->to_project(word));
    if (const auto* c = boost::any_cast<lookup_type>(&converter)) return std::to_string(c->to_project(word));
    if (const auto* c = boost::any_cast<scale_float>(&converter)) return float_text(c->to_project(word));
    if (const auto* c = boost::any_cast<scale_int>(&converter)) return std::to_string(c->to_project(word));
    if (const auto* c = boost::any_cast<scale_unsigned>(&converter)) return std::to_string(c->to_project(word));
    throw std::invalid_argument("unknown converter type");
}

}  // namespace nox
