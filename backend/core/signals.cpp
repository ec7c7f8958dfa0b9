#include "backend/core/signals.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace nox {

namespace {

volatile std::sig_atomic_t signal_flag = 0;
volatile std::sig_atomic_t signal_number = 0;
std::atomic<int> wake_fd{-1};

void on_signal(int number) {
    signal_number = number;
    signal_flag = 1;
    int fd = wake_fd.load();
    if (fd >= 0) {
        char byte = 's';
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
}

}  // namespace

wake_pipe::wake_pipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

wake_pipe::~wake_pipe() {
    if (wake_fd.load() == fds_[1]) wake_fd.store(-1);
    for (int fd : fds_)
        if (fd >= 0) ::close(fd);
}

void wake_pipe::wake_up() const {
    char byte = 'w';
    if (fds_[1] >= 0) [[maybe_unused]] ssize_t n = ::write(fds_[1], &byte, 1);
}

void wake_pipe::drain() const {
    char buffer[64];
    while (fds_[0] >= 0 && ::read(fds_[0], buffer, sizeof buffer) > 0) {
    }
}

void install_signal_handlers(const wake_pipe& pipe) {
    wake_fd.store(pipe.write_fd());
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool take_signal(int& number) {
    if (!signal_flag) return false;
    signal_flag = 0;
    number = signal_number;
    return true;
}

}  // namespace nox
