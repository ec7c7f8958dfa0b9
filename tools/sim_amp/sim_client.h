// Runs a simulator (orva_mira_sim, orva_tesira_sim) as a child process and talks to it
// over its control channel (its standard input and output), for tests and benchmarks that
// need amplifiers on the wire. Both simulators speak the same control convention: one
// command per line, answers starting with "ok" or "error", "received" followed by its
// records, and "ready ..." once they listen.
//
// The child is started with --control, so it ends by itself when this object (and with
// it the pipe) goes away, even if the test that owned it crashed.
//
// Thread safety: one thread at a time. Constructing one ignores SIGPIPE process-wide.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sim_amp {

class sim_client {
public:
    // Starts `program` with --control and `arguments`, and waits (at most 5 s) for its
    // "ready" line. Throws std::runtime_error when it cannot be started or does not
    // become ready.
    sim_client(const std::string& program, const std::vector<std::string>& arguments);
    ~sim_client();

    sim_client(const sim_client&) = delete;
    sim_client& operator=(const sim_client&) = delete;

    // Sends one control command and returns its answer lines ("received" brings its
    // records after the first line). Throws std::runtime_error when no answer comes in 5 s.
    std::vector<std::string> command(const std::string& line);
    // Sends a command and throws unless it answers "ok...". Returns the first line.
    std::string expect_ok(const std::string& line);

    // The received records ("received"), without the count line.
    std::vector<std::string> received();

    // The path of a program of the installation folder ($ORVA_BIN_DIR), or of the running
    // executable's ../bin when that variable is unset.
    static std::string program(const std::string& name);
    // program("orva_mira_sim").
    static std::string default_program() { return program("orva_mira_sim"); }

private:
    std::string read_line();

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string buffer_;
};

}  // namespace sim_amp
