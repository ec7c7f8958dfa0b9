// The entry point of `orva_backend`: start-up, the quit-port loop and the orderly exit.
// Returns the process exit status: 0 after an orderly shutdown whose lock file was
// removed, 1 otherwise.
#pragma once

namespace nox {

int backend_main(int argc, char** argv);

}  // namespace nox
