#include "backend/requests/project_handlers.h"

#include "backend/requests/request_engine.h"

namespace nox {

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
}

}  // namespace nox
