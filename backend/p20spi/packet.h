// One P20SPI packet: up to 61 32-bit words (244 bytes), word 0 being the header, with the
// Fletcher checksum and a lazily built byte-swapped view for the monitor block.
//
// Packet layout
// -------------
// Bytes are numbered in memory order: byte 4w+k is byte k of word w, where a word's value
// is byte0 + byte1*2^8 + byte2*2^16 + byte3*2^24 (independent of the host's byte order).
//
//   word 0, the header:
//     byte 0  command code (15 fault / bare packet, 16 read, 17 read response, 18 write,
//             19 write response, 34 monitor read, 35 monitor response)
//     byte 1  bits 0..3 sequence tag (we always send 0 and never check a reply's tag),
//             bits 4..7 unused
//     byte 2  packet length in words, header included (1..61)
//     byte 3  checksum
//   words 1..length-1: payload, laid out per command (see commands.h).
//
// Checksum: Fletcher's checksum with both sums modulo 255 over every byte of the
// packet's `length` words in byte order 0, 1, 2, ..., with byte 3 counted as 0. The
// checksum byte is the second sum (the one that accumulates the running first sum), in
// 0..254. The monitor-read request 34, 0, 1, 0 thus carries 0x8A.
//
// Byte-swapped view: 244 bytes whose word 0 is the header unchanged and whose words
// 1..60 are the packet's words with their four bytes reversed. A port delivers reply
// words in host order after converting them from big-endian on the wire, so this view
// gives back the monitor block in the amplifier's own byte order.
//
// Untrusted input: a packet built from received words remembers how many words it
// actually holds (`size`). Parsers read only the first `available_words()` words, the
// smaller of that size and the length byte, and reject what does not fit.
//
// Thread safety: a packet belongs to one exchange and one thread. Const members may not
// be called concurrently either, because the first `swapped()` builds the view.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace P20SPI {

// Command codes (header byte 0).
enum ECommandCode : std::uint8_t {
    kCodeFault = 15,  // also the code of a bare packet
    kCodeParamRd = 16,
    kCodeParamRdResponse = 17,
    kCodeParamWr = 18,
    kCodeParamWrResponse = 19,
    kCodeMonitorRd = 34,
    kCodeMonitorRdResponse = 35,
};

// Fletcher checksum (sums modulo 255) of `bytes`, with the byte at index 3 counted as 0.
std::uint8_t fletcher_checksum(std::span<const std::uint8_t> bytes);

class CPacket {
public:
    static constexpr std::size_t kMaxWords = 61;
    static constexpr std::size_t kMaxBytes = kMaxWords * 4;

    // A bare packet: the header word alone, code 15, length 0.
    CPacket();
    // A packet received from a port. At most 61 words are kept; `size()` tells how many.
    explicit CPacket(std::span<const std::uint32_t> words);

    CPacket(const CPacket& other);
    CPacket& operator=(const CPacket& other);
    CPacket(CPacket&& other) noexcept;
    CPacket& operator=(CPacket&& other) noexcept;
    ~CPacket();

    // Replaces the contents with received words. Returns false (keeping the first 61)
    // when more words were offered than a packet can hold.
    bool assign(std::span<const std::uint32_t> words);
    // Back to a bare packet.
    void clear();

    // Header fields.
    std::uint8_t code() const { return byte(0); }
    void set_code(std::uint8_t code) { set_byte(0, code); }
    std::uint8_t tag() const { return byte(1) & 0x0F; }
    void set_tag(std::uint8_t tag) { set_byte(1, static_cast<std::uint8_t>(tag & 0x0F)); }
    std::uint8_t length() const { return byte(2); }
    // Sets the length byte of a packet being built and makes the packet hold that many
    // words (new words are 0). Throws std::length_error above 61.
    void set_length(std::size_t words);
    std::uint8_t checksum() const { return byte(3); }
    void set_checksum(std::uint8_t sum) { set_byte(3, sum); }

    // Number of words the packet holds (received, or written while building).
    std::size_t size() const { return size_; }
    // Words a parser may read: the smaller of `size()` and the length byte.
    std::size_t available_words() const;

    // Raw access by byte and word index. Indices beyond the 61-word storage throw
    // std::out_of_range; a word not held reads as 0. Writing a word (or a byte of it)
    // beyond `size()` extends the packet to hold it (the words between become 0).
    std::uint8_t byte(std::size_t index) const;
    void set_byte(std::size_t index, std::uint8_t value);
    std::uint32_t word(std::size_t index) const;
    void set_word(std::size_t index, std::uint32_t value);
    // Big-endian fields inside the packet bytes, starting at byte `index`.
    std::uint16_t be16(std::size_t index) const;
    void set_be16(std::size_t index, std::uint16_t value);
    std::uint32_t be32(std::size_t index) const;
    void set_be32(std::size_t index, std::uint32_t value);

    // The words to hand to a port: the first `available_words()` words.
    std::span<const std::uint32_t> words() const;

    // Checksum over the packet's length words with byte 3 counted as 0.
    std::uint8_t compute_checksum() const;
    // Stores `compute_checksum()` in byte 3.
    void seal() { set_checksum(compute_checksum()); }
    // The stored checksum matches the computed one.
    bool checksum_valid() const { return checksum() == compute_checksum(); }

    // The byte-swapped view (244 bytes), built on first request and dropped whenever the
    // packet changes.
    std::span<const std::uint8_t, kMaxBytes> swapped() const;
    // Word `index` of the byte-swapped view (little-endian read of its four bytes).
    std::uint32_t swapped_word(std::size_t index) const;

private:
    void touch(std::size_t word_index);

    std::array<std::uint32_t, kMaxWords> words_{};
    std::size_t size_ = 0;
    mutable std::unique_ptr<std::array<std::uint8_t, kMaxBytes>> swapped_;
};

}  // namespace P20SPI
