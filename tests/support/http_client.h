// A small blocking HTTP/1.x client for process-level tests and benchmarks. It sends one
// request on a new connection ("Connection: close") and reads the answer until the server
// closes, with a deadline for the whole exchange. The raw answer is kept so tests can
// check the exact bytes.
//
// Thread safety: free functions without shared state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace orva_test {

struct http_answer {
    int status = 0;      // 0 when no answer arrived
    std::string raw;     // everything the server sent
    std::string head;    // status line and headers
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
};

struct http_options {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;
    std::chrono::milliseconds timeout{10000};
    // Extra header lines, each without the line end ("Origin: http://x").
    std::map<std::string, std::string> headers;
    // Sends "Host: 127.0.0.1:<port>" unless false or a Host header is given.
    bool send_host = true;
    // The local address to send from (the sandbox's other end, 10.99.0.2); empty: any.
    std::string source;
    // HTTPS (the server's certificate is not verified).
    bool tls = false;
};

// Sends `raw` as it is and reads the answer.
http_answer http_exchange(const std::string& raw, const http_options& options = {});

// Builds and sends a request with a Content-Length when `body` is not empty (or the
// method is POST or PUT).
http_answer http_call(const std::string& method, const std::string& target,
                      const std::string& body = {}, const http_options& options = {});

inline http_answer http_get(const std::string& target, const http_options& options = {}) {
    return http_call("GET", target, {}, options);
}

// Polls GET `target` (the backend works asynchronously) every 200 ms until `done` holds
// for the body or `timeout` passes; returns the last body.
std::string get_body_when(const std::string& target, const std::function<bool(const std::string&)>& done,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

// The text of the first member `"key":"..."` of a compact JSON answer; empty when absent.
std::string json_field(const std::string& json, const std::string& key);

// The slowest of `count` GETs of `target` (a new connection each) in milliseconds: a
// probe of how long other clients wait. A GET not answered 200 counts as a minute.
double slowest_get_ms(const std::string& target, int count = 20);

// Connects to host:port once; true when something accepts.
bool port_open(const std::string& host, uint16_t port);

// Sends `message` to a TCP port and returns what comes back until the peer closes
// (the quit port's protocol); empty on failure.
std::string tcp_message(const std::string& host, uint16_t port, const std::string& message,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace orva_test
