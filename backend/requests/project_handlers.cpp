#include "backend/requests/project_handlers.h"

#include "backend/model/project_files.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <malloc.h>
#include <mutex>

namespace nox {

namespace {

void import_config(const project_handler_hooks& hooks, model& request, request_engine& engine) {
    if (!request.has("data")) {
        request.set("status", "fail");
        request.set("error", "no data to import");
    } else {
        // The project text is taken out of the request (it may be tens of MiB): once it
        // has been used the record keeps it as the empty text.
        const std::string data = std::move(request.attributes().at("data"));
        request.set("data", "");
        // The import empties `requests`: this record is put back for its final merge and
        // for the pollers.
        const model kept = request;
        const import_outcome outcome = import_configuration(engine.store(), data, hooks.refresh_interface);
        request.set("status", outcome.result == 0 ? "done" : "fail");
        if (outcome.result != 0) request.set("error", storable_text(outcome.reason));
        {
            auto& requests = engine.store().collection("requests");
            nox::lock_guard lock(requests.mutex());
            if (!requests.exists(kept.id())) requests.add(kept);
        }
        // The text, its parse and the replaced project were tens of MiB, freed on
        // several threads' heaps: give the free pages back rather than keep them.
        ::malloc_trim(0);
    }
    log_line("sending sigwaitdone");
    engine.broadcast("sigwaitdone");
}

void export_config(const project_handler_hooks& hooks, model& request, request_engine& engine) {
    const export_outcome outcome = export_configuration(engine.store(), request, hooks.projects_folder);
    ::malloc_trim(0);  // the project's text, made twice, is freed: see import_config
    request.set("export_result", std::to_string(outcome.result));
    if (!outcome.output_path.empty()) request.set("output_path", outcome.output_path);
    const bool done = outcome.result == export_written || outcome.result == export_file_exists;
    request.set("status", done ? "done" : "fail");
    if (!outcome.reason.empty()) request.set("error", storable_text(outcome.reason));
    if (outcome.result != export_written) return;
    engine.broadcast("sigupdate");
    if (!outcome.changed_keys.empty()) {
        const std::string text =
            engine.notifier().build_notification("settings", outcome.settings, outcome.changed_keys);
        if (!text.empty()) engine.broadcast(text);
    }
}

}  // namespace

void register_project_handlers(method_table& table, project_handler_hooks hooks) {
    // Loads configuration_orva.xml (the template when there is none yet); an unreadable
    // file is set aside by the store and the template loaded instead.
    table.set_handler("load_working_copy", "wait", [hooks](model& request, request_engine& engine) {
        engine.store().load_working_copy(false);
        const std::string selected = engine.store().get_settings().get("selected_interface");
        if (hooks.refresh_interface) hooks.refresh_interface(selected);
        request.set("status", "done");
        engine.broadcast("working_copy_loaded");
    });
    table.set_handler("import_config", "wait", [hooks](model& request, request_engine& engine) {
        import_config(hooks, request, engine);
    });
    table.set_handler("export_config", "wait", [hooks](model& request, request_engine& engine) {
        export_config(hooks, request, engine);
    });
}

}  // namespace nox
