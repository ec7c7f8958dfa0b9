#include "tests/support/http_client.h"

#include "tests/support/socket_util.h"
#include "tests/support/tls_stream.h"

#include <algorithm>
#include <cctype>
#include <thread>

namespace orva_test {

namespace {

void parse_answer(http_answer& answer) {
    size_t end = answer.raw.find("\r\n\r\n");
    if (end == std::string::npos) return;
    answer.head = answer.raw.substr(0, end);
    answer.body = answer.raw.substr(end + 4);
    size_t line_end = answer.head.find("\r\n");
    std::string status_line = answer.head.substr(0, line_end);
    size_t space = status_line.find(' ');
    if (space != std::string::npos) answer.status = std::atoi(status_line.c_str() + space + 1);
    size_t pos = line_end == std::string::npos ? answer.head.size() : line_end + 2;
    while (pos < answer.head.size()) {
        size_t next = answer.head.find("\r\n", pos);
        if (next == std::string::npos) next = answer.head.size();
        std::string line = answer.head.substr(pos, next - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            size_t value = line.find_first_not_of(' ', colon + 1);
            answer.headers[name] = value == std::string::npos ? "" : line.substr(value);
        }
        pos = next + 2;
    }
}

}  // namespace

http_answer http_exchange(const std::string& raw, const http_options& options) {
    http_answer answer;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    if (options.tls) {
        tls_stream stream(options.host, options.port, deadline, options.source);
        if (!stream.ok()) return answer;
        stream.send(raw, deadline);
        answer.raw = stream.receive_until_close(deadline);
        parse_answer(answer);
        return answer;
    }
    socket_handle s = connect_tcp(options.host, options.port, deadline, options.source);
    if (!s.valid()) return answer;
    if (!send_all(s.fd(), raw, deadline)) {
        // The server may answer early (a refused body) and close; read what it sent.
    }
    answer.raw = receive_until_close(s.fd(), deadline);
    parse_answer(answer);
    return answer;
}

http_answer http_call(const std::string& method, const std::string& target,
                      const std::string& body, const http_options& options) {
    std::string raw = method + " " + target + " HTTP/1.1\r\n";
    bool has_host = false;
    for (const auto& [name, value] : options.headers) {
        raw += name + ": " + value + "\r\n";
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (lower == "host") has_host = true;
    }
    if (!has_host && options.send_host)
        raw += "Host: " + options.host + ":" + std::to_string(options.port) + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT")
        raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    raw += "Connection: close\r\n\r\n";
    raw += body;
    return http_exchange(raw, options);
}

bool port_open(const std::string& host, uint16_t port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    return connect_tcp(host, port, deadline).valid();
}

std::string tcp_message(const std::string& host, uint16_t port, const std::string& message,
                        std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    socket_handle s = connect_tcp(host, port, deadline);
    if (!s.valid() || !send_all(s.fd(), message, deadline)) return {};
    return receive_until_close(s.fd(), deadline);
}

std::string get_body_when(const std::string& target, const std::function<bool(const std::string&)>& done,
                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string body;
    while (std::chrono::steady_clock::now() < deadline) {
        body = http_get(target).body;
        if (done(body)) return body;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return body;
}

std::string json_field(const std::string& json, const std::string& key) {
    const std::string marker = "\"" + key + "\":\"";
    const auto at = json.find(marker);
    if (at == std::string::npos) return {};
    const auto start = at + marker.size();
    return json.substr(start, json.find('"', start) - start);
}

double slowest_get_ms(const std::string& target, int count) {
    double slowest = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const auto answer = http_get(target);
        const double ms = answer.status == 200 ? std::chrono::duration<double, std::milli>(
                                                     std::chrono::steady_clock::now() - start)
                                                     .count()
                                               : 60000.0;
        slowest = std::max(slowest, ms);
    }
    return slowest;
}

}  // namespace orva_test
