// What both simulator programs share around their protocol: the options that say where
// they listen and whether a controller drives them, and the control channel on standard
// input (one command per line, answer lines on standard output).
//
// Thread safety: none; each program's single loop uses them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim_amp {

struct listen_options {
    std::string bind_address = "0.0.0.0";
    std::uint16_t port = 0;
    bool control = false;  // read control commands from stdin; end at its end-of-file
};

enum class option_result { not_mine, taken, bad };

// Takes `--bind ADDRESS`, `--port N` or `--control` at argv[i] (advancing i past a value).
option_result take_listen_option(int argc, char** argv, int& i, listen_options& options);

class control_channel {
public:
    // The descriptor to poll for input; -1 once the input has ended.
    int fd() const { return open_ ? 0 : -1; }
    // Reads what has arrived and runs every complete line through `run`, printing its
    // answer lines. Returns false when the input has ended.
    bool serve(const std::function<std::vector<std::string>(const std::string& line)>& run);

private:
    bool open_ = true;
    std::string buffer_;
};

}  // namespace sim_amp
