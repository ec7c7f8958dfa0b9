#include "backend/api/websocket_handshake.h"

#include <boost/uuid/detail/sha1.hpp>

#include <cctype>
#include <cstdint>

namespace nox {

namespace {

constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t chunk = (std::uint32_t{data[i]} << 16) |
                                    (i + 1 < size ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                    (i + 2 < size ? std::uint32_t{data[i + 2]} : 0);
        out += base64_alphabet[(chunk >> 18) & 63];
        out += base64_alphabet[(chunk >> 12) & 63];
        out += i + 1 < size ? base64_alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < size ? base64_alphabet[chunk & 63] : '=';
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

bool header_has_token(std::string_view value, std::string_view token) {
    for (;;) {
        const std::size_t comma = value.find(',');
        if (equal_ignoring_case(trimmed(value.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) return false;
        value.remove_prefix(comma + 1);
    }
}

bool valid_websocket_key(std::string_view key) {
    key = trimmed(key);
    if (key.size() != 24 || key.substr(22) != "==") return false;
    for (std::size_t i = 0; i < 22; ++i)
        if (base64_alphabet.find(key[i]) == std::string_view::npos) return false;
    // 16 bytes leave 4 bits unused in the last character: they must be zero.
    return (base64_alphabet.find(key[21]) & 0x0F) == 0;
}

std::string websocket_accept(std::string_view key) {
    const std::string text = std::string(trimmed(key)) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    boost::uuids::detail::sha1 sha1;
    sha1.process_bytes(text.data(), text.size());
    unsigned int digest[5];
    sha1.get_digest(digest);
    unsigned char bytes[20];
    for (int i = 0; i < 5; ++i)
        for (int k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<unsigned char>(digest[i] >> (24 - 8 * k));
    return base64(bytes, sizeof bytes);
}

std::string websocket_accept_answer(std::string_view key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           websocket_accept(key) + "\r\n\r\n";
}

}  // namespace nox
