// `nox::backend`: the backend object, created once by the entry point and alive until the
// program exits. It owns the project store and the lifecycle of the worker threads and
// the web server: `start` brings them up, `shutdown` stops them in order and saves.
//
// Thread safety: `start` and `shutdown` run on the main thread. `request_quit` and
// `quitting` may be called from any thread: a worker that fails sets the quit flag through
// `request_quit`, which also wakes the main thread's quit-port wait.
#pragma once

#include "backend/core/signals.h"
#include "backend/model/project_store.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace nox {

class backend {
public:
    backend();
    ~backend();
    backend(const backend&) = delete;
    backend& operator=(const backend&) = delete;

    project_store& store() { return store_; }

    // Starts the worker threads and the web server serving `document_root`, and has the
    // working copy of the project loaded.
    void start(const std::string& document_root);
    // Stops threads and web server in order and saves the project.
    void shutdown();

    // Sets the quit flag and wakes the main thread.
    void request_quit();
    bool quitting() const { return quit_flag_.load(); }
    const std::atomic<bool>& quit_flag() const { return quit_flag_; }
    const wake_pipe& wake() const { return wake_; }

    std::string revision;
    std::string configuration_path;
    std::string template_path;
    std::string examples_path;

private:
    project_store store_;
    std::atomic<bool> quit_flag_{false};
    wake_pipe wake_;
    std::vector<std::thread> workers_;  // main thread only
};

}  // namespace nox
