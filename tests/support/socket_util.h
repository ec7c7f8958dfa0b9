// Blocking TCP helpers with deadlines on the steady clock (poll-based), shared by the test
// clients. Every wait ends at its deadline; nothing spins.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orva_test {

using deadline_t = std::chrono::steady_clock::time_point;

class socket_handle {
public:
    socket_handle() = default;
    explicit socket_handle(int fd) : fd_(fd) {}
    ~socket_handle();
    socket_handle(socket_handle&& other) noexcept : fd_(other.release()) {}
    socket_handle& operator=(socket_handle&& other) noexcept;
    socket_handle(const socket_handle&) = delete;
    socket_handle& operator=(const socket_handle&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void close();

private:
    int fd_ = -1;
};

// Connects (IPv4 dotted address) before the deadline, from the local address `source`
// when it is not empty; an invalid handle on failure.
socket_handle connect_tcp(const std::string& host, uint16_t port, deadline_t deadline,
                          const std::string& source = {});
bool send_all(int fd, const std::string& data, deadline_t deadline);
// Reads until the peer closes, an error, or the deadline.
std::string receive_until_close(int fd, deadline_t deadline);
// Reads exactly `count` bytes, appending to `out`; false on close, error or deadline.
bool receive_exact(int fd, size_t count, std::string& out, deadline_t deadline);
// Milliseconds left until the deadline (0 when passed).
int remaining_ms(deadline_t deadline);
// Waits until `fd` has one of `events` (poll's flags), or an error; false when the deadline
// passes first. A signal does not end the wait.
bool wait_ready(int fd, short events, deadline_t deadline);

}  // namespace orva_test
