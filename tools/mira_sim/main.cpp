// orva_mira_sim: virtual Mira amplifiers on UDP 6016, for trying Orva without hardware
// and for the transport tests. See simulator.h for the fault modes and control commands.
#include "tools/mira_sim/simulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: orva_mira_sim [--demo] [--amp ID[,kind=K][,product=P]]... [--bind ADDRESS] [--port N]\n"
                 "                     [--control]\n"
                 "  --demo      two amplifiers, 00000001:00000001 and 00000001:00000002\n"
                 "  --amp       one amplifier (ID written hhhhhhhh:llllllll; kind 2, product 20 by default)\n"
                 "  --bind      local address to listen on (0.0.0.0)\n"
                 "  --port      UDP port (6016)\n"
                 "  --control   read control commands from standard input, stop at its end\n");
}

bool add_amplifier(mira_sim::host& sim, const std::string& spec) {
    const auto comma = spec.find(',');
    const auto id = mira_sim::parse_id(spec.substr(0, comma));
    if (!id) return false;
    std::string line = "add " + mira_sim::id_text(*id);
    if (comma != std::string::npos) {
        std::string rest = spec.substr(comma + 1);
        for (char& c : rest) {
            if (c == ',') c = ' ';
        }
        line += " " + rest;
    }
    bool quit = false;
    return sim.control(line, quit).front().rfind("ok", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    mira_sim::host sim;
    mira_sim::options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--demo") {
            auto& first = sim.add(0x0000000100000001ull, 2, 20);
            first.frame_name = "Stage left";
            auto& second = sim.add(0x0000000100000002ull, 5, 22);
            second.frame_name = "Stage right";
            second.values["Dev.ModelName?"] = "VR125:4M";
            // Loudspeaker lines of several sizes, and one channel left without a load.
            first.set_line(2, {true, 4.0});
            first.set_line(3, {true, 16.0});
            second.set_line(0, {true, 6.0});
            second.set_line(3, {false, 8.0});
        } else if (arg == "--amp" && has_value) {
            if (!add_amplifier(sim, argv[++i])) {
                std::fprintf(stderr, "orva_mira_sim: bad amplifier %s\n", argv[i]);
                return 2;
            }
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
    return mira_sim::run(sim, opts);
}
