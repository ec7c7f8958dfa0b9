#include "backend/tesira/tesira_handlers.h"

#include "backend/requests/request_engine.h"

namespace nox {

void register_tesira_handlers(method_table& table, tesira_project& project) {
    tesira_project* p = &project;
    table.set_handler("import_tesira", "wait", [p](model& request, request_engine& engine) {
        if (!request.has("input_path")) {
            request.set("status", "fail");
        } else {
            request.set("status", p->import_tesira(request.at("input_path")) == 0 ? "done" : "fail");
        }
        engine.broadcast("sigupdate");
    });
    table.set_handler("assoc_tesira", "wait", [p](model& request, request_engine& engine) {
        const int result = p->assoc_tesira(request.at("server_address"), request.at("instance_tag"));
        request.set("status", result == 0 ? "done" : "fail");
        engine.broadcast("sigupdate");
    });
    table.set_handler("export_tesira", "wait", [p](model& request, request_engine&) {
        // A document that was not written is no success.
        request.set("status", p->export_tesira(request.at("output_path")) ? "done" : "fail");
    });
}

}  // namespace nox
