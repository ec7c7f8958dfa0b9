#include "tools/mira_sim/simulator.h"

#include "tools/sim_amp/measurement_control.h"

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace mira_sim {

namespace {

constexpr std::size_t max_records = 100000;

const std::map<std::string, fault_mode>& fault_names() {
    static const std::map<std::string, fault_mode> names = {
        {"none", fault_mode::none},
        {"silent", fault_mode::silent},
        {"late", fault_mode::late},
        {"duplicate", fault_mode::duplicate},
        {"wrong_destination", fault_mode::wrong_destination},
        {"ack", fault_mode::ack},
        {"nak", fault_mode::nak},
        {"short", fault_mode::short_frame},
        {"length", fault_mode::length},
        {"tiny_length", fault_mode::tiny_length},
        {"truncated", fault_mode::truncated},
        {"words", fault_mode::words},
        {"no_nul", fault_mode::no_nul},
        {"unknown_type", fault_mode::unknown_type},
        {"empty", fault_mode::empty},
    };
    return names;
}

std::string hex_words(const std::vector<std::uint32_t>& words) {
    std::string text;
    char word[16];
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::snprintf(word, sizeof word, "%s%08x", i ? "," : "", words[i]);
        text += word;
    }
    return text.empty() ? "-" : text;
}

std::string describe(const record& r) {
    std::ostringstream line;
    line << r.time_ms << ' ' << r.from << ' ' << r.size;
    if (!r.parsed) {
        line << " damaged";
        return line.str();
    }
    line << ' ' << r.frame.type << ' ' << id_text(r.frame.destination) << ' ' << r.frame.sequence << ' ';
    if (r.frame.type == 701) {
        line << r.frame.text;
    } else if (r.frame.type == 702) {
        line << hex_words(r.frame.words);
    } else if (r.frame.type == 4) {
        line << (r.frame.hash_ok ? "hash_ok" : "hash_bad");
    } else {
        line << '-';
    }
    return line.str();
}

bool parse_number(const std::string& text, long long& value, int base = 0) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, base);
    return errno == 0 && *end == 0;
}

}  // namespace

host::host() = default;

amplifier& host::add(std::uint64_t id, std::uint8_t kind, std::uint8_t product) {
    auto& hosted = amps_[id];
    hosted.amp = std::make_unique<amplifier>(id, kind, product);
    hosted.fault = {};
    hosted.heartbeat_answers = 1;
    return *hosted.amp;
}

hosted_amplifier* host::find(std::uint64_t id) {
    const auto found = amps_.find(id);
    return found == amps_.end() ? nullptr : &found->second;
}

std::vector<outgoing> host::receive(std::span<const std::uint8_t> datagram, const std::string& from,
                                    std::int64_t now_ms) {
    record rec;
    rec.time_ms = now_ms;
    rec.from = from;
    rec.size = datagram.size();
    const auto parsed = parse_request(datagram);
    rec.parsed = parsed.has_value();
    if (parsed) rec.frame = *parsed;
    // A long demo run must not grow without bound: keep the most recent records.
    if (records_.size() >= max_records) records_.erase(records_.begin(), records_.begin() + max_records / 2);
    records_.push_back(rec);

    std::vector<outgoing> out;
    if (!parsed) return out;
    const request& r = *parsed;

    if (r.type == 4) {
        if (!r.hash_ok) return out;
        for (auto& [id, hosted] : amps_) {
            if (hosted.fault.mode == fault_mode::silent) continue;
            for (int i = 0; i < hosted.heartbeat_answers; ++i) {
                out.push_back({0, heartbeat_reply(id, hosted.amp->kind(), hosted.amp->product(), r.sequence, r.source)});
            }
        }
        return out;
    }
    if (r.type != 701 && r.type != 702) return out;
    hosted_amplifier* hosted = find(r.destination);
    if (!hosted) return out;
    const reply_address to{hosted->amp->id(), hosted->amp->kind(), r.source, r.sequence};
    bytes reply = r.type == 701 ? text_reply(to, hosted->amp->text_command(r.text))
                                : binary_reply(to, hosted->amp->packet(r.words));
    if (hosted->fault.mode == fault_mode::no_nul && r.type == 701) {
        reply = text_reply(to, std::string(120, 'X'));
    }
    return reply_with_faults(*hosted, r, std::move(reply));
}

std::vector<outgoing> host::reply_with_faults(hosted_amplifier& hosted, const request& r, bytes reply) {
    std::vector<outgoing> out;
    const fault_setting fault = hosted.fault;
    if (hosted.fault.remaining > 0 && --hosted.fault.remaining == 0) hosted.fault = {};
    const reply_address to{hosted.amp->id(), hosted.amp->kind(), r.source, r.sequence};

    switch (fault.mode) {
    case fault_mode::none:
    case fault_mode::no_nul:
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::silent:
        break;
    case fault_mode::late:
        out.push_back({fault.delay_ms, std::move(reply)});
        break;
    case fault_mode::duplicate:
        out.push_back({0, reply});
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::wrong_destination:
        set32(reply, 12, std::uint32_t(r.source) ^ 0x5A5A5A5Au);
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::ack:
        out.push_back({0, ack_reply(to, 0xFFFFFFFEu)});
        break;
    case fault_mode::nak:
        out.push_back({0, ack_reply(to, 0x00000001u)});
        break;
    case fault_mode::short_frame:
        reply.resize(20);
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::length:
        set16(reply, 20, std::uint16_t(reply.size() + 100));
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::tiny_length:
        set16(reply, 20, 8);
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::truncated:
        reply.resize(60);
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::words:
        if (r.type == 702) {
            // Keep only the reply's real words in a shorter frame, then claim more of them.
            const std::size_t count = reply[29];
            const std::size_t length = 28 + 4 * count + 4;
            reply.resize(length);
            set16(reply, 20, std::uint16_t(length));
            reply[29] = std::uint8_t(count + 5);
        } else {
            set16(reply, 20, std::uint16_t(reply.size() + 100));
        }
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::empty:
        std::fill(reply.begin() + 28, reply.end(), 0);
        out.push_back({0, std::move(reply)});
        break;
    case fault_mode::unknown_type:
        set16(reply, 22, 703);
        out.push_back({0, std::move(reply)});
        break;
    }
    return out;
}

std::vector<std::string> host::control(const std::string& line, bool& quit) {
    std::istringstream in(line);
    std::string command, id_word;
    in >> command;
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
    if (command == "received") {
        std::vector<std::string> lines{"ok " + std::to_string(records_.size())};
        for (const auto& r : records_) lines.push_back(describe(r));
        return lines;
    }
    if (command == "list") {
        std::string text = "ok " + std::to_string(amps_.size());
        for (const auto& [id, hosted] : amps_) text += " " + id_text(id);
        return {text};
    }

    in >> id_word;
    const auto id = parse_id(id_word);
    if (!id) return {"error bad id: " + id_word};

    if (command == "add") {
        long long kind = 2, product = 20;
        std::string option;
        while (in >> option) {
            const auto eq = option.find('=');
            long long value;
            if (eq == std::string::npos || !parse_number(option.substr(eq + 1), value)) return {"error bad option: " + option};
            const std::string name = option.substr(0, eq);
            if (name == "kind") kind = value;
            else if (name == "product") product = value;
            else return {"error unknown option: " + name};
        }
        add(*id, std::uint8_t(kind), std::uint8_t(product));
        return {"ok"};
    }
    hosted_amplifier* hosted = find(*id);
    if (!hosted) return {"error no amplifier " + id_word};
    amplifier& amp = *hosted->amp;

    if (command == "remove") {
        amps_.erase(*id);
        return {"ok"};
    }
    if (command == "fault") {
        std::string mode_name, word;
        in >> mode_name;
        const auto mode = fault_names().find(mode_name);
        if (mode == fault_names().end()) return {"error unknown fault mode: " + mode_name};
        fault_setting setting;
        setting.mode = mode->second;
        while (in >> word) {
            long long value;
            if (word.rfind("count=", 0) == 0 && parse_number(word.substr(6), value) && value > 0) {
                setting.remaining = int(value);
            } else if (parse_number(word, value) && value >= 0) {
                setting.delay_ms = int(value);
            } else {
                return {"error bad fault argument: " + word};
            }
        }
        hosted->fault = setting;
        return {"ok"};
    }
    if (command == "heartbeats") {
        long long count;
        std::string word;
        in >> word;
        if (!parse_number(word, count) || count < 0 || count > 16) return {"error bad count"};
        hosted->heartbeat_answers = int(count);
        return {"ok"};
    }
    if (command == "set" || command == "get") {
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        if (command == "get") {
            const auto found = amp.value(rest);
            return {found ? "ok " + *found : "error no value"};
        }
        const auto bar = rest.find('|');
        if (bar == std::string::npos) return {"error set needs <key>|<value>"};
        if (!amp.set_value(rest.substr(0, bar), rest.substr(bar + 1))) return {"error value does not fit " + rest};
        return {"ok"};
    }
    if (command == "param" || command == "monitor" || command == "status" || command == "return_code") {
        std::vector<long long> numbers;
        std::string word;
        while (in >> word) {
            long long value;
            if (command == "return_code" && word == "none") {
                amp.forced_return_code.reset();
                return {"ok"};
            }
            if (!parse_number(word, value)) return {"error bad number: " + word};
            numbers.push_back(value);
        }
        if (command == "param" && numbers.size() == 3) {
            amp.set_word(std::uint8_t(numbers[0]), std::uint16_t(numbers[1]), std::uint32_t(numbers[2]));
            return {"ok"};
        }
        if (command == "monitor" && numbers.size() == 2 && numbers[0] >= 0 && numbers[0] < 60) {
            amp.monitor[std::size_t(numbers[0])] = std::uint32_t(numbers[1]);
            return {"ok"};
        }
        if (command == "status" && numbers.size() == 1) {
            amp.status_word = std::uint32_t(numbers[0]);
            return {"ok"};
        }
        if (command == "return_code" && numbers.size() == 1) {
            amp.forced_return_code = std::int8_t(numbers[0]);
            return {"ok"};
        }
        return {"error bad arguments"};
    }
    if (const auto answer = sim_amp::measurement_control(amp, command, in)) return {*answer};
    if (command == "select") {
        std::string word;
        long long value;
        in >> word;
        if (!parse_number(word, value) || value < 0) return {"error bad number: " + word};
        if (value != 0) {
            amp.status_word |= 1u << 14;  // the select key is held
        } else {
            amp.status_word &= ~(1u << 14);
        }
        return {"ok"};
    }
    if (command == "resets") return {"ok " + std::to_string(amp.resets)};
    return {"error unknown command: " + command};
}

int run(host& sim, const options& opts) {
    using steady = std::chrono::steady_clock;
    const auto start = steady::now();
    const auto now_ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
    };

    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::perror("orva_mira_sim: socket");
        return 1;
    }
    const int one = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(opts.port);
    if (::inet_pton(AF_INET, opts.bind_address.c_str(), &where.sin_addr) != 1) {
        std::fprintf(stderr, "orva_mira_sim: bad bind address %s\n", opts.bind_address.c_str());
        return 2;
    }
    if (::bind(sock, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        std::perror("orva_mira_sim: bind");
        return 1;
    }
    std::printf("ready %u\n", unsigned(opts.port));
    std::fflush(stdout);

    struct pending {
        std::int64_t due_ms;
        sockaddr_in to;
        bytes datagram;
    };
    std::vector<pending> queue;
    sim_amp::control_channel control;
    bool quit = false;
    std::array<std::uint8_t, 2048> buffer;

    while (!quit) {
        int timeout = -1;
        if (!queue.empty()) {
            std::int64_t next = queue.front().due_ms;
            for (const auto& p : queue) next = std::min(next, p.due_ms);
            timeout = int(std::max<std::int64_t>(0, next - now_ms()));
        }
        pollfd fds[2] = {{sock, POLLIN, 0}, {control.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            std::perror("orva_mira_sim: poll");
            return 1;
        }
        // Due replies first, in due order.
        const std::int64_t now = now_ms();
        for (auto it = queue.begin(); it != queue.end();) {
            if (it->due_ms <= now) {
                ::sendto(sock, it->datagram.data(), it->datagram.size(), 0, reinterpret_cast<sockaddr*>(&it->to),
                         sizeof it->to);
                it = queue.erase(it);
            } else {
                ++it;
            }
        }
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            for (;;) {
                sockaddr_in from{};
                socklen_t size = sizeof from;
                const ssize_t n = ::recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &size);
                if (n < 0) break;
                char address[INET_ADDRSTRLEN] = "?";
                ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
                const std::string sender = std::string(address) + ":" + std::to_string(ntohs(from.sin_port));
                for (auto& reply : sim.receive(std::span(buffer.data(), std::size_t(n)), sender, now_ms())) {
                    if (reply.delay_ms == 0) {
                        ::sendto(sock, reply.datagram.data(), reply.datagram.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), sizeof from);
                    } else {
                        queue.push_back({now_ms() + reply.delay_ms, from, std::move(reply.datagram)});
                    }
                }
            }
        }
        if (control.fd() >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const bool open = control.serve([&](const std::string& line) { return sim.control(line, quit); });
            if (!open && opts.control) quit = true;  // the controlling test has gone
        }
    }
    ::close(sock);
    return 0;
}

}  // namespace mira_sim
