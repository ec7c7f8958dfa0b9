#include "common/log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
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

constexpr int append_flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;

// Whether a `log_batch` is open on this thread, and the lines it holds back.
thread_local bool batching = false;
thread_local std::string batched_lines;

}  // namespace

std::string log_time_stamp() {
    // Many lines share a second: each thread formats a second only once.
    thread_local std::time_t cached_second = -1;
    thread_local std::string cached_text;
    const std::time_t now = std::time(nullptr);
    if (now != cached_second) {
        std::tm local{};
        ::localtime_r(&now, &local);
        char text[64];
        const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%X", &local);
        cached_text.assign(text, n);
        cached_second = now;
    }
    return cached_text;
}

log& log::instance() {
    static log* the_log = new log();  // never destroyed: threads may log until exit
    return *the_log;
}

log::log() {
    std::string folder = own_folder();
    path_ = folder.empty() ? std::string("orva.log") : folder + "/orva.log";
    if (const char* limit = std::getenv("ORVA_LOG_MAX_BYTES")) {
        if (auto bytes = parse_max_size(limit)) max_size_ = *bytes;
    }
}

std::optional<std::size_t> log::parse_max_size(std::string_view text) {
    std::size_t digits = 0;
    unsigned long long value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits > 18) return std::nullopt;  // 18 digits stay below 2^60
    const std::string_view unit = text.substr(digits);
    int shift = 0;
    if (unit == "K" || unit == "k") shift = 10;
    else if (unit == "M" || unit == "m") shift = 20;
    else if (unit == "G" || unit == "g") shift = 30;
    else if (!unit.empty()) return std::nullopt;
    if (value > (~0ull >> shift) || (value << shift) > SIZE_MAX) return std::nullopt;
    value <<= shift;
    if (value < min_max_size) return std::nullopt;
    return static_cast<std::size_t>(value);
}

std::string log::format_line(const std::string& message) {
    std::string line;
    line.reserve(message.size() + 24);
    line += '[';
    line += log_time_stamp();
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

void log::close_file() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool log::open_current(std::size_t& size) {
    struct stat st {};
    if (fd_ >= 0) {
        // One stat per line: the file held is still the one at the path (not removed,
        // renamed away or replaced by another program).
        if (::stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
            size = static_cast<std::size_t>(st.st_size);
            return true;
        }
        close_file();
    }
    fd_ = ::open(path_.c_str(), append_flags, 0644);
    if (fd_ < 0) return false;
    if (::fstat(fd_, &st) != 0) {
        close_file();
        return false;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    size = static_cast<std::size_t>(st.st_size);
    return true;
}

void log::write_line(const std::string& line) {
    std::size_t size = 0;
    if (!open_current(size)) return;  // the line is lost; logging never fails its caller
    if (size > 0 && size + line.size() > max_size_) {
        // A service that logs every amplifier exchange must not fill the disk: the full
        // file becomes "<path>.1" (replacing the previous one) and a new file begins.
        close_file();
        if (std::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) {
            // Cannot be set aside: start the file again rather than let it grow.
            int fd = ::open(path_.c_str(), append_flags | O_TRUNC, 0644);
            if (fd >= 0) ::close(fd);
        }
        if (!open_current(size)) return;
    }
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void log::set_max_size(std::size_t bytes) {
    lock_guard lock(mutex_);
    max_size_ = bytes;
}

std::size_t log::max_size() const {
    lock_guard lock(mutex_);
    return max_size_;
}

void log::log_line(const std::string& message) {
    // The line is formatted before the lock is taken: many threads log every amplifier
    // exchange, and the lock should cover only the file.
    const std::string line = format_line(message);
    if (batching) {
        batched_lines += line;
        if (batched_lines.size() >= log_batch::flush_bytes) {
            write_block(batched_lines);
            batched_lines.clear();
        }
        return;
    }
    write_block(line);
}

void log::write_block(const std::string& lines) {
    if (lines.empty()) return;
    lock_guard lock(mutex_);
    write_line(lines);
}

log_batch::log_batch() : outermost_(!batching) { batching = true; }

log_batch::~log_batch() {
    if (!outermost_) return;
    batching = false;
    try {
        log::instance().write_block(batched_lines);
    } catch (...) {
        // Nothing may leave a destructor; the lines are lost, as a failed write loses them.
    }
    batched_lines.clear();
}

void log_batch::flush() {
    log::instance().write_block(batched_lines);
    batched_lines.clear();
}

void log::log_format(const char* format, ...) {
    lock_guard format_lock(format_mutex_);
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
    lock_guard lock(mutex_);
    close_file();
    path_ = path;
}

void log::log_truncate() {
    lock_guard lock(mutex_);
    close_file();
    ::unlink((path_ + ".1").c_str());
    int fd = ::open(path_.c_str(), append_flags | O_TRUNC, 0644);
    if (fd >= 0) ::close(fd);
    write_line(format_line("Log truncated"));
}

std::string log::path() const {
    lock_guard lock(mutex_);
    return path_;
}

}  // namespace nox
