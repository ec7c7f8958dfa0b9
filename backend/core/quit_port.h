// The quit port: a TCP listener on 127.0.0.1:27027 served by the main thread for the
// backend's whole life. A client sends one message and gets one reply, then the
// connection is closed:
//   "PING"   -> "+OK"
//   "SIGINT" -> "+OK", and the backend stops
//   other    -> "-ERR"
// Messages are compared exactly (case-sensitive, no line end). There is no line end in
// the reply either.
//
// The loop also ends, without waiting for a connection, when a signal arrives or the quit
// flag is set (both wake the wake-up pipe). A client that connects and sends nothing is
// given up after a few seconds; a message longer than 64 KiB is not read further.
#pragma once

#include "backend/core/signals.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace nox {

// Reads one message from a connected client socket: receives while each receive fills the
// whole 512-byte buffer; the message ends with the first shorter receive, at `max_message`
// bytes, or when the peer closes. A client that sends nothing before `timeout`, or whose
// socket fails, yields the empty message. Never blocks past the deadline.
std::string receive_quit_message(int client, std::chrono::milliseconds timeout, size_t max_message);

// The answer to one message: "+OK" for "PING" and "SIGINT" (which also stops the
// backend), "-ERR" for anything else.
struct quit_answer {
    const char* reply;
    bool stop;
};
quit_answer answer_quit_message(const std::string& message);

struct quit_port_options {
    uint16_t port = 27027;
    std::chrono::milliseconds receive_timeout{5000};
    size_t max_message = 64 * 1024;
    std::chrono::milliseconds relisten_pause{1000};
};

class quit_port {
public:
    quit_port(const std::atomic<bool>& quit_flag, const wake_pipe& wake,
              quit_port_options options = {});
    ~quit_port();
    quit_port(const quit_port&) = delete;
    quit_port& operator=(const quit_port&) = delete;

    // Serves connections until "SIGINT" arrives, a signal arrives or the quit flag is set.
    void serve();

private:
    void open_listener();
    void close_listener();
    // Waits for the listener or the wake-up pipe; false when woken to stop.
    bool wait_for_connection();
    bool should_stop();

    const std::atomic<bool>& quit_flag_;
    const wake_pipe& wake_;
    const quit_port_options options_;
    int listener_ = -1;
    bool end_ = false;
};

}  // namespace nox
