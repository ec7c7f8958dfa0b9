#include "backend/p20spi/packet.h"

#include <algorithm>
#include <stdexcept>

namespace P20SPI {

std::uint8_t fletcher_checksum(std::span<const std::uint8_t> bytes) {
    // Both sums stay in 0..254; adding at most 254 + 255 never overflows 32 bits, so one
    // reduction per byte is enough.
    std::uint32_t sum1 = 0;
    std::uint32_t sum2 = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint32_t b = i == 3 ? 0 : bytes[i];
        sum1 = (sum1 + b) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<std::uint8_t>(sum2);
}

CPacket::CPacket() { clear(); }

CPacket::CPacket(std::span<const std::uint32_t> words) { assign(words); }

CPacket::CPacket(const CPacket& other) : words_(other.words_), size_(other.size_) {}

CPacket& CPacket::operator=(const CPacket& other) {
    if (this != &other) {
        words_ = other.words_;
        size_ = other.size_;
        swapped_.reset();
    }
    return *this;
}

CPacket::CPacket(CPacket&& other) noexcept
    : words_(other.words_), size_(other.size_), swapped_(std::move(other.swapped_)) {}

CPacket& CPacket::operator=(CPacket&& other) noexcept {
    if (this != &other) {
        words_ = other.words_;
        size_ = other.size_;
        swapped_ = std::move(other.swapped_);
    }
    return *this;
}

CPacket::~CPacket() = default;

bool CPacket::assign(std::span<const std::uint32_t> words) {
    const std::size_t n = std::min(words.size(), kMaxWords);
    words_.fill(0);
    std::copy_n(words.begin(), n, words_.begin());
    size_ = n;
    swapped_.reset();
    return n == words.size();
}

void CPacket::clear() {
    words_.fill(0);
    words_[0] = kCodeFault;
    size_ = 1;
    swapped_.reset();
}

void CPacket::set_length(std::size_t words) {
    if (words > kMaxWords) {
        throw std::length_error("P20SPI packet longer than 61 words");
    }
    set_byte(2, static_cast<std::uint8_t>(words));
    if (words > size_) {
        // Words past the old end are still 0: assign(), clear() and touch() keep the
        // storage beyond `size_` zeroed.
        size_ = words;
    }
}

std::size_t CPacket::available_words() const {
    return std::min<std::size_t>(size_, length());
}

void CPacket::touch(std::size_t word_index) {
    if (word_index >= size_) {
        size_ = word_index + 1;
    }
    swapped_.reset();
}

std::uint8_t CPacket::byte(std::size_t index) const {
    if (index >= kMaxBytes) {
        throw std::out_of_range("P20SPI packet byte index");
    }
    return static_cast<std::uint8_t>(words_[index / 4] >> (8 * (index % 4)));
}

void CPacket::set_byte(std::size_t index, std::uint8_t value) {
    if (index >= kMaxBytes) {
        throw std::out_of_range("P20SPI packet byte index");
    }
    const unsigned shift = 8 * (index % 4);
    std::uint32_t& w = words_[index / 4];
    w = (w & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{value} << shift);
    touch(index / 4);
}

std::uint32_t CPacket::word(std::size_t index) const {
    if (index >= kMaxWords) {
        throw std::out_of_range("P20SPI packet word index");
    }
    return words_[index];
}

void CPacket::set_word(std::size_t index, std::uint32_t value) {
    if (index >= kMaxWords) {
        throw std::out_of_range("P20SPI packet word index");
    }
    words_[index] = value;
    touch(index);
}

std::uint16_t CPacket::be16(std::size_t index) const {
    return static_cast<std::uint16_t>((byte(index) << 8) | byte(index + 1));
}

void CPacket::set_be16(std::size_t index, std::uint16_t value) {
    set_byte(index, static_cast<std::uint8_t>(value >> 8));
    set_byte(index + 1, static_cast<std::uint8_t>(value));
}

std::uint32_t CPacket::be32(std::size_t index) const {
    return (std::uint32_t{byte(index)} << 24) | (std::uint32_t{byte(index + 1)} << 16) |
           (std::uint32_t{byte(index + 2)} << 8) | byte(index + 3);
}

void CPacket::set_be32(std::size_t index, std::uint32_t value) {
    for (std::size_t k = 0; k < 4; ++k) {
        set_byte(index + k, static_cast<std::uint8_t>(value >> (24 - 8 * k)));
    }
}

std::span<const std::uint32_t> CPacket::words() const {
    return std::span<const std::uint32_t>(words_.data(), available_words());
}

std::uint8_t CPacket::compute_checksum() const {
    std::array<std::uint8_t, kMaxBytes> bytes{};
    const std::size_t n = std::min<std::size_t>(length(), kMaxWords);
    for (std::size_t i = 0; i < n * 4; ++i) {
        bytes[i] = byte(i);
    }
    return fletcher_checksum(std::span<const std::uint8_t>(bytes.data(), n * 4));
}

std::span<const std::uint8_t, CPacket::kMaxBytes> CPacket::swapped() const {
    if (!swapped_) {
        auto view = std::make_unique<std::array<std::uint8_t, kMaxBytes>>();
        for (std::size_t w = 0; w < kMaxWords; ++w) {
            for (std::size_t k = 0; k < 4; ++k) {
                // The header keeps its byte order; every other word is reversed.
                const std::size_t from = w == 0 ? k : 3 - k;
                (*view)[4 * w + k] = byte(4 * w + from);
            }
        }
        swapped_ = std::move(view);
    }
    return std::span<const std::uint8_t, kMaxBytes>(*swapped_);
}

std::uint32_t CPacket::swapped_word(std::size_t index) const {
    if (index >= kMaxWords) {
        throw std::out_of_range("P20SPI packet word index");
    }
    const auto view = swapped();
    const std::size_t b = 4 * index;
    return std::uint32_t{view[b]} | (std::uint32_t{view[b + 1]} << 8) |
           (std::uint32_t{view[b + 2]} << 16) | (std::uint32_t{view[b + 3]} << 24);
}

}  // namespace P20SPI
