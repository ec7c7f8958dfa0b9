#include "tests/support/backend_process.h"

#include "tests/support/http_client.h"

#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace orva_test {

std::string backend_process::bin_dir() {
    const char* dir = std::getenv("ORVA_BIN_DIR");
    return dir && *dir ? dir : "build/bin";
}

backend_process::backend_process(const options& opts) {
    if (!opts.home.empty()) {
        home_ = opts.home;
        own_home_ = false;
    } else {
        char pattern[] = "/tmp/orva-test-XXXXXX";
        if (!::mkdtemp(pattern)) return;
        home_ = pattern;
    }
    std::filesystem::create_directories(data_folder());
    if (opts.configuration) {
        std::ofstream out(data_folder() + "/configuration_orva.xml", std::ios::binary);
        out << *opts.configuration;
    }
    for (const auto& [name, content] : opts.data_files)
        std::ofstream(data_folder() + "/" + name, std::ios::binary) << content;

    std::map<std::string, std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos) environment[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    environment["XDG_DATA_HOME"] = home_;
    environment["XDG_DOCUMENTS_DIR"] = home_ + "/Documents";
    for (const auto& [k, v] : opts.environment) environment[k] = v;
    std::vector<std::string> entries;
    for (const auto& [k, v] : environment) entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = bin_dir() + "/orva_backend";
    for (const auto& [user, password] : opts.users) set_password(program, envp, user, password);
    if (opts.before_start) opts.before_start(data_folder());
    std::string out_path = home_ + "/stdout.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* argv[] = {program.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ < 0) return;

    auto deadline = std::chrono::steady_clock::now() + opts.start_timeout;
    while (std::chrono::steady_clock::now() < deadline && alive()) {
        if (log().find("started webserver") != std::string::npos && port_open(opts.address, 8080)) {
            ready_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void backend_process::set_password(const std::string& program, const std::vector<char*>& envp,
                                   const std::string& user, const std::string& password) {
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string command = "--set-password";
    std::string name = user;
    char* argv[] = {const_cast<char*>(program.c_str()), command.data(), name.data(), nullptr};
    pid_t pid = -1;
    const bool started =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, const_cast<char* const*>(envp.data())) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    const std::string line = password + "\n";
    if (started) [[maybe_unused]] auto n = ::write(input[1], line.data(), line.size());
    ::close(input[1]);
    int status = 0;
    if (started) ::waitpid(pid, &status, 0);
}

backend_process::~backend_process() {
    if (pid_ > 0 && !exit_status_) stop();
    if (own_home_ && !home_.empty() && !std::getenv("ORVA_KEEP_TEST_DATA")) {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
}

std::string backend_process::log() const {
    std::ifstream in(data_folder() + "/orva.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool backend_process::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

long backend_process::resident_kib() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string backend_process::memory_report() const {
    std::string report;
    for (const char* file : {"smaps_rollup", "status"}) {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/" + file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("kB") != std::string::npos || line.rfind("Threads:", 0) == 0)
                report += line + "\n";
        }
    }
    return report;
}

void backend_process::kill() {
    if (pid_ <= 0 || exit_status_) return;
    ::kill(pid_, SIGKILL);
    wait_exit(std::chrono::milliseconds(10000));
}

bool backend_process::alive() {
    if (pid_ <= 0 || exit_status_) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int backend_process::wait_exit(std::chrono::milliseconds timeout) {
    if (exit_status_) return *exit_status_;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(timeout.count()));
        ::close(pidfd);
    }
    if (alive()) return -1;
    return exit_status_.value_or(-1);
}

int backend_process::stop(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (exit_status_) return *exit_status_;
    tcp_message("127.0.0.1", 27027, "SIGINT");
    int status = wait_exit(timeout);
    if (status < 0 && alive()) {
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::milliseconds(5000));
        return -1;
    }
    return status;
}

}  // namespace orva_test
