#include "backend/core/quit_port.h"

#include "common/log/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nox {

namespace {

std::string errno_text(int error) {
    return "errno: " + std::to_string(error) + " msg: " + std::strerror(error);
}

}  // namespace

quit_port::quit_port(const std::atomic<bool>& quit_flag, const wake_pipe& wake,
                     quit_port_options options)
    : quit_flag_(quit_flag), wake_(wake), options_(options) {
    open_listener();
}

quit_port::~quit_port() { close_listener(); }

void quit_port::open_listener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        log_line("Failed create server socket: " + errno_text(errno));
        return;
    }
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 10) != 0) {
        log_line("Failed create server socket: " + errno_text(errno));
        ::close(listener_);
        listener_ = -1;
    }
}

void quit_port::close_listener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

bool quit_port::should_stop() {
    int number = 0;
    if (take_signal(number)) {
        log_line("Received signal: " + std::to_string(number) +
                 " stopping all threads and exiting");
        end_ = true;
    }
    return end_ || quit_flag_.load();
}

bool quit_port::wait_for_connection() {
    for (;;) {
        if (should_stop()) return false;
        pollfd fds[2] = {{wake_.read_fd(), POLLIN, 0}, {listener_, POLLIN, 0}};
        int n = ::poll(fds, listener_ >= 0 ? 2 : 1, listener_ >= 0 ? -1 : 0);
        if (n < 0 && errno != EINTR) return true;  // let accept report the fault
        if (fds[0].revents) wake_.drain();
        if (listener_ < 0) return true;
        if (fds[1].revents) return !should_stop();
    }
}

std::string receive_quit_message(int client, std::chrono::milliseconds timeout, size_t max_message) {
    std::string message;
    char buffer[512];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{client, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&fd, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return {};
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        message.append(buffer, static_cast<size_t>(n));
        if (n != static_cast<ssize_t>(sizeof buffer) || message.size() >= max_message)
            return message;
    }
}

quit_answer answer_quit_message(const std::string& message) {
    if (message == "SIGINT") return {"+OK", true};
    if (message == "PING") return {"+OK", false};
    return {"-ERR", false};
}

void quit_port::serve() {
    end_ = false;
    for (;;) {
        if (!wait_for_connection()) return;
        int client = listener_ >= 0 ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (client < 0) {
            int error = listener_ >= 0 ? errno : EBADF;
            if (error == EINTR) continue;
            log_line("Failed accept: " + errno_text(error));
            close_listener();
            // Pause before listening again, but wake at once for a signal or the quit flag.
            pollfd fd{wake_.read_fd(), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(options_.relisten_pause.count()));
            open_listener();
            continue;
        }
        std::string message = receive_quit_message(client, options_.receive_timeout, options_.max_message);
        log_line(message);
        const quit_answer answer = answer_quit_message(message);
        if (answer.stop) {
            log_line("Received SIGINT signal from port 27027, stopping all threads and exiting");
            end_ = true;
        }
        ::send(client, answer.reply, std::strlen(answer.reply), MSG_NOSIGNAL);
        ::close(client);
        if (end_ || quit_flag_.load()) return;
    }
}

}  // namespace nox
