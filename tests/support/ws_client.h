// A WebSocket client for process-level tests and benchmarks, with its own frame reader
// (not the server's codec), so that the frames the backend sends are checked byte by
// byte: each received message records which payload-length form it came in (7-bit,
// 16-bit or 64-bit).
//
// The client reads only when asked (`next`), so a test can stop reading to play a slow
// client. Ping frames are answered with a pong while reading.
//
// Thread safety: one thread per client object.
#pragma once

#include "tests/support/socket_util.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace orva_test {

struct ws_message {
    int opcode = 0;           // 1 text, 2 binary, 8 close
    std::string payload;
    int length_form = 0;      // 7, 16 or 64: how the payload length was coded
};

class ws_client {
public:
    struct options {
        std::string host = "127.0.0.1";
        uint16_t port = 8080;
        std::string path = "/";
        std::map<std::string, std::string> headers;  // e.g. Origin
        bool send_host = true;
        std::string source;  // the local address to connect from; empty: any
        int receive_buffer = 0;  // SO_RCVBUF when not 0 (small: a slow client fills up fast)
    };

    // Connects and performs the handshake; `status` is the HTTP status of the answer
    // (101 on success, 0 when nothing answered).
    explicit ws_client(const options& opts);
    ws_client() : ws_client(options{}) {}

    bool connected() const { return status_ == 101; }
    int status() const { return status_; }
    const std::string& handshake_answer() const { return handshake_; }

    // The next data or close message, or nothing when the deadline passes or the
    // connection ends.
    std::optional<ws_message> next(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // The next text message whose payload is `text` (skipping others), or false.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Sends a masked frame (as a browser does).
    bool send(int opcode, const std::string& payload);
    void close() { socket_.close(); }
    int fd() const { return socket_.fd(); }

private:
    socket_handle socket_;
    std::string buffered_;  // bytes read after the handshake
    std::string handshake_;
    int status_ = 0;
};

}  // namespace orva_test
