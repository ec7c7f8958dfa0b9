// A TLS client connection for process-level tests (HTTPS and WSS against a backend with
// ORVA_TLS_CERT). The tests make their own self-signed certificates, so the server's
// certificate is not verified. Every wait ends at its deadline.
//
// Thread safety: one thread per object.
#pragma once

#include "tests/support/socket_util.h"

#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace orva_test {

class tls_stream {
public:
    // Connects (from `source` when not empty) and performs the TLS handshake; `ok()`
    // tells whether both succeeded.
    tls_stream(const std::string& host, uint16_t port, deadline_t deadline, const std::string& source = {});
    ~tls_stream();
    tls_stream(const tls_stream&) = delete;
    tls_stream& operator=(const tls_stream&) = delete;

    bool ok() const { return ssl_ != nullptr; }
    bool send(const std::string& data, deadline_t deadline);
    // Appends what arrives to `out` until at least `count` bytes were appended, the peer
    // closes, or the deadline passes; false unless `count` bytes came.
    bool receive(size_t count, std::string& out, deadline_t deadline);
    // Reads until the peer closes or the deadline passes.
    std::string receive_until_close(deadline_t deadline);

private:
    // Waits until the socket is ready for what the last TLS call wants.
    bool wait(int ssl_error, deadline_t deadline);

    socket_handle socket_;
    ssl_st* ssl_ = nullptr;
    ssl_ctx_st* context_ = nullptr;
};

}  // namespace orva_test
