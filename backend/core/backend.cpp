#include "backend/core/backend.h"

#include "backend/amp/tesira_family.h"
#include "backend/core/version.h"
#include "backend/model/project_files.h"
#include "backend/requests/device_handlers.h"
#include "backend/requests/device_wiring.h"
#include "backend/requests/frame_transfer.h"
#include "backend/tesira/tesira_handlers.h"
#include "common/log/log.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace nox {

backend::backend()
    : tesira_(engine_, registry_, [this](const std::string& server_address, const std::string& instance_tag) {
          return amp::tesira_family().make_device({{"server_address", server_address}, {"device_id", instance_tag}},
                                                  device_services_for(store_));
      }) {
    store_.set_broadcast([this](const std::string& text) { hub_.broadcast(text); });
    store_.set_rebuild_devices([this](bool keep_devices) { registry_.rebuild_devices(keep_devices); });
    // A loaded project is in place before its amplifier devices are rebuilt, which waits
    // seconds for each silent amplifier: the REST routes need not wait for that.
    store_.set_installed([this] { working_copy_in_place(); });
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
    web_hooks.tesira_export = [this] { return tesira_.export_document_text(); };

    sync_monitoring_options monitoring;
    monitoring.lookup_device = [this](const std::string& id) { return registry_.lookup(id); };
    monitoring.quit_flag = &quit_flag_;
    monitoring.fatal = [this] { request_quit(); };
    if (const char* period = std::getenv("ORVA_MONITOR_PERIOD_MS"))
        if (auto parsed = parse_monitor_period(period)) monitoring.monitor_period = *parsed;
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
    set_metrics(nullptr);
}

void backend::add_worker_starter(std::function<std::thread()> starter) {
    worker_starters_.push_back(std::move(starter));
}

void backend::register_handlers() {
    auto& table = engine_.methods();
    register_project_handlers(table, project_hooks);
    if (const request_handler* found = table.find("load_working_copy", "wait")) {
        // The REST routes wait for the first load (see start): the project's installation
        // tells when it is in place (see the constructor), the end of the load when it
        // failed.
        table.set_handler("load_working_copy", "wait", [this, load = *found](model& request, request_engine& engine) {
            struct announce {
                backend* self;
                ~announce() { self->working_copy_in_place(); }
            } when_over{this};
            load(request, engine);
        });
    }
    register_frame_handlers(table, registry_);
    device_handler_hooks device_hooks;
    device_hooks.interface_and_discover = [this](const std::string& requested) {
        return interface_and_discover(store_, registry_, requested);
    };
    register_device_handlers(table, registry_, device_hooks);
    calibration_.register_handlers(table);
    register_tesira_handlers(table, tesira_);
    // Last: the synchronisation wraps the frame handlers registered before it.
    sync_monitoring_->register_handlers();
}

bool backend::start(const std::string& document_root) {
    quit_flag_.store(false);
    registry_.resume_rebuilds();
    store_.set_paths(configuration_path, template_path);
    store_.load_logins();
    prometheus_metrics::sources sources;
    sources.version = backend_version;
    sources.revision = revision;
    sources.websocket_clients = [this] { return hub_.client_count(); };
    metrics_ = std::make_unique<prometheus_metrics>(store_, std::move(sources));
    set_metrics(metrics_.get());
    web_hooks.metrics = [this] { return metrics_->scrape(); };
    hub_.reopen();
    register_handlers();
    // Copies of the project made for downloads by an earlier run serve no request now.
    sync_monitoring_->sync().remove_all_copies(store_);

    engine_.start(workers_);
    workers_.push_back(sync_monitoring_->start_monitor());
    for (auto& starter : worker_starters_) workers_.push_back(starter());

    {
        std::lock_guard lock(loaded_mutex_);
        working_copy_loaded_ = false;
    }
    model load;
    load.set("method", "load_working_copy");
    engine_.post_request(load);
    // The user interface's files are served at once; a REST route waits for the project,
    // since serving one before the load would let the load replace what a client changes
    // in the meantime (a frame it adds, a discovery the launcher asks for).
    web_hooks.ready = [this] {
        if (!wait_for_working_copy(std::chrono::minutes(1)) && !quit_flag_.load()) {
            std::call_once(late_load_logged_,
                           [] { log_line("the project was not loaded within a minute; serving anyway"); });
        }
    };

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
        std::cerr << "orva_backend: " << e.what() << std::endl;
        return false;
    }
    log_line("started webserver with mongoose version: " + web_server::version());
    return true;
}

bool backend::wait_for_working_copy(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(loaded_mutex_);
    loaded_changed_.wait_until(lock, deadline, [this] { return working_copy_loaded_ || quit_flag_.load(); });
    return working_copy_loaded_;
}

void backend::working_copy_in_place() {
    {
        std::lock_guard lock(loaded_mutex_);
        working_copy_loaded_ = true;
    }
    loaded_changed_.notify_all();
}

void backend::request_quit() {
    quit_flag_.store(true);
    wake_.wake_up();
    {
        // Under the mutex, so that a start waiting for the project cannot miss the flag.
        std::lock_guard lock(loaded_mutex_);
    }
    loaded_changed_.notify_all();
}

void backend::join_workers() {
    for (auto& t : workers_) {
        if (t.get_id() == std::this_thread::get_id()) continue;
        if (t.joinable()) t.join();
    }
}

void backend::shutdown() {
    quit_flag_.store(true);
    registry_.stop_rebuilds();
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
