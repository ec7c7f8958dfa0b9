#include "ui/shell.h"

#include "common/log/log.h"
#include "common/platform/platform.h"
#include "launcher/http_client.h"
#include "launcher/http_reply.h"
#include "launcher/spawn.h"
#include "ui/command.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nox::ui {

namespace {

using steady_clock = std::chrono::steady_clock;

// Longest command accepted; a longer one is answered with an error.
constexpr size_t max_command_size = 64 * 1024;
// Connections served at once; further ones wait in the listen queue meanwhile, so a flood
// of idle connections cannot exhaust the shell's descriptors.
constexpr size_t max_clients = 64;

// Self-pipe: the signal handler writes the signal number, the loop's poll wakes on it.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int number) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t n = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool install_signal_handlers() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGCHLD}) ::sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Listens on 127.0.0.1:<port>; -1 with errno set on failure (EADDRINUSE: taken).
int listen_on(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    // Lets a restarted shell take the port while old connections linger in TIME_WAIT; two
    // listeners on one port are still refused.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int milliseconds_until(steady_clock::time_point when) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1000000));
}

class shell {
public:
    explicit shell(const shell_settings& settings)
        : settings_(settings), out_(settings.out ? *settings.out : std::cout) {}

    int run(int listener, const std::vector<std::string>& urls);

private:
    struct client {
        int fd;
        std::string buffer;
        steady_clock::time_point deadline;   // the whole connection
        steady_clock::time_point last_data;  // meaningful once the buffer is not empty
        bool ended = false;                  // the sender shut its side down
    };

    void accept_clients(int listener);
    // Reads what `c` has sent; false when the connection is to be dropped unanswered.
    bool read_client(client& c);
    bool command_complete(const client& c, steady_clock::time_point now) const;
    std::string handle(const std::string& message);
    void answer(client& c, std::string_view reply);

    void ensure_backend();
    void open_url(const std::string& url);
    void print_url(const std::string& url);
    // Handles the signals the pipe has collected; false when the shell is to stop.
    bool drain_signals();
    void reap_children();

    const shell_settings& settings_;
    std::ostream& out_;
    std::vector<client> clients_;
    pid_t backend_pid_ = -1;                 // the backend this shell started, while it runs
    std::map<pid_t, std::string> openers_;   // running xdg-open processes and their URLs
};

int shell::run(int listener, const std::vector<std::string>& urls) {
    ensure_backend();
    for (const auto& url : urls) open_url(url);

    for (;;) {
        short accepting = clients_.size() < max_clients ? POLLIN : 0;
        std::vector<pollfd> entries{{signal_pipe[0], POLLIN, 0}, {listener, accepting, 0}};
        auto wake = steady_clock::time_point::max();
        for (const auto& c : clients_) {
            entries.push_back({c.fd, POLLIN, 0});
            wake = std::min(wake, c.deadline);
            if (!c.buffer.empty()) wake = std::min(wake, c.last_data + settings_.quiet_period);
        }
        int timeout = wake == steady_clock::time_point::max() ? -1 : milliseconds_until(wake);
        int rc = ::poll(entries.data(), entries.size(), timeout);
        if (rc < 0 && errno != EINTR) {
            log_line(std::string("orva_ui: poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (rc > 0 && entries[0].revents && !drain_signals()) break;

        // Clients first (their indexes match `entries`), then new connections.
        auto now = steady_clock::now();
        std::vector<client> still_open;
        for (size_t i = 0; i < clients_.size(); ++i) {
            client& c = clients_[i];
            bool keep = true;
            if (rc > 0 && entries[i + 2].revents) keep = read_client(c);
            now = steady_clock::now();
            if (keep && command_complete(c, now)) {
                answer(c, c.buffer.size() > max_command_size ? "-ERR command too long"
                                                             : handle(c.buffer));
                keep = false;
            } else if (keep && (now >= c.deadline || c.ended)) {
                keep = false;  // nothing was sent in time: close without an answer
            }
            if (keep)
                still_open.push_back(std::move(c));
            else
                ::close(c.fd);
        }
        clients_ = std::move(still_open);
        if (rc > 0 && entries[1].revents) accept_clients(listener);
    }
    for (auto& c : clients_) ::close(c.fd);
    clients_.clear();
    log_line("orva_ui stopping");
    return 0;
}

void shell::accept_clients(int listener) {
    while (clients_.size() < max_clients) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN: no more waiting; other errors: the client is gone
        }
        auto now = steady_clock::now();
        clients_.push_back({fd, {}, now + settings_.client_timeout, now});
    }
}

bool shell::read_client(client& c) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.buffer.append(buffer, static_cast<size_t>(n));
            c.last_data = steady_clock::now();
            if (c.buffer.size() > max_command_size) return true;
            continue;
        }
        if (n == 0) {
            c.ended = true;
            return true;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

bool shell::command_complete(const client& c, steady_clock::time_point now) const {
    if (c.buffer.empty()) return false;
    return c.ended || c.buffer.back() == '\n' || c.buffer.size() > max_command_size ||
           now >= c.last_data + settings_.quiet_period || now >= c.deadline;
}

std::string shell::handle(const std::string& message) {
    command cmd = parse_command(message);
    std::string_view shown = message;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.remove_suffix(1);
    log_line("Received: " + std::string(shown));
    switch (cmd.kind) {
        case command_kind::open_url:
            if (cmd.argument.empty()) return "-ERR missing url";
            if (!acceptable_url(cmd.argument)) return "-ERR only http and https pages are opened";
            open_url(cmd.argument);
            return std::string(reply_ok);
        case command_kind::ensure_backend:
            ensure_backend();
            return std::string(reply_ok);
        case command_kind::unknown:
            break;
    }
    return "-ERR unknown command";
}

void shell::answer(client& c, std::string_view reply) {
    // The answer is a few bytes on a fresh connection: it fits the socket buffer at once.
    [[maybe_unused]] ssize_t n = ::send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

void shell::ensure_backend() {
    if (backend_pid_ > 0) {
        log_line("orva_backend was started by this shell and still runs (pid " +
                 std::to_string(backend_pid_) + ")");
        return;
    }
    std::string reply = launcher::exchange(settings_.backend_port, launcher::get_request_text("/"),
                                           settings_.probe_timeout);
    if (!reply.empty()) {
        log_line("orva_backend answers on port " + std::to_string(settings_.backend_port));
        return;
    }
    log_line("orva_backend does not answer on port " + std::to_string(settings_.backend_port));
    std::string path = settings_.own_folder + "/" + settings_.backend_executable;
    if (!platform::file_readable(path)) {
        log_line("Failed to find executable: " + path);
        return;
    }
    std::string error;
    pid_t pid = launcher::spawn_detached(path, {}, &error);
    if (pid < 0) {
        log_line("Failed to start " + path + ": " + error);
        return;
    }
    backend_pid_ = pid;
    log_line("Started " + path + " (pid " + std::to_string(pid) + ")");
}

void shell::open_url(const std::string& url) {
    if (!acceptable_url(url)) {
        log_line("Not a web page, not opened: " + url);
        return;
    }
    if (!desktop_available()) {
        log_line("No desktop to open " + url + " in; printing it");
        print_url(url);
        return;
    }
    std::string error;
    pid_t pid = launcher::spawn_detached("xdg-open", {url}, &error, true);
    if (pid < 0) {
        log_line("Failed to start xdg-open for " + url + ": " + error);
        print_url(url);
        return;
    }
    openers_[pid] = url;
    log_line("Opening " + url + " with xdg-open (pid " + std::to_string(pid) + ")");
}

void shell::print_url(const std::string& url) { out_ << printed_url_line(url) << std::flush; }

bool shell::drain_signals() {
    bool keep_running = true;
    unsigned char numbers[64];
    for (;;) {
        ssize_t n = ::read(signal_pipe[0], numbers, sizeof numbers);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (numbers[i] == SIGCHLD)
                reap_children();
            else
                keep_running = false;
        }
    }
    return keep_running;
}

void shell::reap_children() {
    for (;;) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        bool success = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
        if (pid == backend_pid_) {
            log_line("orva_backend (pid " + std::to_string(pid) + ") ended with " + how);
            backend_pid_ = -1;
        } else if (auto opener = openers_.find(pid); opener != openers_.end()) {
            if (!success) {
                log_line("xdg-open failed for " + opener->second + " (" + how + "); printing it");
                print_url(opener->second);
            }
            openers_.erase(opener);
        }
    }
}

// Asks the shell that holds the command port to do this one's work.
int hand_over(const std::vector<std::string>& urls, const shell_settings& settings,
              std::ostream& out) {
    log_line("Another orva_ui holds port " + std::to_string(settings.command_port) +
             "; handing over to it");
    std::string reply =
        launcher::exchange(settings.command_port, "ENSUREBACKEND\n", settings.handover_timeout);
    log_line("ENSUREBACKEND: " + reply);
    if (reply.empty()) {
        log_line("No answer on port " + std::to_string(settings.command_port));
        std::cerr << "orva_ui: port " << settings.command_port
                  << " is taken and does not answer\n";
        return 1;
    }
    for (const auto& url : urls) {
        reply = launcher::exchange(settings.command_port, "OPENURL " + url + "\n",
                                   settings.handover_timeout);
        log_line("OPENURL " + url + ": " + reply);
    }
    out << "orva_ui already runs; handed over to it\n" << std::flush;
    return 0;
}

}  // namespace

bool desktop_available() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

std::string printed_url_line(const std::string& url) { return "Open in a browser: " + url + "\n"; }

int run_shell(const std::vector<std::string>& urls, const shell_settings& settings) {
    std::ostream& out = settings.out ? *settings.out : std::cout;
    int listener = listen_on(settings.command_port);
    if (listener < 0) {
        if (errno == EADDRINUSE) return hand_over(urls, settings, out);
        log_line("Failed to listen on port " + std::to_string(settings.command_port) + ": " +
                 std::strerror(errno));
        std::cerr << "orva_ui: cannot listen on port " << settings.command_port << "\n";
        return 1;
    }
    if (!install_signal_handlers()) {
        log_line(std::string("Failed to set up signal handling: ") + std::strerror(errno));
        ::close(listener);
        return 1;
    }
    log_line("orva_ui serves port " + std::to_string(settings.command_port));
    int code = shell(settings).run(listener, urls);
    ::close(listener);
    return code;
}

}  // namespace nox::ui
