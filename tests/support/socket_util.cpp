#include "tests/support/socket_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orva_test {

socket_handle::~socket_handle() { close(); }

socket_handle& socket_handle::operator=(socket_handle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

void socket_handle::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int remaining_ms(deadline_t deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_ready(int fd, short events, deadline_t deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, remaining_ms(deadline));
        if (ready == 1) return true;
        // A signal (libFuzzer's time-out alarm, for one) interrupts the wait, not the deadline.
        if (ready < 0 && errno == EINTR && remaining_ms(deadline) > 0) continue;
        return false;
    }
}

socket_handle connect_tcp(const std::string& host, uint16_t port, deadline_t deadline, const std::string& source) {
    socket_handle s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return {};
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
            ::bind(s.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return {};
    }
    int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return {};
    int flags = ::fcntl(s.fd(), F_GETFL);
    ::fcntl(s.fd(), F_SETFL, flags | O_NONBLOCK);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return {};
        if (!wait_ready(s.fd(), POLLOUT, deadline)) return {};
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return {};
    }
    ::fcntl(s.fd(), F_SETFL, flags);
    return s;
}

bool send_all(int fd, const std::string& data, deadline_t deadline) {
    size_t sent = 0;
    while (sent < data.size()) {
        if (!wait_ready(fd, POLLOUT, deadline)) return false;
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string receive_until_close(int fd, deadline_t deadline) {
    std::string out;
    char buffer[65536];
    for (;;) {
        if (!wait_ready(fd, POLLIN, deadline)) break;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

bool receive_exact(int fd, size_t count, std::string& out, deadline_t deadline) {
    char buffer[65536];
    while (count > 0) {
        if (!wait_ready(fd, POLLIN, deadline)) return false;
        ssize_t n = ::recv(fd, buffer, std::min(count, sizeof buffer), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        out.append(buffer, static_cast<size_t>(n));
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace orva_test
