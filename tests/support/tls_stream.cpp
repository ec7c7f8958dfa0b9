#include "tests/support/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <poll.h>

namespace orva_test {

tls_stream::tls_stream(const std::string& host, uint16_t port, deadline_t deadline, const std::string& source) {
    socket_ = connect_tcp(host, port, deadline, source);
    if (!socket_.valid()) return;
    context_ = SSL_CTX_new(TLS_client_method());
    if (!context_) return;
    SSL_CTX_set_verify(context_, SSL_VERIFY_NONE, nullptr);
    SSL* ssl = SSL_new(context_);
    if (!ssl) return;
    ::fcntl(socket_.fd(), F_SETFL, ::fcntl(socket_.fd(), F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl, socket_.fd());
    for (;;) {
        const int r = SSL_connect(ssl);
        if (r == 1) break;
        if (!wait(SSL_get_error(ssl, r), deadline)) {
            SSL_free(ssl);
            return;
        }
    }
    ssl_ = ssl;
}

tls_stream::~tls_stream() {
    if (ssl_) SSL_free(ssl_);
    if (context_) SSL_CTX_free(context_);
}

bool tls_stream::wait(int ssl_error, deadline_t deadline) {
    short events = 0;
    if (ssl_error == SSL_ERROR_WANT_READ) events = POLLIN;
    if (ssl_error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events == 0) {
        ERR_clear_error();
        return false;
    }
    return wait_ready(socket_.fd(), events, deadline);
}

bool tls_stream::send(const std::string& data, deadline_t deadline) {
    if (!ssl_) return false;
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = SSL_write(ssl_, data.data() + sent, static_cast<int>(data.size() - sent));
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (!wait(SSL_get_error(ssl_, n), deadline)) {
            return false;
        }
    }
    return true;
}

bool tls_stream::receive(size_t count, std::string& out, deadline_t deadline) {
    if (!ssl_) return false;
    size_t got = 0;
    char buffer[4096];
    while (got < count) {
        const int n = SSL_read(ssl_, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
            got += static_cast<size_t>(n);
        } else if (!wait(SSL_get_error(ssl_, n), deadline)) {
            return false;
        }
    }
    return true;
}

std::string tls_stream::receive_until_close(deadline_t deadline) {
    std::string out;
    receive(static_cast<size_t>(-1), out, deadline);
    return out;
}

}  // namespace orva_test
