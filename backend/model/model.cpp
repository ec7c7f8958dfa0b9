#include "backend/model/model.h"

#include "backend/model/exceptions.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace nox {

model::model(int32_t id) { set_id(id); }

void model::set_id(int32_t id) {
    id_ = id;
    attributes_["id"] = std::to_string(id);
}

const std::string& model::at(const std::string& key) const {
    auto it = attributes_.find(key);
    if (it == attributes_.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
    return it->second;
}

std::string model::get(const std::string& key, const std::string& fallback) const {
    auto it = attributes_.find(key);
    return it == attributes_.end() ? fallback : it->second;
}

bool model::has(const std::string& key, std::string_view value) const {
    auto it = attributes_.find(key);
    return it != attributes_.end() && it->second == value;
}

void model::set(const std::string& key, std::string value) {
    attributes_[key] = std::move(value);
}

long long model::get_int(const std::string& key) const { return parse_int(at(key)); }
float model::get_float(const std::string& key) const { return parse_float(at(key)); }
double model::get_double(const std::string& key) const { return parse_double(at(key)); }

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

template <typename T>
T parse_number(std::string_view original) {
    std::string_view text = trim(original);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument("not a number: \"" + std::string(original) + "\"");
    return value;
}

}  // namespace

long long parse_int(std::string_view text) { return parse_number<long long>(text); }
float parse_float(std::string_view text) { return parse_number<float>(text); }
double parse_double(std::string_view text) { return parse_number<double>(text); }

std::string format_float(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

bool valid_attribute_key(std::string_view key) {
    if (key.empty()) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(key.front())) return false;
    for (char c : key)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '-') return false;
    return true;
}

bool valid_attribute_value(std::string_view value) {
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* end = p + value.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
            ++p;
            continue;
        }
        // Decode one UTF-8 sequence, refusing overlong forms and surrogates.
        int length;
        uint32_t code;
        if ((c & 0xE0) == 0xC0) { length = 2; code = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { length = 3; code = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { length = 4; code = c & 0x07; }
        else return false;
        if (end - p < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        static constexpr uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < minimum[length] || code > 0x10FFFF) return false;
        if (code >= 0xD800 && code <= 0xDFFF) return false;
        if (code == 0xFFFE || code == 0xFFFF) return false;
        p += length;
    }
    return true;
}

void check_attributes(const model& m) {
    for (const auto& [key, value] : m.attributes()) {
        if (!valid_attribute_key(key))
            throw invalid_attribute("invalid attribute key \"" + key + "\"");
        if (!valid_attribute_value(value))
            throw invalid_attribute("invalid characters in the value of \"" + key + "\"");
    }
}

}  // namespace nox
