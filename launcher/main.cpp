// orva_cmdline: see launcher/launcher.h.
#include "common/platform/platform.h"
#include "launcher/launcher.h"

#include <csignal>

int main(int argc, char** argv) {
    // A peer that closes early must give an empty reply, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    nox::launcher::launcher_settings settings;
    settings.own_folder = nox::platform::folder_of(nox::platform::executable_path(argv[0]));
    nox::launcher::cmdline cmdline(std::move(settings));
    return cmdline.run(std::vector<std::string>(argv, argv + argc));
}
