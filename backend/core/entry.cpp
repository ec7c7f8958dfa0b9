#include "backend/core/entry.h"

#include "backend/core/backend.h"
#include "backend/core/lock_file.h"
#include "backend/core/password_command.h"
#include "backend/core/quit_port.h"
#include "backend/core/signals.h"
#include "backend/core/version.h"
#include "backend/requests/monitor_thread.h"
#include "common/log/log.h"
#include "common/platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/prctl.h>
#include <iostream>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace nox {

int backend_main(int argc, char** argv) {
    // Buffers of 512 KiB and more (project texts, request bodies, parsed projects' pools)
    // get pages of their own, returned when freed. Left to itself the allocator raises
    // this threshold after the first such buffer is freed, and every worker thread's heap
    // then keeps about twice the largest one for good.
    ::mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    // The web server runs hundreds of worker threads. By default the allocator gives up to
    // eight heaps per processor to them, each keeping what its threads freed; two heaps are
    // plenty for a service whose threads mostly wait, and keep its memory independent of
    // the number of processors of the workstation.
    ::mallopt(M_ARENA_MAX, 2);
    // A host that backs every mapping with transparent huge pages would make each thread
    // stack and heap that is touched at all resident in 2 MiB pieces: hundreds of idle
    // threads would then cost hundreds of megabytes. Small pages for this process.
    ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

    // The installation folder: the folder of the running executable.
    const std::string installation =
        platform::folder_of(platform::executable_path(argc > 0 ? argv[0] : nullptr));

    // The data folder: Orva in the per-user data folder, else the installation folder.
    std::string data_folder = installation;
    auto app_data = platform::local_app_data_folder();
    if (app_data) {
        data_folder = *app_data + "/Orva";
        platform::make_directories(data_folder);
    }
    // `--set-password NAME` and `--delete-password NAME` change the password file and end:
    // the log and the lock of a backend that runs meanwhile stay untouched.
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (is_password_command(arguments))
        return run_password_command(arguments, data_folder, std::cin, std::cout, std::cerr,
                                    ::isatty(STDIN_FILENO) ? &terminal_password : nullptr);
    log::instance().set_log_path(data_folder + "/orva.log");
    std::cout << "Writing configuration and logs to: " << data_folder << std::endl;

    // Where the project, its template, the user interface and the examples are.
    auto the_backend = std::make_unique<backend>();
    the_backend->configuration_path = data_folder + "/configuration_orva.xml";
    const std::string document_root = installation + "/html/";
    the_backend->template_path = installation + "/template_configuration_orva.xml";
    the_backend->examples_path = installation + "/examples";

    // A fresh log for this run, opened with the version.
    log::instance().log_truncate();
    log_line(std::string("starting main version:") + backend_version);
    log_line("version with revision:" + revision_of(backend_version));
    if (const char* limit = std::getenv("ORVA_LOG_MAX_BYTES"); limit && !log::parse_max_size(limit))
        log_line(std::string("ORVA_LOG_MAX_BYTES ignored (a byte count of at least 4096, optionally with K, M "
                             "or G): ") + limit);
    if (const char* period = std::getenv("ORVA_MONITOR_PERIOD_MS"); period && !parse_monitor_period(period))
        log_line(std::string("ORVA_MONITOR_PERIOD_MS ignored (milliseconds from 10 to 60000): ") + period);

    // The lock-file folder.
    if (!app_data) {
        log_line("failed get app-data folder! error: " + std::to_string(-1));
        return 1;
    }
    const std::string lock_folder = *app_data + "/Orva";
    platform::make_directories(lock_folder);
    lock_file lock(lock_folder + "/main.pid");

    // One backend per user: the lock file names a running one.
    if (lock.held_by_other()) {
        log_line("pidfile exists and seems we are already running! exiting!");
        return 1;
    }
    install_signal_handlers(the_backend->wake());
    if (!lock.write()) {
        log_line("Could not write pid file at: " + lock.path() +
                 " you might want to check permissions and remove the file.");
        return 1;
    }
    log_line("Wrote pidfile: " + lock.path());
    // With the lock held no other backend writes here: a temporary file of a save that a
    // crash interrupted is ours to remove.
    if (int removed = platform::remove_interrupted_writes(the_backend->configuration_path))
        log_line("Removed " + std::to_string(removed) + " temporary file(s) of an interrupted save");

    // The installation is whole: template and user interface present.
    if (!platform::file_readable(the_backend->template_path)) {
        log_line("Could not find template configuration at " + the_backend->template_path +
                 " -- installation corrupt?\n");
        lock.remove();
        return 1;
    }
    if (!platform::file_readable(document_root + "index.html")) {
        log_line("Could not find configuration files -- installation corrupt?\n");
        lock.remove();
        return 1;
    }

    // The site network: a setting that cannot be right stops the start before anything
    // runs, with its reason in the log and on standard error.
    try {
        auto& web = the_backend->web_options;
        web.site = site_settings_from_environment(data_folder);
        web.tls_adapter_folder = installation + "/lib";
        check_site_settings(web.site, listen_address_from_environment());
    } catch (const std::exception& e) {
        log_line(e.what());
        std::cerr << "orva_backend: " << e.what() << std::endl;
        lock.remove();
        return 1;
    }

    the_backend->store().register_default_collections();
    the_backend->revision = revision_of(backend_version);

    // The quit port listens before the web server opens: whoever sees the backend answer
    // can also stop it (a "SIGINT" sent meanwhile waits in the port's queue).
    std::optional<quit_port> port(std::in_place, the_backend->quit_flag(), the_backend->wake());

    if (!the_backend->start(document_root)) {
        the_backend->shutdown();
        lock.remove();
        return 1;
    }
    install_signal_handlers(the_backend->wake());

    // Serves until "SIGINT" on the quit port or a signal, then stops in order.
    port->serve();
    port.reset();  // closed before the shutdown, which may take a moment
    the_backend->shutdown();
    log_line("KTHXBAI!");
    return lock.remove() ? 0 : 1;
}

}  // namespace nox
