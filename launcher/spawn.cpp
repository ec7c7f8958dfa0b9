#include "launcher/spawn.h"

#include <csignal>
#include <cstring>
#include <spawn.h>

extern char** environ;

namespace nox::launcher {

pid_t spawn_detached(const std::string& path, const std::vector<std::string>& arguments,
                     std::string* error, bool search_path) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Own session; an empty signal mask and default actions, whatever the starter blocks
    // or catches.
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = search_path
                 ? ::posix_spawnp(&pid, path.c_str(), nullptr, &attributes, argv.data(), environ)
                 : ::posix_spawn(&pid, path.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        if (error) *error = std::strerror(rc);
        return -1;
    }
    return pid;
}

}  // namespace nox::launcher
