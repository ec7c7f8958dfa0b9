// The operating-system facilities that Orva needs, behind one small interface: folders,
// the executable's own path, process checks, temporary files and atomic file writes.
//
// Linux stand-ins: the installation folder is the folder of /proc/self/exe, per-user data
// lives in $XDG_DATA_HOME (else $HOME/.local/share), documents in $XDG_DOCUMENTS_DIR
// (else $HOME/Documents), a process runs when kill(pid, 0) succeeds or fails with EPERM.
//
// Thread safety: all functions are reentrant; none keeps state.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace nox::platform {

// Full path of the running executable, from /proc/self/exe; falls back to `argv0`.
std::string executable_path(const char* argv0 = nullptr);

// The part of `path` before its last "/" (the whole path when it holds no "/").
std::string folder_of(const std::string& path);
// The part of `path` after its last "/".
std::string file_name_of(const std::string& path);

// Per-user local application data: $XDG_DATA_HOME when set and absolute, else
// $HOME/.local/share. Empty when neither can be determined.
std::optional<std::string> local_app_data_folder();
// Per-user documents: $XDG_DOCUMENTS_DIR when set and absolute, else $HOME/Documents.
std::optional<std::string> documents_folder();

// Creates `path` and its missing parents (mode 0755). True when the folder exists after.
bool make_directories(const std::string& path);

// True when `path` can be opened for reading as a file.
bool file_readable(const std::string& path);
// True when something exists at `path`.
bool path_exists(const std::string& path);

// Whether a process with this id exists (kill(pid, 0) succeeds or fails with EPERM).
bool process_running(pid_t pid);
// Basename of the executable of process `pid` (readlink /proc/<pid>/exe). Empty with
// errno set when it cannot be read (for example a process of another user).
std::optional<std::string> process_executable_name(pid_t pid);

// Creates a new empty file with a unique name "<folder>/<prefix>XXXXXX" (mkstemp: safe
// against races and other users) and returns its path; empty on failure.
std::optional<std::string> make_temp_file(const std::string& folder, const std::string& prefix);

// Reads a whole file; empty when it cannot be opened.
std::optional<std::string> read_file(const std::string& path);

// Writes `content` to `path` so that a crash or power cut at any moment leaves either the
// old or the new complete file: write a temporary file in the same folder, flush and
// fsync it, rename it over `path`, then fsync the folder. On failure the temporary file
// is removed, `path` is untouched and `error` (when given) receives the reason. The file
// gets the permissions `mode` (0600 for secrets).
bool write_file_atomically(const std::string& path, const std::string& content,
                           std::string* error = nullptr, mode_t mode = 0644);

// Removes the temporary files that `write_file_atomically` leaves behind when the process
// is killed between creating and renaming one: "<path>.new.XXXXXX", and the same for
// files named after `path` (copies such as "<path>.download-XXXXXX.new.XXXXXX"). Only for
// a caller that alone writes these files (the backend holding its lock file). Returns how
// many were removed.
int remove_interrupted_writes(const std::string& path);

// Copies a file byte for byte (atomically, as above).
bool copy_file(const std::string& from, const std::string& to, std::string* error = nullptr);

}  // namespace nox::platform
