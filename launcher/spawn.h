// Starting another program of the installation, detached from the caller: the new process
// leads its own session (so it has no controlling terminal and outlives its starter), and
// inherits the caller's environment, working folder, standard handles and signal defaults.
//
// Thread safety: reentrant.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace nox::launcher {

// Starts `path` with `arguments` (argv[1...]; argv[0] is `path`). When `search_path` is
// set, a `path` without "/" is looked up in $PATH. Returns the process id, or -1 with
// `error` (when given) set to the reason.
pid_t spawn_detached(const std::string& path, const std::vector<std::string>& arguments = {},
                     std::string* error = nullptr, bool search_path = false);

}  // namespace nox::launcher
