// A scripted Tesira server inside the test process, on a loopback port: each accepted
// connection runs the test's script (send bytes, read the client's lines and bytes,
// stall, close), one connection after the other. Used to check the telnet client's bytes
// on the wire and its handling of replies that the simulator would never send.
//
// Thread safety: the server thread runs the scripts; the test thread may call `lines`,
// `connections` and the destructor at any time.
#pragma once

#include "tests/support/socket_util.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orva_test {

class fake_session {
public:
    fake_session(int fd, std::atomic<bool>& stopping, std::function<void(const std::string&)> record)
        : fd_(fd), stopping_(stopping), record_(std::move(record)) {}

    void send(const std::string& bytes) { send_all(fd_, bytes, deadline(2000)); }
    // One line from the client, without its CR LF (or CR); empty on close or time-out.
    std::string read_line(int timeout_ms = 3000) {
        const auto until = deadline(timeout_ms);
        for (;;) {
            const auto end = buffer_.find_first_of("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                std::size_t skip = end + 1;
                if (buffer_[end] == '\r' && skip < buffer_.size() && buffer_[skip] == '\n') ++skip;
                buffer_.erase(0, skip);
                record_(line);
                return line;
            }
            if (!fill(until)) return {};
        }
    }
    // Exactly `count` raw bytes; what arrived when the time runs out.
    std::string read_bytes(std::size_t count, int timeout_ms = 3000) {
        const auto until = deadline(timeout_ms);
        while (buffer_.size() < count && fill(until)) {
        }
        std::string bytes = buffer_.substr(0, count);
        buffer_.erase(0, bytes.size());
        return bytes;
    }
    // Answers a command line with `reply` (reads the line first).
    std::string answer(const std::string& reply) {
        std::string line = read_line();
        send(reply);
        return line;
    }
    // Holds the connection without a word until the client closes it, the server stops or
    // the time passes (what the client sends meanwhile is kept for later reads).
    void stall(int ms) {
        const auto until = deadline(ms);
        while (!stopping_ && remaining_ms(until) > 0) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, std::min(20, remaining_ms(until))) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // The telnet options and banner of a server without login.
    void greet_without_login() {
        send(std::string("\xff\xfd\x01\xff\xfb\x03", 6));
        read_bytes(6);
        send("\nWelcome to the Tesira Text Protocol Server...\r\n");
    }

private:
    static deadline_t deadline(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }
    bool fill(deadline_t until) {
        pollfd p{fd_, POLLIN, 0};
        const int wait = std::min(remaining_ms(until), 50);
        if (stopping_ || remaining_ms(until) == 0) return false;
        if (::poll(&p, 1, wait) <= 0) return !stopping_ && remaining_ms(until) > 0;
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_;
    std::atomic<bool>& stopping_;
    std::function<void(const std::string&)> record_;
    std::string buffer_;
};

class fake_tesira_server {
public:
    using script = std::function<void(fake_session&)>;

    // Listens on 127.0.0.1 (an ephemeral port); every connection takes the next script,
    // and the last script serves every further connection.
    explicit fake_tesira_server(std::vector<script> scripts) : scripts_(std::move(scripts)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::listen(listener_, 8);
        socklen_t size = sizeof where;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &size);
        port_ = ntohs(where.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~fake_tesira_server() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    void serve() {
        std::size_t next = 0;
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            fake_session session(fd, stopping_, [this](const std::string& line) {
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
            });
            const script& s = scripts_[std::min(next, scripts_.size() - 1)];
            ++next;
            if (s) s(session);
            ::close(fd);
        }
    }

    std::vector<script> scripts_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

}  // namespace orva_test
