// The process-wide log of both programs: one plain-text file, one line per message,
// "[" + local time "%Y-%m-%dT%X" + "] " + message + "\n" (docs/log.md).
//
// The file stays open between lines, and each line is one write(2) of the whole line, so
// it is in the file (visible to any reader) when the call returns. Before every line the
// path is looked at again: a file that another program removed, renamed away or replaced
// is recreated (or the replacement used) at the next line. Write errors are ignored:
// logging never fails its caller.
//
// Size limit: a line (or a batch's lines, see below) that would take the file past the limit (default 64 MiB, or
// ORVA_LOG_MAX_BYTES, read at the first use) first moves the full file to "<path>.1",
// replacing the previous one, and begins a new file; so the two files together never
// hold more than twice the limit (a single line longer than the limit gets a file of its
// own). `log_truncate` empties the file and removes "<path>.1", so the two files hold the
// current run only; read "<path>.1" first, then "<path>".
//
// Batches: while a `log_batch` lives on a thread, that thread's lines are collected and
// written, in their order, with one look at the path and one write when the batch ends
// (or when it has collected `log_batch::flush_bytes`). Monitoring uses one per amplifier
// and pass: a pass logs about fifty short lines within a few milliseconds, and one write
// instead of fifty (each with its look at the path) is most of the processor time the
// backend spends while it watches a site. Lines of other threads are not held back.
//
// Thread safety: every operation may be called from any thread. The log mutex serialises
// the file, the path and the limit, so lines never interleave and keep the order of the
// calls; `log_format` takes its own formatting mutex first and the log mutex inside it
// (nothing takes them in the other order).
#pragma once

#include "common/platform/mutex.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
    // Empties the file, removes "<path>.1" and writes the line "Log truncated".
    void log_truncate();

    std::string path() const;
    // Size limit of the file before it is set aside as "<path>.1".
    void set_max_size(std::size_t bytes);
    std::size_t max_size() const;

    static constexpr std::size_t default_max_size = std::size_t{64} << 20;
    // The smallest limit taken from ORVA_LOG_MAX_BYTES: below it a few long lines would
    // rotate the file at every line.
    static constexpr std::size_t min_max_size = 4096;
    // The limit named by an ORVA_LOG_MAX_BYTES text: a decimal byte count, optionally
    // followed by K, M or G (powers of 1024), at least `min_max_size`. Empty when the
    // text is none of these.
    static std::optional<std::size_t> parse_max_size(std::string_view text);

    log(const log&) = delete;
    log& operator=(const log&) = delete;

private:
    friend class log_batch;
    log();
    static std::string format_line(const std::string& message);
    // Writes lines formatted already, in one write.
    void write_block(const std::string& lines) EXCLUDES(mutex_);
    // Writes formatted lines.
    void write_line(const std::string& line) REQUIRES(mutex_);
    // Makes fd_ name the file now at path_ (opening or creating it when the one held was
    // removed or replaced) and returns its size; false when it cannot be opened.
    bool open_current(std::size_t& size) REQUIRES(mutex_);
    void close_file() REQUIRES(mutex_);

    mutable mutex mutex_;  // guards everything below and the file
    mutex format_mutex_ ACQUIRED_BEFORE(mutex_);  // serialises log_format's formatting step
    std::string path_ GUARDED_BY(mutex_);
    std::size_t max_size_ GUARDED_BY(mutex_) = default_max_size;
    int fd_ GUARDED_BY(mutex_) = -1;  // the open file, or -1
    std::uint64_t device_ GUARDED_BY(mutex_) = 0;  // identity of the file fd_ holds
    std::uint64_t inode_ GUARDED_BY(mutex_) = 0;
};

// Holds back the lines of the thread that creates it until it ends (see above). Batches
// nest: an inner one joins the outer, and the outermost writes. Not movable: it belongs to
// the scope and thread that made it.
class log_batch {
public:
    // A batch that has collected this much writes it and goes on collecting.
    static constexpr std::size_t flush_bytes = 64 * 1024;

    log_batch();
    ~log_batch();
    log_batch(const log_batch&) = delete;
    log_batch& operator=(const log_batch&) = delete;

    // Writes what has been collected so far.
    void flush();

private:
    bool outermost_;
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
