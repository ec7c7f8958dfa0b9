// Signals and the wake-up pipe of the main thread.
//
// SIGINT and SIGTERM get a flag-only handler: it records the signal number, sets the
// signal flag and writes one byte to the wake-up pipe, so the quit-port wait (which polls
// that pipe) wakes at once. Nothing else is done in the handler (async-signal-safe).
// SIGSEGV, SIGILL and SIGABRT keep their default action: a flag-only handler would re-run
// the faulting instruction for ever.
//
// Thread safety: `wake_up` may be called from any thread and from the signal handler.
#pragma once

namespace nox {

class wake_pipe {
public:
    wake_pipe();
    ~wake_pipe();
    wake_pipe(const wake_pipe&) = delete;
    wake_pipe& operator=(const wake_pipe&) = delete;

    // The end to poll for reading.
    int read_fd() const { return fds_[0]; }
    int write_fd() const { return fds_[1]; }
    // Wakes whoever polls `read_fd` (async-signal-safe; never blocks).
    void wake_up() const;
    // Empties the pipe.
    void drain() const;

private:
    int fds_[2] = {-1, -1};
};

// Installs the handler for SIGINT and SIGTERM; it wakes `pipe` (which must outlive the
// handler's use). SIGPIPE is ignored so a peer that closes early cannot kill the process.
void install_signal_handlers(const wake_pipe& pipe);

// When a signal has arrived since the last call: clears the flag, stores the number and
// returns true.
bool take_signal(int& number);

}  // namespace nox
