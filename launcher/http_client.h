// The launcher's minimal HTTP client and its raw line exchange, over TCP to 127.0.0.1.
//
// Every exchange opens its own connection, sends the whole request, reads the reply and
// closes the connection. Reads come in pieces of at most 512 bytes; a read that delivers
// fewer than 512 bytes (zero included: the peer closed) ends the reply, so a reply may be
// cut at a segment boundary and callers that need the whole body use `fetch_whole_reply`.
// A refused connection, a send or receive error, or a peer that lets the exchange's
// deadline pass yields the empty reply: nothing here blocks for ever, and nothing spins
// (every wait is a poll against a deadline on the steady clock).
//
// Thread safety: a `connection` belongs to one thread; the free functions keep no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace nox::launcher {

using steady_clock = std::chrono::steady_clock;

// Receive buffer size: a read that fills it is followed by another read.
inline constexpr size_t receive_buffer_size = 512;
// Upper bound on what one exchange accepts; a larger reply counts as an error.
inline constexpr size_t max_reply_size = 64u * 1024u * 1024u;
// Default limit for one whole exchange (connect, send, every read).
inline constexpr std::chrono::milliseconds default_exchange_timeout{30000};

// One TCP connection to 127.0.0.1:<port>. A connect that fails leaves it invalid, and every
// later send and read on it fails. The socket is closed by the destructor.
class connection {
public:
    connection(std::uint16_t port, steady_clock::time_point deadline);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    bool valid() const { return fd_ >= 0; }

    // Sends all of `text`. False (and the connection becomes invalid) on error or when the
    // deadline passes first.
    bool send_all(std::string_view text);

    // One read of at most `capacity` bytes, waiting until data, end of stream or the
    // deadline: the byte count, 0 when the peer has closed, -1 on error or time-out.
    ssize_t read_some(char* buffer, size_t capacity);

private:
    void close_socket();
    // Waits for `events` on the socket; false on error or when the deadline passes.
    bool wait_for(short events);

    int fd_ = -1;
    steady_clock::time_point deadline_;
};

// Reads until a read delivers fewer than 512 bytes. An error (or the deadline) drops what
// earlier reads delivered and gives the empty string.
std::string receive_reply(connection& conn);

// Sends `text` on `conn`, then `receive_reply`.
std::string exchange(connection& conn, std::string_view text);

// One exchange on a new connection to 127.0.0.1:<port>, closed afterwards.
std::string exchange(std::uint16_t port, std::string_view text,
                     std::chrono::milliseconds timeout = default_exchange_timeout);

// HTTP to 127.0.0.1:<port> (the backend).
class http_client {
public:
    explicit http_client(std::uint16_t port,
                         std::chrono::milliseconds timeout = default_exchange_timeout)
        : port_(port), timeout_(timeout) {}

    // "GET <path>" and its reply as read by `receive_reply`.
    std::string http_get(std::string_view path) const;
    // "POST <path>" with the given content type and body, and its reply.
    std::string http_post(std::string_view path, std::string_view content_type,
                          std::string_view body) const;

    // "GET <path>", then reads on while the reply announces more body than has arrived.
    // The whole reply (header and body) is logged and returned once complete; a malformed
    // reply, or a peer that closes, fails or times out before the body is complete, gives
    // the empty string.
    std::string fetch_whole_reply(std::string_view path) const;

    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_;
    std::chrono::milliseconds timeout_;
};

}  // namespace nox::launcher
