// orva_ui: the desktop shell that the launcher starts when the backend does not answer.
//
// At start it takes the command port 127.0.0.1:27028. When another orva_ui already holds
// it, this one hands its work over (asks the running one to make sure the backend runs and
// to open the URLs given on this command line) and exits. Otherwise it starts
// orva_backend from its own folder when nothing answers on 127.0.0.1:8080 (detached in its
// own session, so the backend outlives the shell), opens the URLs given on its command
// line and then serves the command port (ui/command.h) until SIGINT or SIGTERM.
//
// A page is opened with xdg-open when a desktop is available (DISPLAY or WAYLAND_DISPLAY
// set); without one, or when xdg-open is missing or fails, the URL is printed on standard
// output for the user to open. Everything is logged to the process-wide log.
//
// Thread safety: single-threaded; `run_shell` is called once per process (it installs
// handlers for SIGINT, SIGTERM and SIGCHLD).
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace nox::ui {

struct shell_settings {
    std::string own_folder;                          // where orva_backend is looked for
    std::string backend_executable = "orva_backend";
    std::uint16_t backend_port = 8080;
    std::uint16_t command_port = 27028;
    std::chrono::milliseconds probe_timeout{5000};   // GET / to the backend
    std::chrono::milliseconds client_timeout{5000};  // one command connection, at most
    std::chrono::milliseconds quiet_period{200};     // ends a command sent without line end
    std::chrono::milliseconds handover_timeout{30000};  // one exchange with the running shell
    std::ostream* out = nullptr;                     // printed URLs; default std::cout
};

// Runs the shell with the URLs to open; returns the exit code (0, or 1 when the command
// port could neither be taken nor handed over to).
int run_shell(const std::vector<std::string>& urls, const shell_settings& settings);

// True when a graphical session is there to open pages in.
bool desktop_available();

// The line printed for a page that cannot be opened on a desktop.
std::string printed_url_line(const std::string& url);

}  // namespace nox::ui
