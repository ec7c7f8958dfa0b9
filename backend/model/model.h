// `nox::model`: one flat record of the project store, a 32-bit id and a hash map of text
// attributes. The attribute `id` mirrors the id as decimal text.
//
// Models are values: they are copied in and out of collections, and no caller ever holds
// a pointer into a collection. A model is not synchronised; share copies, not objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace nox {

class model {
public:
    using attribute_map = std::unordered_map<std::string, std::string>;

    model() = default;
    // Sets the id and its mirror attribute `id`.
    explicit model(int32_t id);

    int32_t id() const { return id_; }
    // Sets the id and the attribute `id`.
    void set_id(int32_t id);

    // The value of `key`; throws std::out_of_range ("invalid unordered_map<K, T> key").
    const std::string& at(const std::string& key) const;
    // The value of `key`, or `fallback` when absent.
    std::string get(const std::string& key, const std::string& fallback = std::string()) const;
    bool has(const std::string& key) const { return attributes_.count(key) != 0; }
    // True when `key` exists with exactly `value`.
    bool has(const std::string& key, std::string_view value) const;
    // Inserts or overwrites.
    void set(const std::string& key, std::string value);
    void erase(const std::string& key) { attributes_.erase(key); }

    // Typed reads of `key`: throw std::out_of_range when absent and std::invalid_argument
    // when the text is not a number.
    long long get_int(const std::string& key) const;
    float get_float(const std::string& key) const;
    double get_double(const std::string& key) const;

    const attribute_map& attributes() const { return attributes_; }
    attribute_map& attributes() { return attributes_; }
    bool empty() const { return attributes_.empty(); }

    friend bool operator==(const model& a, const model& b) {
        return a.id_ == b.id_ && a.attributes_ == b.attributes_;
    }

private:
    int32_t id_ = 0;
    attribute_map attributes_;
};

// Number parsing of attribute texts, strict (the whole text, surrounding blanks allowed)
// and independent of the locale. Throw std::invalid_argument on malformed text.
long long parse_int(std::string_view text);
float parse_float(std::string_view text);
double parse_double(std::string_view text);

// A float as text with six decimals ("%f"), the store's float format.
std::string format_float(double value);

// Keys and values that can round-trip through the project file: a key is a non-empty
// XML element name of ASCII letters, digits, "_" and "-" that starts with a letter or "_"
// (so no "." that would nest, no blank); a value is well-formed UTF-8 holding only
// characters that XML 1.0 can carry (tab, line feed and carriage return are the only
// control characters allowed).
bool valid_attribute_key(std::string_view key);
bool valid_attribute_value(std::string_view value);
// Throws nox::invalid_attribute naming the first offending key or value.
void check_attributes(const model& m);

}  // namespace nox
