#include "tools/sim_amp/sim_client.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sim_amp {

namespace {
constexpr int answer_timeout_ms = 5000;
}

sim_client::sim_client(const std::string& program, const std::vector<std::string>& arguments) {
    // A simulator that died must show up as an error of `command`, not kill the caller.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args{program, "--control"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
    if (spawned != 0) {
        pid_ = -1;
        ::close(to_child_);
        ::close(from_child_);
        throw std::runtime_error("cannot start " + program);
    }
    const std::string first = read_line();
    if (first.rfind("ready", 0) != 0) throw std::runtime_error("simulator did not become ready: " + first);
}

sim_client::~sim_client() {
    if (to_child_ >= 0) ::close(to_child_);  // end of input ends the simulator
    if (pid_ > 0) {
        int status = 0;
        // Give it a moment to leave by itself, then make sure.
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            ::poll(nullptr, 0, 20);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (from_child_ >= 0) ::close(from_child_);
}

std::string sim_client::read_line() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_timeout_ms);
    for (;;) {
        const auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) throw std::runtime_error("simulator did not answer");
        pollfd p{from_child_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(from_child_, chunk, sizeof chunk);
        if (n <= 0) throw std::runtime_error("simulator closed its output");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> sim_client::command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to simulator");
    }
    std::vector<std::string> lines{read_line()};
    if (line == "received" && lines[0].rfind("ok ", 0) == 0) {
        const long count = std::strtol(lines[0].c_str() + 3, nullptr, 10);
        for (long i = 0; i < count; ++i) lines.push_back(read_line());
    }
    return lines;
}

std::string sim_client::expect_ok(const std::string& line) {
    const auto answer = command(line);
    if (answer[0].rfind("ok", 0) != 0) throw std::runtime_error(line + ": " + answer[0]);
    return answer[0];
}

std::vector<std::string> sim_client::received() {
    auto lines = command("received");
    lines.erase(lines.begin());
    return lines;
}

std::string sim_client::program(const std::string& name) {
    if (const char* bin = std::getenv("ORVA_BIN_DIR"); bin && *bin) return std::string(bin) + "/" + name;
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
    const auto slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/../bin/" + name;
}

}  // namespace sim_amp
