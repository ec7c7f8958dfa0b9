#include "common/log/log.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace nox {

namespace {

// Folder of the running executable, from /proc/self/exe; empty when unreadable.
std::string own_folder() {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    std::string path(buffer.data(), static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string log_time_stamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%X", &local);
    return std::string(text, n);
}

log& log::instance() {
    static log* the_log = new log();  // never destroyed: threads may log until exit
    return *the_log;
}

log::log() {
    std::string folder = own_folder();
    path_ = folder.empty() ? std::string("orva.log") : folder + "/orva.log";
}

std::string log::format_line(const std::string& message) {
    return "[" + log_time_stamp() + "] " + message + "\n";
}

void log::write_locked(const std::string& line, bool truncate) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    int fd = ::open(path_.c_str(), flags, 0644);
    if (fd < 0) return;  // the line is lost; logging never fails its caller
    struct stat st {};
    if (!truncate && max_size_ > 0 && ::fstat(fd, &st) == 0 &&
        static_cast<size_t>(st.st_size) + line.size() > max_size_) {
        // A service that logs every amplifier exchange must not fill the disk: the full
        // file becomes "<path>.1" (replacing the previous one) and a new file begins.
        ::close(fd);
        std::rename(path_.c_str(), (path_ + ".1").c_str());
        fd = ::open(path_.c_str(), flags, 0644);
        if (fd < 0) return;
    }
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

void log::set_max_size(size_t bytes) {
    std::lock_guard lock(mutex_);
    max_size_ = bytes;
}

void log::log_line(const std::string& message) {
    // The line is formatted before the lock is taken: many threads log every amplifier
    // exchange, and the lock should cover only the file.
    const std::string line = format_line(message);
    std::lock_guard lock(mutex_);
    write_locked(line, false);
}

void log::log_format(const char* format, ...) {
    std::lock_guard format_lock(format_mutex_);
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return;
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    log_line(std::string(buffer.data(), static_cast<size_t>(length)));
}

void log::set_log_path(const std::string& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
}

void log::log_truncate() {
    std::lock_guard lock(mutex_);
    write_locked(format_line("Log truncated"), true);
}

std::string log::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

}  // namespace nox
