#include "backend/core/backend.h"

#include "common/log/log.h"

#include <stdexcept>

namespace nox {

backend::backend() {
    store_.set_broadcast([this](const std::string& text) { hub_.broadcast(text); });
    engine_.set_fatal_hook([this] { request_quit(); });
}

backend::~backend() {
    // An orderly end runs shutdown; this only keeps a backend destroyed without it from
    // leaving threads behind that use it.
    hub_.shutdown();
    if (server_) server_->stop();
    engine_.close();
    join_workers();
}

void backend::add_worker_starter(std::function<std::thread()> starter) {
    worker_starters_.push_back(std::move(starter));
}

void backend::register_handlers() {
    register_project_handlers(engine_.methods(), project_hooks);
}

bool backend::start(const std::string& document_root) {
    quit_flag_.store(false);
    store_.set_paths(configuration_path, template_path);
    hub_.reopen();
    register_handlers();

    engine_.start(workers_);
    for (auto& starter : worker_starters_) workers_.push_back(starter());

    model load;
    load.set("method", "load_working_copy");
    engine_.post_request(load);

    api_ = std::make_unique<rest_api>(store_, engine_, notifier_,
                                      rest_paths{revision, examples_path}, web_hooks);
    server_ = std::make_unique<web_server>(*api_, hub_);
    web_options.document_root = document_root;
    web_options.listen_address = listen_address_from_environment();
    try {
        server_->start(web_options);
    } catch (const std::exception& e) {
        log_line(e.what());
        return false;
    }
    log_line("started webserver with mongoose version: " + web_server::version());
    return true;
}

void backend::request_quit() {
    quit_flag_.store(true);
    wake_.wake_up();
}

void backend::join_workers() {
    for (auto& t : workers_) {
        if (t.get_id() == std::this_thread::get_id()) continue;
        if (t.joinable()) t.join();
    }
}

void backend::shutdown() {
    quit_flag_.store(true);
    engine_.close();
    log_line("Waiting for threads to finish...");
    join_workers();
    log_line("Clearing thread pool...");
    workers_.clear();
    hub_.shutdown();
    // Stopping the server aborts writes in progress: let every client get its last word.
    if (!hub_.wait_until_empty(std::chrono::seconds(10)))
        log_line("WebSocket clients still writing after 10 s; stopping the web server anyway");
    log_line("Stopping web server...");
    if (server_) server_->stop();
    log_line("Saving data model...");
    store_.save_locked();
}

}  // namespace nox
