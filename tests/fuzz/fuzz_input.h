// Splits one fuzz input into the values a target needs. Values are taken from the front;
// once the input is used up every value reads as zero or empty, so every input is a valid
// sequence of values and the fuzzer can grow or cut it anywhere.
//
// Chunks are length-prefixed: one byte of length (0..254), or 255 followed by two bytes
// (little-endian) for up to 65535 bytes. `fuzz_output` writes the same layout, for the
// seed corpora.
//
// Thread safety: one object per input, one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orva_fuzz {

class fuzz_input {
public:
    fuzz_input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return std::uint32_t{u16()} | (std::uint32_t{u16()} << 16); }

    std::string chunk() {
        std::size_t length = byte();
        if (length == 255) length = u16();
        length = std::min(length, size_ - std::min(pos_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + pos_), length);
        pos_ += length;
        return out;
    }

    std::vector<std::uint8_t> chunk_bytes() {
        const std::string c = chunk();
        return {c.begin(), c.end()};
    }

    // A chunk read as little-endian 32-bit words (a trailing partial word is dropped).
    std::vector<std::uint32_t> chunk_words() {
        const std::string c = chunk();
        std::vector<std::uint32_t> words(c.size() / 4);
        for (std::size_t i = 0; i < words.size(); ++i)
            for (int k = 0; k < 4; ++k)
                words[i] |= std::uint32_t{static_cast<std::uint8_t>(c[4 * i + k])} << (8 * k);
        return words;
    }

    std::string rest() {
        std::string out(reinterpret_cast<const char*>(data_ + std::min(pos_, size_)),
                        size_ - std::min(pos_, size_));
        pos_ = size_;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Writes inputs in the layout `fuzz_input` reads.
class fuzz_output {
public:
    void byte(std::uint8_t b) { out_.push_back(static_cast<char>(b)); }
    void u16(std::uint16_t v) {
        byte(static_cast<std::uint8_t>(v));
        byte(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void chunk(std::string_view text) {
        const std::size_t length = std::min<std::size_t>(text.size(), 65535);
        if (length < 255) {
            byte(static_cast<std::uint8_t>(length));
        } else {
            byte(255);
            u16(static_cast<std::uint16_t>(length));
        }
        out_.append(text.substr(0, length));
    }
    void chunk_words(const std::vector<std::uint32_t>& words) {
        std::string bytes;
        for (std::uint32_t w : words)
            for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>(w >> (8 * k)));
        chunk(bytes);
    }
    void raw(std::string_view text) { out_.append(text); }
    const std::string& text() const { return out_; }

private:
    std::string out_;
};

}  // namespace orva_fuzz
