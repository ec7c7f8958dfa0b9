// The process-wide log of both programs: one plain-text file, one line per message,
// "[" + local time "%Y-%m-%dT%X" + "] " + message + "\n".
//
// The file is opened and closed for every line, so no handle stays open and another
// process may rotate or read it at any time. Write errors are ignored: logging never
// fails its caller. A file that would grow past its size limit (64 MiB) is renamed to
// "<path>.1", replacing the previous one, and a new file begins: the log of a service
// that runs for months stays bounded.
//
// Thread safety: every operation may be called from any thread. The log mutex serialises
// the file and the path, so lines never interleave; `log_format` takes its own formatting
// mutex first and the log mutex inside it (nothing takes them in the other order).
#pragma once

#include <mutex>
#include <string>

namespace nox {

class log {
public:
    // The one object of the process, created on first use (every translation unit that
    // includes this header asks for it during static initialisation).
    static log& instance();

    // Appends one line (the message is written unchanged, "%" included).
    void log_line(const std::string& message);
    // printf-style formatting, then `log_line`.
    void log_format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Later lines go to `path`; the old file is left as it was.
    void set_log_path(const std::string& path);
    // Empties the file and writes the line "Log truncated".
    void log_truncate();

    std::string path() const;
    // Size limit of the file before it is set aside as "<path>.1"; 0: no limit.
    void set_max_size(size_t bytes);

    log(const log&) = delete;
    log& operator=(const log&) = delete;

private:
    log();
    static std::string format_line(const std::string& message);
    // Writes a formatted line; the caller holds mutex_.
    void write_locked(const std::string& line, bool truncate);

    mutable std::mutex mutex_;  // guards path_ and the file
    std::mutex format_mutex_;   // serialises log_format's formatting step
    std::string path_;
    size_t max_size_ = size_t{64} << 20;  // guarded by mutex_
};

// Shorthands for the process-wide object.
inline void log_line(const std::string& message) { log::instance().log_line(message); }

// The local time stamp of a log line ("%Y-%m-%dT%X").
std::string log_time_stamp();

namespace detail {
// Forces the log into existence during static initialisation of every includer.
inline log& log_instance_at_start = log::instance();
}  // namespace detail

}  // namespace nox

// printf-style shorthand for nox::log::instance().log_format(...).
#define NOX_LOG_FORMAT(...) ::nox::log::instance().log_format(__VA_ARGS__)
