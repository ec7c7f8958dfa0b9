#include "backend/core/lock_file.h"

#include "common/log/log.h"
#include "common/platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace nox {

namespace {

// The process id written in the file; 0 when the file holds no valid number.
pid_t read_pid(const std::string& path) {
    auto text = platform::read_file(path);
    if (!text || text->empty() || text->size() > 20) return 0;
    long long value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value > 0 && value <= 0x7fffffff ? static_cast<pid_t>(value) : 0;
}

}  // namespace

bool lock_file::held_by_other() {
    if (!platform::path_exists(path_)) return false;
    const pid_t pid = read_pid(path_);
    log_line("pidfile exists with pid: " + std::to_string(pid));

    bool held = false;
    // Our own id in the file can only be left over from an earlier process that had it.
    if (pid != 0 && pid != ::getpid()) {
        errno = 0;
        if (::kill(pid, 0) == 0 || errno == EPERM) {
            auto other = platform::process_executable_name(pid);
            if (!other) {
                int error = errno;
                log_line("Failed get info for pid: " + std::to_string(pid) + " error code: " +
                         std::to_string(error) + " errmsg: " + std::strerror(error));
            } else {
                auto own = platform::process_executable_name(::getpid());
                held = own && *own == *other;
            }
        } else if (errno != ESRCH) {
            log_line("unexpected error when querying status of a process:" + std::to_string(errno));
        }
    }
    if (!held && platform::path_exists(path_)) {
        log_line("pidfile existed, but not running backend? did we crash or were we forcefully "
                 "quitted?");
        std::remove(path_.c_str());
    }
    return held;
}

bool lock_file::write() {
    // O_EXCL: of two backends starting together only one can create the file.
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return false;
    std::string text = std::to_string(::getpid());
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok) std::remove(path_.c_str());
    return ok;
}

bool lock_file::remove() {
    if (std::remove(path_.c_str()) == 0) return true;
    log_line("Could not delete pid file! remove err code: " + std::to_string(errno));
    std::string renamed = path_ + std::to_string(::getpid());
    if (std::rename(path_.c_str(), renamed.c_str()) == 0) return true;
    log_line("Could not rename pid file either! rename err code: " + std::to_string(errno));
    return false;
}

}  // namespace nox
