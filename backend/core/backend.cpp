#include "backend/core/backend.h"

#include "common/log/log.h"

#include <mutex>

namespace nox {

backend::backend() = default;

backend::~backend() {
    // Threads are joined by shutdown; a backend destroyed without it must not terminate.
    for (auto& t : workers_)
        if (t.joinable()) t.detach();
}

void backend::start(const std::string& /*document_root*/) {
    quit_flag_.store(false);
    store_.set_paths(configuration_path, template_path);
    store_.load_working_copy(false);
}

void backend::request_quit() {
    quit_flag_.store(true);
    wake_.wake_up();
}

void backend::shutdown() {
    quit_flag_.store(true);
    log_line("Waiting for threads to finish...");
    for (auto& t : workers_) {
        if (t.get_id() == std::this_thread::get_id()) continue;
        if (t.joinable()) t.join();
    }
    log_line("Clearing thread pool...");
    workers_.clear();
    log_line("Stopping web server...");
    log_line("Saving data model...");
    store_.save_locked();
}

}  // namespace nox
