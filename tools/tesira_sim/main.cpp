// orva_tesira_sim: a simulated Tesira server hosting amplifier blocks on TCP 23, for trying
// Orva without hardware and for the tests. See server.h for the protocol, the fault modes
// and the control commands.
#include "tools/tesira_sim/server.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: orva_tesira_sim [--demo] [--block TAG[=NAME]]... [--login USER:PASSWORD]\n"
                 "                       [--system NAME] [--bind ADDRESS] [--port N] [--control]\n"
                 "  --demo      two amplifier blocks, \"AmpBlock1\" (Balcony left) and \"AmpBlock2\" (Balcony right)\n"
                 "  --block     one amplifier block under its instance tag, named NAME (the tag by default)\n"
                 "  --login     require a login with these credentials\n"
                 "  --system    the system name the login prompt shows (TesiraServer)\n"
                 "  --bind      local address to listen on (0.0.0.0)\n"
                 "  --port      TCP port (23)\n"
                 "  --control   read control commands from standard input, stop at its end\n");
}

}  // namespace

int main(int argc, char** argv) {
    tesira_sim::host sim;
    tesira_sim::options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--demo") {
            auto& first = sim.add("AmpBlock1", "Balcony left");
            auto& second = sim.add("AmpBlock2", "Balcony right");
            second.params[{0, 3}] = 4;  // a high-power model
            // Loudspeaker lines of several sizes, and one channel left without a load.
            first.set_line(1, {true, 4.0});
            second.set_line(0, {true, 16.0});
            second.set_line(2, {false, 8.0});
        } else if (arg == "--block" && has_value) {
            const std::string spec = argv[++i];
            const auto eq = spec.find('=');
            const std::string tag = spec.substr(0, eq);
            if (tag.empty()) {
                usage();
                return 2;
            }
            sim.add(tag, eq == std::string::npos ? std::string() : spec.substr(eq + 1));
        } else if (arg == "--login" && has_value) {
            const std::string spec = argv[++i];
            const auto colon = spec.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == spec.size()) {
                usage();
                return 2;
            }
            sim.set_credentials(spec.substr(0, colon), spec.substr(colon + 1));
            sim.require_login(true);
        } else if (arg == "--system" && has_value) {
            bool quit = false;
            sim.control(std::string("system ") + argv[++i], quit);
        } else if (const auto taken = sim_amp::take_listen_option(argc, argv, i, opts);
                   taken != sim_amp::option_result::not_mine) {
            if (taken == sim_amp::option_result::bad) {
                usage();
                return 2;
            }
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    return tesira_sim::run(sim, opts);
}
