#include "tools/tesira_sim/server.h"

#include "tools/sim_amp/measurement_control.h"

#include "tools/sim_amp/pilot.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace tesira_sim {

namespace {

constexpr std::size_t max_records = 100000;
constexpr std::size_t max_peek_words = 256;
constexpr const char* banner = "Welcome to the Tesira Text Protocol Server...\r\n";
// Telnet options offered at the start of a session: IAC DO <option>.
const std::string offered_options("\xff\xfd\x18\xff\xfd\x20\xff\xfd\x23\xff\xfd\x27", 12);
constexpr std::int64_t negotiation_wait_ms = 1000;
constexpr std::size_t input_cap = 64 * 1024;
constexpr std::size_t output_cap = 1024 * 1024;

const std::map<std::string, fault_mode>& fault_names() {
    static const std::map<std::string, fault_mode> names = {
        {"none", fault_mode::none},   {"refuse", fault_mode::refuse}, {"drop", fault_mode::drop},
        {"stall", fault_mode::stall}, {"error", fault_mode::error},   {"login", fault_mode::login},
    };
    return names;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// "<word> <rest>" -> word, rest.
std::pair<std::string, std::string> split_word(const std::string& text) {
    const std::string t = trim(text);
    const auto blank = t.find_first_of(" \t");
    if (blank == std::string::npos) return {t, {}};
    return {t.substr(0, blank), trim(t.substr(blank + 1))};
}

// "<tag> <rest>" or "\"<tag with blanks>\" <rest>" -> tag, rest; an empty tag when
// there is none or its quote is not closed.
std::pair<std::string, std::string> split_tag(const std::string& text) {
    const std::string t = trim(text);
    if (t.empty() || t[0] != '"') return split_word(t);
    const auto close = t.find('"', 1);
    if (close == std::string::npos) return {};
    return {t.substr(1, close - 1), trim(t.substr(close + 1))};
}

// A value as the client writes it: bare, or in double quotes.
std::string unquote(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

bool parse_number(const std::string& text, long long& value, int base = 10) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, base);
    return errno == 0 && *end == 0;
}

// Channel 1..4 of "<n>" -> 0..3; -1 otherwise.
int channel_of(const std::string& text) {
    long long n;
    return parse_number(text, n) && n >= 1 && n <= 4 ? int(n - 1) : -1;
}

std::optional<bool> boolean_of(const std::string& text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

std::string ok_value(const std::string& value) { return "+OK \"value\":" + value + "\r\n"; }
std::string ok_text(const std::string& text) { return ok_value("\"" + text + "\""); }
std::string ok_bool(bool value) { return ok_value(value ? "true" : "false"); }
std::string err(const std::string& reason) { return "-ERR " + reason + "\r\n"; }

std::string word_list(const std::vector<std::uint32_t>& words) {
    std::string text = "[";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += ' ';
        text += std::to_string(words[i]);
    }
    return text + "]";
}

// "0x50015" -> block 5, index 0x15.
bool parse_address(const std::string& text, std::uint8_t& block, std::uint16_t& index) {
    long long value;
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    if (!parse_number(text.substr(2), value, 16) || value < 0 || value > 0xFFFFFF) return false;
    block = std::uint8_t(value >> 16);
    index = std::uint16_t(value & 0xFFFF);
    return true;
}

}  // namespace

std::optional<command_line> parse_command(const std::string& line) {
    command_line c;
    std::string rest;
    std::tie(c.tag, rest) = split_tag(line);
    std::tie(c.verb, c.arguments) = split_word(rest);
    if (c.tag.empty() || c.verb.empty()) return std::nullopt;
    return c;
}

host::host() = default;

sim_amp::amplifier_model& host::add(const std::string& tag, const std::string& name) {
    auto amp = std::make_unique<sim_amp::amplifier_model>();
    amp->frame_name = name.empty() ? tag : name;
    for (int c = 0; c < sim_amp::channel_count; ++c) amp->channel_names[c] = "Output " + std::to_string(c + 1);
    // Firmware, model code, serial number, output capability and temperatures.
    amp->params[{0, 3}] = 8;
    amp->params[{0, 4}] = 19;
    amp->params[{0, 14}] = 200000u + std::uint32_t(blocks_.size() + 1);
    amp->params[{0, 15}] = 141;
    amp->params[{0, 16}] = 28;
    amp->params[{3, 1}] = 41;
    amp->params[{3, 2}] = 38;
    for (std::uint16_t c = 0; c < 4; ++c) amp->params[{3, std::uint16_t(3 + c)}] = 45u + c;
    auto& stored = blocks_[tag];
    stored = std::move(amp);
    return *stored;
}

sim_amp::amplifier_model* host::find(const std::string& tag) {
    const auto found = blocks_.find(tag);
    return found == blocks_.end() ? nullptr : found->second.get();
}

void host::set_credentials(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
}

void host::record_line(const std::string& from, const std::string& line, std::int64_t now_ms) {
    // A long demo run must not grow without bound: keep the most recent records.
    if (records_.size() >= max_records) records_.erase(records_.begin(), records_.begin() + max_records / 2);
    records_.push_back({now_ms, from, line});
}

fault_mode host::take_reply_fault() {
    const fault_mode mode = fault_.mode;
    if (mode == fault_mode::drop || mode == fault_mode::stall || mode == fault_mode::error) {
        if (fault_.remaining > 0 && --fault_.remaining == 0) fault_ = {};
    }
    return mode;
}

std::string host::answer(const std::string& line) {
    const auto command = parse_command(line);
    if (!command) return err("bad command line");
    sim_amp::amplifier_model* amp = find(command->tag);
    if (!amp) return err("address not found: {\"" + command->tag + "\"}");
    if (command->verb == "get") return get(*amp, command->arguments);
    if (command->verb == "set") return set(*amp, command->arguments);
    if (command->verb == "peek") return peek(*amp, command->arguments);
    if (command->verb == "poke") return poke(*amp, command->arguments);
    return err("unknown command: " + command->verb);
}

std::string host::get(sim_amp::amplifier_model& amp, const std::string& arguments) {
    const auto [attribute, rest] = split_word(arguments);
    if (attribute == "ampName" && rest.empty()) return ok_text(amp.frame_name);
    if (attribute == "ampPower" && rest.empty()) return ok_bool(amp.power);
    if (attribute == "monitorData" && rest.empty()) {
        return ok_value(word_list({amp.monitor.begin(), amp.monitor.end()}));
    }
    if (attribute == "channelName" || attribute == "mute") {
        const int c = channel_of(rest);
        if (c < 0) return err("bad channel: " + rest);
        return attribute == "mute" ? ok_bool(amp.mute[c] != 0) : ok_text(amp.channel_names[c]);
    }
    return err("unknown attribute: " + attribute);
}

std::string host::set(sim_amp::amplifier_model& amp, const std::string& arguments) {
    const auto [attribute, rest] = split_word(arguments);
    if (attribute == "ampName") {
        amp.frame_name = unquote(rest);
        return "+OK\r\n";
    }
    if (attribute == "ampPower") {
        const auto on = boolean_of(rest);
        if (!on) return err("bad value: " + rest);
        amp.power = *on;
        return "+OK\r\n";
    }
    if (attribute == "channelName" || attribute == "mute") {
        const auto [number, value] = split_word(rest);
        const int c = channel_of(number);
        if (c < 0) return err("bad channel: " + number);
        if (attribute == "channelName") {
            amp.channel_names[c] = unquote(value);
            return "+OK\r\n";
        }
        const auto muted = boolean_of(value);
        if (!muted) return err("bad value: " + value);
        amp.mute[c] = *muted ? 1 : 0;
        return "+OK\r\n";
    }
    return err("unknown attribute: " + attribute);
}

std::string host::peek(sim_amp::amplifier_model& amp, const std::string& arguments) {
    const auto [address, count_text] = split_word(arguments);
    std::uint8_t block;
    std::uint16_t index;
    long long count;
    if (!parse_address(address, block, index)) return err("bad address: " + address);
    if (!parse_number(count_text, count) || count < 1 || count > long(max_peek_words) || index + count > 0x10000) {
        return err("bad count: " + count_text);
    }
    std::vector<std::uint32_t> words;
    const std::uint8_t code = amp.read_words(block, index, std::size_t(count), words);
    if (code != sim_amp::code_ok && code != sim_amp::code_parameter_accepted) {
        return err("parameter read refused: code " + std::to_string(code));
    }
    return ok_value(word_list(words));
}

std::string host::poke(sim_amp::amplifier_model& amp, const std::string& arguments) {
    const auto [address, list] = split_word(arguments);
    std::uint8_t block;
    std::uint16_t index;
    if (!parse_address(address, block, index)) return err("bad address: " + address);
    if (list.size() < 2 || list.front() != '[' || list.back() != ']') return err("bad word list");
    std::istringstream in(list.substr(1, list.size() - 2));
    std::vector<std::uint32_t> words;
    std::string word;
    while (in >> word) {
        long long value;
        if (!parse_number(word, value) || value < -2147483648LL || value > 4294967295LL) return err("bad word: " + word);
        words.push_back(std::uint32_t(value));
    }
    if (words.empty() || index + words.size() > 0x10000) return err("bad word list");
    const std::uint8_t code = amp.write_words(block, index, words);
    if (code != sim_amp::code_ok && code != sim_amp::code_parameter_accepted) {
        return err("parameter write refused: code " + std::to_string(code));
    }
    return "+OK\r\n";
}

std::vector<std::string> host::control(const std::string& line, bool& quit) {
    const auto [command, rest] = split_word(line);
    if (command.empty()) return {"error empty command"};
    if (command == "ping") return {"ok"};
    if (command == "quit") {
        quit = true;
        return {"ok"};
    }
    if (command == "clear") {
        records_.clear();
        return {"ok"};
    }
    if (command == "sessions") return {"ok " + std::to_string(sessions)};
    if (command == "received") {
        std::vector<std::string> lines{"ok " + std::to_string(records_.size())};
        for (const auto& r : records_) lines.push_back(std::to_string(r.time_ms) + " " + r.from + " " + r.line);
        return lines;
    }
    if (command == "list") {
        std::string text = "ok " + std::to_string(blocks_.size());
        for (const auto& [tag, amp] : blocks_) text += tag.find(' ') == std::string::npos ? " " + tag : " \"" + tag + "\"";
        return {text};
    }
    if (command == "do") {
        const std::string reply = answer(rest);
        return {"ok " + reply.substr(0, reply.size() - 2)};
    }
    if (command == "fault") {
        const auto [name, option] = split_word(rest);
        const auto mode = fault_names().find(name);
        if (mode == fault_names().end()) return {"error unknown fault mode: " + name};
        fault_setting setting;
        setting.mode = mode->second;
        long long count;
        if (!option.empty()) {
            if (option.rfind("count=", 0) != 0 || !parse_number(option.substr(6), count) || count < 1) {
                return {"error bad fault argument: " + option};
            }
            setting.remaining = int(count);
        }
        fault_ = setting;
        if (setting.mode == fault_mode::login) drop_sessions = true;
        return {"ok"};
    }
    if (command == "credentials") {
        const auto [user, password] = split_word(rest);
        if (user.empty() || password.empty() || password.find_first_of(" \t") != std::string::npos) {
            return {"error credentials need <user> <password>"};
        }
        set_credentials(user, password);
        return {"ok"};
    }
    if (command == "system") {
        if (rest.empty()) return {"error system needs a name"};
        system_name_ = rest;
        return {"ok"};
    }

    // The commands about one block: the tag (quoted when it has blanks), then arguments.
    const auto [tag, args] = split_tag(rest);
    if (tag.empty()) return {"error missing tag"};
    if (command == "add") {
        add(tag, unquote(args));
        return {"ok"};
    }
    sim_amp::amplifier_model* amp = find(tag);
    if (!amp) return {"error no block " + tag};
    if (command == "remove") {
        blocks_.erase(tag);
        return {"ok"};
    }
    if (command == "resets") return {"ok " + std::to_string(amp->resets)};
    if (command == "return_code") {
        long long code;
        if (args == "none") {
            amp->forced_return_code.reset();
        } else if (parse_number(args, code) && code >= 0 && code < 128) {
            amp->forced_return_code = std::int8_t(code);
        } else {
            return {"error bad code: " + args};
        }
        return {"ok"};
    }
    {
        std::istringstream arguments(args);
        if (const auto answer = sim_amp::measurement_control(*amp, command, arguments)) return {*answer};
    }
    std::istringstream in(args);
    std::vector<long long> numbers;
    std::string word;
    while (in >> word) {
        long long value;
        if (!parse_number(word, value, 0)) return {"error bad number: " + word};
        numbers.push_back(value);
    }
    if (command == "param" && numbers.size() == 3) {
        amp->set_word(std::uint8_t(numbers[0]), std::uint16_t(numbers[1]), std::uint32_t(numbers[2]));
        return {"ok"};
    }
    if (command == "monitor" && numbers.size() == 2 && numbers[0] >= 0 && numbers[0] < 60) {
        amp->monitor[std::size_t(numbers[0])] = std::uint32_t(numbers[1]);
        return {"ok"};
    }
    if (command == "param" || command == "monitor") return {"error bad arguments"};
    return {"error unknown command: " + command};
}

// ---------------------------------------------------------------- the socket loop

namespace {

using steady = std::chrono::steady_clock;

enum class session_state { stalled, negotiating, user, password, ready };

struct session {
    int fd = -1;
    std::string from;
    session_state state = session_state::negotiating;
    std::int64_t negotiation_deadline = 0;
    std::size_t negotiation_answers = 0;
    std::string input;
    std::string output;
    std::string user;
    bool close_when_sent = false;
    bool closed = false;
};

int open_listener(const options& opts) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(opts.port);
    if (::inet_pton(AF_INET, opts.bind_address.c_str(), &where.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes the client's telnet answers (IAC <verb> <option>) from the input; returns how
// many there were. A trailing partial answer waits for its other bytes.
std::size_t strip_telnet(std::string& input) {
    std::size_t answers = 0;
    std::string kept;
    std::size_t at = 0;
    while (at < input.size()) {
        if (static_cast<unsigned char>(input[at]) == 255) {
            if (at + 3 > input.size()) break;
            ++answers;
            at += 3;
        } else {
            kept += input[at++];
        }
    }
    input = kept + input.substr(at);
    return answers;
}

void greet(host& sim, session& s) {
    s.output += "\n";
    if (sim.login_required()) {
        s.output += sim.system_name() + " login: ";
        s.state = session_state::user;
    } else {
        s.output += banner;
        s.state = session_state::ready;
    }
}

void serve_line(host& sim, session& s, const std::string& line, std::int64_t now_ms) {
    switch (s.state) {
    case session_state::user:
        s.user = line;
        s.output += "Password: ";
        s.state = session_state::password;
        return;
    case session_state::password:
        if (s.user == sim.user() && line == sim.password()) {
            s.output += std::string("\r\n") + banner;
            s.state = session_state::ready;
        } else {
            s.output += "\r\nLogin incorrect\r\n\r\n" + sim.system_name() + " login: ";
            s.state = session_state::user;
        }
        return;
    case session_state::ready: {
        sim.record_line(s.from, line, now_ms);
        const fault_mode fault = sim.take_reply_fault();
        if (fault == fault_mode::stall) return;
        if (fault == fault_mode::error) {
            s.output += "-ERR simulated fault\r\n";
            return;
        }
        const std::string reply = sim.answer(line);
        if (fault == fault_mode::drop) {
            s.output += reply.substr(0, reply.size() / 2);
            s.close_when_sent = true;
            return;
        }
        s.output += reply;
        return;
    }
    case session_state::stalled:
    case session_state::negotiating:
        return;
    }
}

void take_input(host& sim, session& s, std::int64_t now_ms) {
    const std::size_t answers = strip_telnet(s.input);
    if (s.state == session_state::stalled) {
        s.input.clear();
        return;
    }
    if (s.state == session_state::negotiating) {
        s.negotiation_answers += answers;
        if (s.negotiation_answers * 3 < offered_options.size()) return;
        greet(sim, s);
    }
    for (;;) {
        if (s.close_when_sent) return;
        const auto end = s.input.find_first_of("\r\n");
        if (end == std::string::npos) break;
        const std::string line = s.input.substr(0, end);
        s.input.erase(0, end + 1);
        if (!line.empty()) serve_line(sim, s, line, now_ms);
    }
    if (s.input.size() > input_cap) s.closed = true;  // no line end in sight: not a client
}

}  // namespace

int run(host& sim, const options& opts) {
    const auto start = steady::now();
    const auto now_ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
    };
    ::signal(SIGPIPE, SIG_IGN);

    int listener = open_listener(opts);
    if (listener < 0) {
        std::fprintf(stderr, "orva_tesira_sim: cannot listen on %s:%u: %s\n", opts.bind_address.c_str(),
                     unsigned(opts.port), std::strerror(errno));
        return 1;
    }
    std::printf("ready %u\n", unsigned(opts.port));
    std::fflush(stdout);

    std::list<session> sessions;
    sim_amp::control_channel control;
    bool quit = false;

    while (!quit) {
        // Faults that change the listener or the sessions as a whole.
        if (sim.fault() == fault_mode::refuse || sim.drop_sessions) {
            for (auto& s : sessions) s.closed = true;
            sim.drop_sessions = false;
        }
        if (sim.fault() == fault_mode::refuse && listener >= 0) {
            ::close(listener);
            listener = -1;
        } else if (sim.fault() != fault_mode::refuse && listener < 0) {
            listener = open_listener(opts);
        }
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (it->closed) {
                ::close(it->fd);
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
        sim.sessions = int(sessions.size());

        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        fds.push_back({control.fd(), POLLIN, 0});
        int timeout = listener < 0 && sim.fault() != fault_mode::refuse ? 200 : -1;  // retry a failed re-listen
        const std::int64_t now = now_ms();
        for (auto& s : sessions) {
            short events = POLLIN;
            if (!s.output.empty()) events |= POLLOUT;
            fds.push_back({s.fd, events, 0});
            if (s.state == session_state::negotiating) {
                const int left = int(std::max<std::int64_t>(0, s.negotiation_deadline - now));
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            std::perror("orva_tesira_sim: poll");
            return 1;
        }

        // A client that did not answer the options in time is greeted anyway.
        for (auto& s : sessions) {
            if (s.state == session_state::negotiating && now_ms() >= s.negotiation_deadline) {
                greet(sim, s);
                take_input(sim, s, now_ms());
            }
        }
        if (ready <= 0) continue;

        std::size_t k = 2;
        for (auto& s : sessions) {
            const short revents = fds[k++].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                char chunk[4096];
                const ssize_t n = ::recv(s.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    s.input.append(chunk, std::size_t(n));
                    take_input(sim, s, now_ms());
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    s.closed = true;
                    continue;
                }
            }
            if (!s.output.empty()) {
                const ssize_t n = ::send(s.fd, s.output.data(), s.output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) s.output.erase(0, std::size_t(n));
                if (n < 0 && errno != EAGAIN && errno != EINTR) s.closed = true;
                if (s.output.size() > output_cap) s.closed = true;  // the client does not read
            }
            if (s.output.empty() && s.close_when_sent) s.closed = true;
        }

        if (listener >= 0 && (fds[0].revents & POLLIN)) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                char address[INET_ADDRSTRLEN] = "?";
                ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
                session s;
                s.fd = fd;
                s.from = std::string(address) + ":" + std::to_string(ntohs(from.sin_port));
                if (sim.fault() == fault_mode::stall) {
                    s.state = session_state::stalled;
                } else {
                    s.output = offered_options;
                    s.negotiation_deadline = now_ms() + negotiation_wait_ms;
                }
                sessions.push_back(std::move(s));
            }
        }

        if (control.fd() >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            sim.sessions = int(sessions.size());
            const bool open = control.serve([&](const std::string& line) { return sim.control(line, quit); });
            if (!open && opts.control) quit = true;  // the controlling test has gone
        }
    }
    for (auto& s : sessions) ::close(s.fd);
    if (listener >= 0) ::close(listener);
    return 0;
}

}  // namespace tesira_sim
