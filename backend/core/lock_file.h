// The process lock file `main.pid`: it holds the decimal process id of the running backend
// and nothing else. The lock is held when the file exists, names a running process other
// than this one, and that process runs an executable of the same file name as this one.
//
// Used by the main thread at start and at exit only; not synchronised.
#pragma once

#include <string>

namespace nox {

class lock_file {
public:
    explicit lock_file(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // True when another backend holds the lock. A stale file (no such process, another
    // program, unreadable content) is logged and deleted.
    bool held_by_other();
    // Creates the file with this process's id; false when it exists or cannot be written.
    bool write();
    // Removes the file, or renames it to "<path><pid>" when it cannot be removed; false
    // only when both fail.
    bool remove();

private:
    std::string path_;
};

}  // namespace nox
