#include "backend/tesira/tesira_handlers.h"

#include "backend/requests/request_engine.h"

namespace nox {

void register_tesira_handlers(method_table& table, tesira_project& project) {
    tesira_project* p = &project;
    table.set_handler("import_tesira", "wait", [p](model& request, request_engine& engine) {
        std::string reason;
        int result = 1;
        if (request.has("data")) {
            // The file's text, uploaded in the request, is taken out of it: the record keeps
            // the empty text rather than MiBs nobody reads again.
            const std::string data = std::move(request.attributes().at("data"));
            request.set("data", "");
            result = p->import_tesira_text(data, &reason);
        } else if (request.has("input_path")) {
            result = p->import_tesira(request.at("input_path"), &reason);
        } else {
            reason = "neither input_path nor data given";
        }
        request.set("status", result == 0 ? "done" : "fail");
        if (result != 0) request.set("error", storable_text("Tesira import failed: " + reason));
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
