#include "common/platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nox::platform {

namespace {

std::optional<std::string> read_link(const std::string& link) {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
    if (n <= 0) return std::nullopt;
    return std::string(buffer.data(), static_cast<size_t>(n));
}

std::optional<std::string> absolute_env(const char* name) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/') return std::string(value);
    return std::nullopt;
}

// Writes the whole buffer, retrying short writes and EINTR.
bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void set_error(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
}

}  // namespace

std::string executable_path(const char* argv0) {
    if (auto path = read_link("/proc/self/exe")) return *path;
    return argv0 ? std::string(argv0) : std::string();
}

std::string folder_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> local_app_data_folder() {
    if (auto xdg = absolute_env("XDG_DATA_HOME")) return xdg;
    if (auto home = absolute_env("HOME")) return *home + "/.local/share";
    return std::nullopt;
}

std::optional<std::string> documents_folder() {
    if (auto xdg = absolute_env("XDG_DOCUMENTS_DIR")) return xdg;
    if (auto home = absolute_env("HOME")) return *home + "/Documents";
    return std::nullopt;
}

bool make_directories(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty()) ::mkdir(partial.c_str(), 0755);
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool file_readable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return ::access(path.c_str(), R_OK) == 0;
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool process_running(pid_t pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::optional<std::string> process_executable_name(pid_t pid) {
    auto path = read_link("/proc/" + std::to_string(pid) + "/exe");
    if (!path) return std::nullopt;
    // A replaced executable reads "<path> (deleted)"; the name is still the program's.
    const std::string deleted = " (deleted)";
    if (path->size() > deleted.size() &&
        path->compare(path->size() - deleted.size(), deleted.size(), deleted) == 0)
        path->resize(path->size() - deleted.size());
    return file_name_of(*path);
}

std::optional<std::string> make_temp_file(const std::string& folder, const std::string& prefix) {
    std::string pattern = folder + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return std::string(name.data());
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return content.str();
}

bool write_file_atomically(const std::string& path, const std::string& content,
                           std::string* error, mode_t mode) {
    const std::string folder = path.find('/') == std::string::npos ? "." : folder_of(path);
    std::string pattern = path + ".new.XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        set_error(error, "cannot create " + pattern);
        return false;
    }
    ::fchmod(fd, mode);
    bool ok = write_all(fd, content.data(), content.size());
    if (!ok) set_error(error, "cannot write " + std::string(temp.data()));
    // fsync before rename: without it a crash could leave the new name pointing at a
    // file whose data never reached the disk.
    if (ok && ::fsync(fd) != 0) {
        set_error(error, "cannot sync " + std::string(temp.data()));
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        set_error(error, "cannot close " + std::string(temp.data()));
        ok = false;
    }
    if (ok && ::rename(temp.data(), path.c_str()) != 0) {
        set_error(error, "cannot rename over " + path);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.data());
        return false;
    }
    // Make the rename itself durable.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

int remove_interrupted_writes(const std::string& path) {
    const std::string folder = path.find('/') == std::string::npos ? "." : folder_of(path);
    const std::string base = file_name_of(path);
    const std::string marker = ".new.";
    int removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        // The file's own name (or a name that begins with it), ".new." and mkstemp's six
        // characters.
        if (name.size() < base.size() + marker.size() + 6 || name.compare(0, base.size(), base) != 0 ||
            name.compare(name.size() - 6 - marker.size(), marker.size(), marker) != 0)
            continue;
        std::error_code remove_error;
        if (std::filesystem::remove(entry.path(), remove_error)) ++removed;
    }
    return removed;
}

bool copy_file(const std::string& from, const std::string& to, std::string* error) {
    auto content = read_file(from);
    if (!content) {
        set_error(error, "cannot read " + from);
        return false;
    }
    return write_file_atomically(to, *content, error);
}

}  // namespace nox::platform
