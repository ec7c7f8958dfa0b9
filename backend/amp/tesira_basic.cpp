#include "backend/amp/tesira_basic.h"

#include "backend/amp/socket.h"
#include "common/log/log.h"
#include "common/metrics/metrics.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nox {

namespace {

constexpr unsigned char iac = 255;
constexpr unsigned char wont = 252;
constexpr std::size_t chunk_size = 1024;
// Bytes skipped while waiting for a status character; a server that sends more is not
// answering the command.
constexpr std::size_t status_byte_cap = 4096;
// Bytes of one reply line; a longer line is not a reply of this protocol.
constexpr std::size_t reply_byte_cap = 64 * 1024;
// Bytes of the banner and login dialogue.
constexpr std::size_t login_byte_cap = 64 * 1024;
// Option negotiations answered per connection set-up, and logged per reply.
constexpr int negotiation_rounds_cap = 64;
constexpr int negotiation_log_cap = 16;
// Longest reply text written into one log line.
constexpr std::size_t logged_reply_cap = 4096;

using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

std::string without_line_end(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool holds_line_break(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

tesira_basic::tesira_basic(std::string server_address, tesira_options options)
    : server_address_(std::move(server_address)), options_(std::move(options)) {
    last_reconnect_ = now();
}

tesira_basic::~tesira_basic() { close(); }

steady::time_point tesira_basic::now() const { return options_.now ? options_.now() : steady::now(); }

std::string tesira_basic::port_tag() const { return "(lport: " + std::to_string(local_port_) + ")"; }

// ---------------------------------------------------------------- command lines

std::string tesira_basic::quote(const std::string& tag) {
    if (tag.find_first_of(" \t") == std::string::npos) return tag;
    return "\"" + tag + "\"";
}

std::string tesira_basic::address_text(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", address);
    return text;
}

std::string tesira_basic::get_line(const std::string& tag, const std::string& attribute) {
    return quote(tag) + " get " + attribute + " " + "\r\n";
}

std::string tesira_basic::set_line(const std::string& tag, const std::string& attribute, const std::string& value) {
    return quote(tag) + " set " + attribute + " " + value + "\r\n";
}

std::string tesira_basic::peek_line(const std::string& tag, std::uint32_t address, std::uint32_t count) {
    return quote(tag) + " peek " + address_text(address) + " " + std::to_string(count) + "\r\n";
}

std::string tesira_basic::poke_line(const std::string& tag, std::uint32_t address,
                                    const std::vector<std::uint32_t>& words) {
    std::string line = quote(tag) + " poke " + address_text(address) + " [";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) line += ' ';
        line += std::to_string(static_cast<std::int32_t>(words[i]));
    }
    return line + "]\r\n";
}

// ---------------------------------------------------------------- connection

void tesira_basic::close() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    local_port_ = 0;
    connected_ = false;
}

void tesira_basic::connect() {
    close();
    login_prompt_seen_ = false;
    login_message_.clear();
    const std::uint32_t address = amp::parse_ipv4(server_address_);
    // An empty or malformed address would mean "any" or nothing: there is no server to reach.
    const int fd = server_address_.empty() || address == INADDR_NONE
                       ? -1
                       : amp::open_socket(address, options_.port, SOCK_STREAM, false, true, options_.connect_timeout_ms);
    if (fd < 0) {
        log_line("Failed create tcp socket to communicate with tesira");
        return;
    }
    socket_ = fd;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size) == 0) local_port_ = ntohs(local.sin_port);
    // Negotiation and login together wait at most one receive time-out.
    const auto deadline = steady::now() + std::chrono::milliseconds(options_.receive_timeout_ms);
    negotiate(deadline);
    log_in(deadline);
    if (connected_) {
        log_line("Managed to connect to tesira as user " + user_);
    } else {
        log_line("Failed to connect to tesira as user " + user_);
    }
}

void tesira_basic::reconnect_if_due() {
    const auto at = now();
    if (at - last_reconnect_ <= options_.reconnect_interval) return;
    log_line("Attempting to reconnect to tesira");
    close();
    connect();
    last_reconnect_ = now();
}

void tesira_basic::reconnect_now() {
    close();
    connect();
}

void tesira_basic::set_credentials(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
}

std::string tesira_basic::read_chunk(std::size_t size, int timeout_ms, bool& timed_out) {
    timed_out = false;
    if (socket_ < 0) return {};
    std::string buffer(size, '\0');
    const ssize_t n = amp::receive_with_timeout(socket_, buffer.data(), size, timed_out, timeout_ms);
    if (n <= 0) return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

bool tesira_basic::send_all(const std::string& bytes) {
    std::size_t sent = 0;
    const auto deadline = steady::now() + std::chrono::milliseconds(options_.receive_timeout_ms);
    while (sent < bytes.size()) {
        if (socket_ < 0) return false;
        const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{socket_, POLLOUT, 0};
            const int wait = remaining_ms(deadline);
            const int ready = wait == 0 ? 0 : ::poll(&p, 1, wait);
            if (ready < 0 && errno == EINTR) continue;  // a signal, not the deadline
            if (ready <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

// The server offers its telnet options first; every one is refused, so the session stays a
// plain line exchange. The byte after the offers belongs to the banner and is dropped.
void tesira_basic::negotiate(steady::time_point deadline) {
    bool timed_out = false;
    std::string byte = read_chunk(1, remaining_ms(deadline), timed_out);
    for (int round = 0; round < negotiation_rounds_cap && byte.size() == 1 &&
                        static_cast<unsigned char>(byte[0]) == iac;
         ++round) {
        const std::string commands = byte + read_chunk(chunk_size - 1, remaining_ms(deadline), timed_out);
        std::string answers;
        for (std::size_t at = 0; at + 3 <= commands.size(); at += 3) {
            answers += static_cast<char>(iac);
            answers += static_cast<char>(wont);
            answers += commands[at + 2];
        }
        if (!answers.empty() && !send_all(answers)) return;
        byte = read_chunk(1, remaining_ms(deadline), timed_out);
    }
}

void tesira_basic::log_in(steady::time_point deadline) {
    std::size_t total = 0;
    bool timed_out = false;
    // One chunk of the dialogue; a chunk that starts with 0x01 loses that byte.
    const auto next_chunk = [&]() -> std::string {
        if (total > login_byte_cap) return {};
        std::string chunk = read_chunk(chunk_size, remaining_ms(deadline), timed_out);
        if (!chunk.empty() && chunk[0] == '\x01') {
            chunk.erase(0, 1);
            if (chunk.empty()) chunk = read_chunk(chunk_size, remaining_ms(deadline), timed_out);
        }
        total += chunk.size();
        return chunk;
    };
    const auto holds = [](const std::string& chunk, const char* text) { return chunk.find(text) != std::string::npos; };

    std::string chunk = next_chunk();
    while (!chunk.empty() && !holds(chunk, "Welcome") && !holds(chunk, "incorrect")) {
        const auto prompt = chunk.find("login:");
        if (prompt != std::string::npos) {
            login_prompt_seen_ = true;
            login_message_ = chunk.substr(0, prompt == 0 ? 0 : prompt - 1);
            if ((user_.empty() || password_.empty()) && options_.stored_login) {
                std::string user, password;
                if (options_.stored_login(login_message_, user, password) && !user.empty() && !password.empty()) {
                    user_ = user;
                    password_ = password;
                }
            }
            // Without credentials the server only waits for a user name: nothing more will
            // come, and waiting for it would hold the caller for the whole time-out.
            if (user_.empty() || password_.empty()) break;
            if (!send_all(user_ + "\r")) break;
            std::string answer;
            do {
                answer = next_chunk();
            } while (!answer.empty() && !holds(answer, "word:"));
            if (!send_all(password_ + "\r")) break;
        }
        chunk = next_chunk();
    }
    connected_ = holds(chunk, "Welcome");
}

// ---------------------------------------------------------------- commands

int tesira_basic::get(const std::string& tag, const std::string& attribute, std::string& reply) {
    const int result = command(get_line(tag, attribute), reply);
    if (result != 0) reconnect_if_due();
    return result;
}

int tesira_basic::set(const std::string& tag, const std::string& attribute, const std::string& value,
                      std::string& reply) {
    if (holds_line_break(value)) {
        log_line("Refusing tesira value with a line break for " + attribute);
        return 1;
    }
    return command(set_line(tag, attribute, value), reply);
}

int tesira_basic::peek(const std::string& tag, std::uint32_t address, std::uint32_t count, std::string& reply) {
    return command(peek_line(tag, address, count), reply);
}

int tesira_basic::poke(const std::string& tag, std::uint32_t address, const std::vector<std::uint32_t>& words,
                       std::string& reply) {
    return command(poke_line(tag, address, words), reply);
}

int tesira_basic::command(const std::string& line, std::string& reply) {
    if (!connected_) {
        metrics().exchange("tesira", false);
        return -1;
    }
    // A tag or attribute with a line break would smuggle a second command onto the line.
    if (holds_line_break(line.substr(0, line.size() - 2))) {
        log_line("Refusing tesira command with a line break");
        return 1;
    }
    log_line(port_tag() + without_line_end(line));
    if (socket_ >= 0 && !send_all(line)) {
        log_line(port_tag() + "failed to send command, errno: " + std::to_string(errno));
        reconnect_now();
        metrics().exchange("tesira", false);
        return -1;
    }
    const int result = read_reply(reply);
    metrics().exchange("tesira", result == 0);
    return result;
}

int tesira_basic::read_reply(std::string& reply) {
    if (!connected_) return -1;
    if (socket_ < 0) {
        reconnect_if_due();
        if (socket_ < 0) return -1;
    }
    const std::clock_t started = std::clock();
    const auto deadline = steady::now() + std::chrono::milliseconds(options_.receive_timeout_ms);
    bool timed_out = false;

    // The status character; telnet negotiation may come first and is refused in-band.
    char status = 0;
    std::size_t skipped = 0;
    int negotiations = 0;
    while (status == 0) {
        std::string byte;
        if (skipped <= status_byte_cap) byte = read_chunk(1, remaining_ms(deadline), timed_out);
        if (byte.empty()) {
            NOX_LOG_FORMAT("%sfailed to read param: %d %d %f", port_tag().c_str(), timed_out ? -1 : 0, errno,
                           static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC);
            reconnect_now();
            return -1;
        }
        const auto c = static_cast<unsigned char>(byte[0]);
        if (c == iac) {
            const std::string verb = read_chunk(1, remaining_ms(deadline), timed_out);
            const std::string option = verb.empty() ? std::string{} : read_chunk(1, remaining_ms(deadline), timed_out);
            if (option.empty()) {
                reconnect_now();
                return -1;
            }
            const std::string answer{static_cast<char>(iac), static_cast<char>(wont), option[0]};
            send_all(answer);
            if (++negotiations <= negotiation_log_cap) {
                log_line(port_tag() + "tesira server wanted negotiate: (opt: " +
                         std::to_string(static_cast<unsigned char>(option[0])) +
                         " verb: " + std::to_string(static_cast<unsigned char>(verb[0])) + ") replying wont...");
            }
            skipped += 3;
        } else if (c == '+' || c == '-') {
            status = static_cast<char>(c);
        } else {
            ++skipped;
        }
    }

    // The rest of the line. A line cut short, endless or stalled leaves the session out of
    // step with its replies: the connection is renewed.
    std::string rest;
    std::size_t line_end;
    while ((line_end = rest.find('\n')) == std::string::npos) {
        if (rest.size() > reply_byte_cap) {
            log_line(port_tag() + "tesira reply too long, reconnecting");
            reconnect_now();
            return -1;
        }
        const std::string chunk = read_chunk(chunk_size, remaining_ms(deadline), timed_out);
        if (chunk.empty()) {
            if (!timed_out) log_line(port_tag() + "tesira reply cut short");
            reconnect_now();
            return -1;
        }
        rest += chunk;
    }
    const std::string text = rest.substr(0, line_end);
    reply += text;
    log_line("(resp lport: " + std::to_string(local_port_) + ")" +
             (text.size() > logged_reply_cap ? text.substr(0, logged_reply_cap) + "..." : text));
    return status == '-' ? 1 : 0;
}

}  // namespace nox
