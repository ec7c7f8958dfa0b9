#include "tests/support/ws_client.h"

#include <sys/socket.h>

namespace orva_test {

ws_client::ws_client(const options& opts) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    socket_ = connect_tcp(opts.host, opts.port, deadline, opts.source);
    if (!socket_.valid()) return;
    if (opts.receive_buffer > 0)
        ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVBUF, &opts.receive_buffer, sizeof opts.receive_buffer);
    std::string request = "GET " + opts.path + " HTTP/1.1\r\n";
    if (opts.send_host) request += "Host: " + opts.host + ":" + std::to_string(opts.port) + "\r\n";
    request +=
        "Upgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    for (const auto& [name, value] : opts.headers) request += name + ": " + value + "\r\n";
    request += "\r\n";
    if (!send_all(socket_.fd(), request, deadline)) return;
    // Read the answer head byte-wise up to the blank line; what follows are frames.
    while (handshake_.find("\r\n\r\n") == std::string::npos) {
        if (!receive_exact(socket_.fd(), 1, handshake_, deadline)) break;
    }
    size_t space = handshake_.find(' ');
    if (space != std::string::npos) status_ = std::atoi(handshake_.c_str() + space + 1);
}

std::optional<ws_message> ws_client::next(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto need = [&](size_t count) {
        if (buffered_.size() >= count) return true;
        return receive_exact(socket_.fd(), count - buffered_.size(), buffered_, deadline);
    };
    for (;;) {
        if (!socket_.valid() || !need(2)) return std::nullopt;
        const auto b0 = static_cast<unsigned char>(buffered_[0]);
        const auto b1 = static_cast<unsigned char>(buffered_[1]);
        ws_message message;
        message.opcode = b0 & 0x0F;
        const bool masked = b1 & 0x80;
        uint64_t length = b1 & 0x7F;
        size_t header = 2;
        message.length_form = 7;
        if (length == 126) {
            if (!need(4)) return std::nullopt;
            length = (static_cast<unsigned char>(buffered_[2]) << 8) | static_cast<unsigned char>(buffered_[3]);
            header = 4;
            message.length_form = 16;
        } else if (length == 127) {
            if (!need(10)) return std::nullopt;
            length = 0;
            for (int i = 0; i < 8; ++i) length = (length << 8) | static_cast<unsigned char>(buffered_[2 + i]);
            header = 10;
            message.length_form = 64;
        }
        if (masked) header += 4;
        if (length > (1ull << 31) || !need(header + length)) return std::nullopt;
        message.payload = buffered_.substr(header, length);
        if (masked)
            for (size_t i = 0; i < length; ++i) message.payload[i] ^= buffered_[header - 4 + i % 4];
        buffered_.erase(0, header + length);
        if (message.opcode == 9) {  // ping: answer and read on
            send(10, message.payload);
            continue;
        }
        if (message.opcode == 10) continue;
        if (message.opcode == 8) send(8, message.payload.substr(0, 2));  // answer a close
        return message;
    }
}

bool ws_client::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        auto message = next(left);
        if (!message) return false;
        if (message->payload == text) return true;
    }
}

bool ws_client::send(int opcode, const std::string& payload) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size());
    } else if (payload.size() < 65536) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xFF);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int i = 7; i >= 0; --i) frame += static_cast<char>((static_cast<uint64_t>(payload.size()) >> (8 * i)) & 0xFF);
    }
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    return send_all(socket_.fd(), frame, deadline);
}

}  // namespace orva_test
