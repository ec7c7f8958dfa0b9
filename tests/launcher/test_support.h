// Test helpers for the launcher and the UI shell: temporary folders, scripted TCP peers
// on 127.0.0.1, the log's messages without time stamps, and child processes.
// The peers build and read the wire bytes themselves (not with the production codec), so
// a misunderstanding shared by codec and test cannot hide.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace test_support {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A fresh folder under /tmp, removed with everything in it.
class temp_dir {
public:
    temp_dir() {
        char name[] = "/tmp/orva-test-XXXXXX";
        if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string& path, const std::string& content, bool executable = false) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    if (executable) ::chmod(path.c_str(), 0755);
}

// The messages of a log file: every "[YYYY-MM-DDTHH:MM:SS] " prefix removed, so the
// result is the messages each followed by "\n".
inline std::string log_messages(const std::string& path) {
    static const std::regex stamp(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] )");
    return std::regex_replace(read_file(path), stamp, "");
}

inline std::string joined_lines(const std::vector<std::string>& messages) {
    std::string text;
    for (const auto& message : messages) text += message + "\n";
    return text;
}

// "HTTP/1.1 200 OK" with a Content-Length header and the body.
inline std::string http_reply(const std::string& body, const std::string& status_line = "HTTP/1.1 200 OK") {
    return status_line + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline void send_bytes(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Waits up to `timeout` for the socket to become readable; false on time-out.
inline bool wait_readable(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

// Reads one HTTP request: the header up to the blank line, then Content-Length bytes.
inline std::string read_http_request(int fd) {
    std::string request;
    auto deadline = steady::now() + 5s;
    size_t wanted = std::string::npos;
    while (steady::now() < deadline) {
        if (wanted == std::string::npos) {
            size_t blank = request.find("\r\n\r\n");
            if (blank != std::string::npos) {
                static const std::regex length(R"(Content-Length: (\d+)\r\n)");
                std::smatch match;
                std::string header = request.substr(0, blank + 2);
                wanted = blank + 4 + (std::regex_search(header, match, length)
                                          ? std::stoul(match[1].str()) : 0);
            }
        }
        if (wanted != std::string::npos && request.size() >= wanted) break;
        if (!wait_readable(fd, 100ms)) continue;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    return request;
}

// Reads until the sender pauses for `quiet` (or closes): for messages without an end mark.
inline std::string read_until_quiet(int fd, std::chrono::milliseconds quiet = 150ms) {
    std::string message;
    auto deadline = steady::now() + 5s;
    while (steady::now() < deadline) {
        if (!wait_readable(fd, message.empty() ? 1000ms : quiet)) {
            if (message.empty()) continue;
            break;
        }
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        message.append(buffer, static_cast<size_t>(n));
    }
    return message;
}

// Waits until the client closes its side (or `timeout` passes).
inline void wait_for_close(int fd, std::chrono::milliseconds timeout) {
    auto deadline = steady::now() + timeout;
    while (steady::now() < deadline) {
        if (!wait_readable(fd, 50ms)) continue;
        char buffer[512];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
}

inline int listen_socket(std::uint16_t port, std::uint16_t* bound_port = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    if (bound_port) *bound_port = ntohs(address.sin_port);
    return fd;
}

// A scripted peer on 127.0.0.1:<port> (0: any free port). Its thread accepts connections
// one at a time, reads each request as `framing` says, records it, lets `answer` write to
// the socket, and closes the connection.
class fake_peer {
public:
    enum class framing { http, quiet, none };
    using answer_fn = std::function<void(int fd, const std::string& request, size_t index)>;

    fake_peer(std::uint16_t port, framing how, answer_fn answer)
        : how_(how), answer_(std::move(answer)) {
        listener_ = listen_socket(port, &port_);
        if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        thread_ = std::thread([this] { serve(); });
    }
    ~fake_peer() {
        char byte = 0;
        [[maybe_unused]] ssize_t n = ::write(stop_pipe_[1], &byte, 1);
        thread_.join();
        ::close(listener_);
        ::close(stop_pipe_[0]);
        ::close(stop_pipe_[1]);
    }
    fake_peer(const fake_peer&) = delete;
    fake_peer& operator=(const fake_peer&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t connections() const { return connections_; }

private:
    void serve() {
        for (;;) {
            pollfd entries[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
            if (::poll(entries, 2, -1) < 0) continue;
            if (entries[1].revents) return;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            size_t index = connections_++;
            std::string request;
            if (how_ == framing::http) request = read_http_request(fd);
            if (how_ == framing::quiet) request = read_until_quiet(fd);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            answer_(fd, request, index);
            ::close(fd);
        }
    }

    framing how_;
    answer_fn answer_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    int stop_pipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::atomic<size_t> connections_{0};
    std::thread thread_;
};

// Connects to 127.0.0.1:<port>; -1 when refused.
inline int connect_to(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `text`, optionally shuts the sending side, and reads the answer until the peer
// closes (at most 5 s).
inline std::string converse(std::uint16_t port, const std::string& text, bool shut_down_sending) {
    int fd = connect_to(port);
    if (fd < 0) return "<refused>";
    send_bytes(fd, text);
    if (shut_down_sending) ::shutdown(fd, SHUT_WR);
    std::string answer;
    auto deadline = steady::now() + 5s;
    while (steady::now() < deadline) {
        if (!wait_readable(fd, 100ms)) continue;
        char buffer[512];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

// Retries `ready` every 20 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = steady::now() + timeout;
    for (;;) {
        if (ready()) return true;
        if (steady::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// A child process with its standard output and error in a file.
class child_process {
public:
    child_process(const std::string& path, const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment_changes,
                  const std::string& output_path) {
        std::vector<std::string> args{path};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        std::map<std::string, std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            auto eq = entry.find('=');
            if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [name, value] : environment_changes) {
            if (value.empty())
                env.erase(name);
            else
                env[name] = value;
        }
        std::vector<std::string> env_entries;
        for (const auto& [name, value] : env) env_entries.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& e : env_entries) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    ~child_process() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            wait_exit(5000ms);
        }
        if (pidfd_ >= 0) ::close(pidfd_);
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) { ::kill(pid_, number); }

    // The exit status (or 128 + signal), or -1 when still running after `timeout`.
    int wait_exit(std::chrono::milliseconds timeout) {
        if (exited_) return status_;
        pollfd entry{pidfd_, POLLIN, 0};
        if (pidfd_ >= 0 && ::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return -1;
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

}  // namespace test_support
