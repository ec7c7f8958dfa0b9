#include "backend/amp/socket.h"

#include "common/log/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nox::amp {

namespace {

bool set_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int fail_and_close(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

}  // namespace

std::uint32_t parse_ipv4(const std::string& dotted) {
    if (dotted.empty()) return htonl(INADDR_ANY);
    in_addr address{};
    if (::inet_pton(AF_INET, dotted.c_str(), &address) != 1) return INADDR_NONE;
    return address.s_addr;
}

int open_socket(std::uint32_t address, std::uint16_t port, int type, bool broadcast, bool non_blocking,
                int connect_timeout_ms) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail_and_close(fd);
    if (broadcast && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return fail_and_close(fd);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = address;
    if (type == SOCK_STREAM) {
        if (connect_with_timeout(fd, where, connect_timeout_ms) != 0) return fail_and_close(fd);
    } else if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        return fail_and_close(fd);
    }
    if (non_blocking && !set_non_blocking(fd)) return fail_and_close(fd);
    return fd;
}

int connect_with_timeout(int fd, const sockaddr_in& address, int timeout_ms) {
    if (!set_non_blocking(fd)) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK) {
        log_line("Cannot connect...");
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        log_line("select() failed.");
        return -1;
    }
    if (ready == 0) {
        log_line("select() timed out...");
        return -1;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) {
        NOX_LOG_FORMAT("Cannot connect. getsockopt returned errno %d", error);
        return -1;
    }
    if ((p.revents & (POLLERR | POLLHUP)) != 0 && (p.revents & POLLOUT) == 0) {
        log_line("Cannot connect...");
        return -1;
    }
    return 0;
}

ssize_t receive_with_timeout(int fd, void* buffer, std::size_t size, bool& timed_out, int timeout_ms) {
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        log_line("error on select, errno: " + std::to_string(errno));
        return -1;
    }
    if (ready == 0) {
        log_line("Select has timed out, no data available");
        timed_out = true;
        return -1;
    }
    return ::recv(fd, buffer, size, 0);
}

void print_line(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) >= sizeof buffer) std::memcpy(buffer + sizeof buffer - 4, "...", 4);
    std::fputs(buffer, stdout);
    std::fflush(stdout);
}

}  // namespace nox::amp
