#include "backend/core/backend.h"

#include "backend/model/project_files.h"
#include "backend/requests/device_handlers.h"
#include "backend/requests/device_wiring.h"
#include "backend/requests/frame_transfer.h"
#include "common/log/log.h"

#include <stdexcept>

namespace nox {

backend::backend() {
    store_.set_broadcast([this](const std::string& text) { hub_.broadcast(text); });
    store_.set_rebuild_devices([this](bool keep_devices) { registry_.rebuild_devices(keep_devices); });
    engine_.set_fatal_hook([this] { request_quit(); });
    registry_.set_hooks(production_registry_hooks(engine_));

    // The services of the device area, unless a caller set its own before start.
    project_hooks.refresh_interface = [this](const std::string& selected) {
        refresh_interface(store_, selected);
        // The Mira devices follow the choice now in force (after an import the file's own
        // choice was handed to them by the rebuild).
        registry_.propagate_interface();
    };
    project_hooks.projects_folder = default_projects_folder();
    web_hooks.login_servers = [this] { return registry_.systems_needing_login(); };
    web_hooks.network_settings = [this] { return network_settings(store_, registry_); };

    sync_monitoring_options monitoring;
    monitoring.lookup_device = [this](const std::string& id) { return registry_.lookup(id); };
    monitoring.quit_flag = &quit_flag_;
    monitoring.fatal = [this] { request_quit(); };
    sync_monitoring_ = std::make_unique<sync_monitoring>(engine_, std::move(monitoring));
}

backend::~backend() {
    // An orderly end runs shutdown; this only keeps a backend destroyed without it from
    // leaving threads behind that use it.
    hub_.shutdown();
    if (server_) server_->stop();
    engine_.close();
    sync_monitoring_->stop_monitor();
    calibration_.stop();
    join_workers();
}

void backend::add_worker_starter(std::function<std::thread()> starter) {
    worker_starters_.push_back(std::move(starter));
}

void backend::register_handlers() {
    auto& table = engine_.methods();
    register_project_handlers(table, project_hooks);
    register_frame_handlers(table, registry_);
    device_handler_hooks device_hooks;
    device_hooks.interface_and_discover = [this](const std::string& requested) {
        return interface_and_discover(store_, registry_, requested);
    };
    register_device_handlers(table, registry_, device_hooks);
    calibration_.register_handlers(table);
    // Last: the synchronisation wraps the frame handlers registered before it.
    sync_monitoring_->register_handlers();
}

bool backend::start(const std::string& document_root) {
    quit_flag_.store(false);
    store_.set_paths(configuration_path, template_path);
    hub_.reopen();
    register_handlers();
    // Copies of the project made for downloads by an earlier run serve no request now.
    sync_monitoring_->sync().remove_all_copies(store_);

    engine_.start(workers_);
    workers_.push_back(sync_monitoring_->start_monitor());
    for (auto& starter : worker_starters_) workers_.push_back(starter());

    model load;
    load.set("method", "load_working_copy");
    engine_.post_request(load);

    api_ = std::make_unique<rest_api>(store_, engine_, notifier_,
                                      rest_paths{revision, examples_path, project_hooks.projects_folder},
                                      web_hooks);
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
    sync_monitoring_->stop_monitor();
    // A calibration or sweep in its pauses ends now instead of after its last minute.
    calibration_.stop();
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
    // No request outlives the backend, so neither does a copy made for one.
    sync_monitoring_->sync().remove_all_copies(store_);
}

}  // namespace nox
