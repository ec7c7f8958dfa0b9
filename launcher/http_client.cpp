#include "launcher/http_client.h"

#include "common/log/log.h"
#include "launcher/http_reply.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nox::launcher {

namespace {

// Milliseconds left until `deadline` for poll, rounded up so that a wait never ends early.
int poll_timeout(steady_clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return 0;
    if (left.count() > 1000000) return 1000000;
    return static_cast<int>(left.count());
}

}  // namespace

connection::connection(std::uint16_t port, steady_clock::time_point deadline)
    : deadline_(deadline) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return;
    if (errno != EINPROGRESS || !wait_for(POLLOUT)) {
        close_socket();
        return;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) < 0 || error != 0) close_socket();
}

connection::~connection() { close_socket(); }

void connection::close_socket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool connection::wait_for(short events) {
    for (;;) {
        pollfd entry{fd_, events, 0};
        int rc = ::poll(&entry, 1, poll_timeout(deadline_));
        if (rc > 0) return true;  // ready, or an error that the next call reports
        if (rc == 0) {
            if (steady_clock::now() >= deadline_) return false;
            continue;  // poll's millisecond rounding ended the wait a little early
        }
        if (errno != EINTR) return false;
    }
}

bool connection::send_all(std::string_view text) {
    while (valid() && !text.empty()) {
        ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
        if (n > 0) {
            text.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(POLLOUT)) continue;
        close_socket();
    }
    return valid();
}

ssize_t connection::read_some(char* buffer, size_t capacity) {
    while (valid()) {
        ssize_t n = ::recv(fd_, buffer, capacity, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(POLLIN)) continue;
        close_socket();
    }
    return -1;
}

std::string receive_reply(connection& conn) {
    std::string reply;
    char buffer[receive_buffer_size];
    for (;;) {
        ssize_t n = conn.read_some(buffer, sizeof buffer);
        if (n < 0 || reply.size() + static_cast<size_t>(n) > max_reply_size) return {};
        reply.append(buffer, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof buffer) return reply;
    }
}

std::string exchange(connection& conn, std::string_view text) {
    if (!conn.send_all(text)) return {};
    return receive_reply(conn);
}

std::string exchange(std::uint16_t port, std::string_view text, std::chrono::milliseconds timeout) {
    connection conn(port, steady_clock::now() + timeout);
    return nox::launcher::exchange(conn, text);
}

std::string http_client::http_get(std::string_view path) const {
    return nox::launcher::exchange(port_, get_request_text(path), timeout_);
}

std::string http_client::http_post(std::string_view path, std::string_view content_type,
                                   std::string_view body) const {
    return nox::launcher::exchange(port_, post_request_text(path, content_type, body), timeout_);
}

std::string http_client::fetch_whole_reply(std::string_view path) const {
    connection conn(port_, steady_clock::now() + timeout_);
    std::string reply = nox::launcher::exchange(conn, get_request_text(path));
    reply_state state = reply_complete(reply);
    while (state == reply_partial) {
        // A read that adds nothing means the peer closed (or failed, or let the deadline
        // pass) before the announced body arrived: the body never comes, so stop.
        std::string more = receive_reply(conn);
        if (more.empty() || reply.size() + more.size() > max_reply_size) return {};
        reply += more;
        state = reply_complete(reply);
    }
    if (state != reply_whole) return {};
    log_line(reply);
    return reply;
}

}  // namespace nox::launcher
