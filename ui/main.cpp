// orva_ui [url...]: see ui/shell.h. Logs to orva_ui.log beside the executable.
#include "common/log/log.h"
#include "common/platform/platform.h"
#include "ui/shell.h"

#include <csignal>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    nox::ui::shell_settings settings;
    settings.own_folder = nox::platform::folder_of(nox::platform::executable_path(argv[0]));
    // Its own file: the launcher beside it appends to orva.log.
    nox::log::instance().set_log_path(settings.own_folder + "/orva_ui.log");
    for (int i = 0; i < argc; ++i) nox::log_line(argv[i]);
    return nox::ui::run_shell(std::vector<std::string>(argv + 1, argv + argc), settings);
}
