#include "tools/sim_amp/program.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace sim_amp {

option_result take_listen_option(int argc, char** argv, int& i, listen_options& options) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--control") {
        options.control = true;
        return option_result::taken;
    }
    if (arg == "--bind" && has_value) {
        options.bind_address = argv[++i];
        return option_result::taken;
    }
    if (arg == "--port" && has_value) {
        char* end = nullptr;
        const long port = std::strtol(argv[++i], &end, 10);
        if (*end != 0 || port <= 0 || port > 65535) return option_result::bad;
        options.port = static_cast<std::uint16_t>(port);
        return option_result::taken;
    }
    return option_result::not_mine;
}

bool control_channel::serve(const std::function<std::vector<std::string>(const std::string&)>& run) {
    if (!open_) return false;
    char chunk[4096];
    const ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n <= 0) {
        open_ = false;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = buffer_.find('\n')) != std::string::npos) {
        const std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        for (const auto& answer : run(line)) std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return true;
}

}  // namespace sim_amp
