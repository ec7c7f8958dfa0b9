#include "backend/requests/request_check.h"

#include "backend/requests/request_engine.h"

#include <map>
#include <string>
#include <vector>

namespace nox {

namespace {

// The attributes without which a handler could only fail or misbehave, by (method,
// status). Requests about a frame or an amplifier are left out: a `frame_id` or
// `device_id` that names nothing ends the request "fail" at dispatch, as it always has.
const std::map<std::pair<std::string, std::string>, std::vector<const char*>>& required_attributes() {
    static const std::map<std::pair<std::string, std::string>, std::vector<const char*>> table = {
        {{"sync", "start"}, {"direction"}},
        {{"sync", "wait"}, {"transaction_id", "direction"}},
        {{"sync", "rollback"}, {"current_config", "sync_request_id"}},
        {{"sync", "cancel"}, {"current_config", "sync_request_id"}},
        {{"set_power_status", "wait"}, {"power_status"}},
        {{"set_mute", "wait"}, {"channel_id", "mute"}},
        {{"export_tesira", "wait"}, {"output_path"}},
        {{"assoc_tesira", "wait"}, {"instance_tag", "server_address"}},
        {{"import_config", "wait"}, {"data"}},
        {{"login", "wait"}, {"systemname", "username", "password"}},
    };
    return table;
}

}  // namespace

void check_posted_request(const model& request, const method_table& methods) {
    if (!request.has("method")) throw request_refused("request has no method");
    const std::string& method = request.at("method");
    const std::string status = request.get("status", "wait");
    if (!methods.find(method, status)) {
        throw request_refused("unknown method \"" + method.substr(0, 64) + "\" with status \"" +
                              status.substr(0, 64) + "\"");
    }
    const auto required = required_attributes().find({method, status});
    if (required != required_attributes().end()) {
        for (const char* key : required->second) {
            if (!request.has(key)) throw request_refused("request " + method + " lacks \"" + key + "\"");
        }
    }
    // A Tesira import reads an uploaded text or a file on this machine.
    if (method == "import_tesira" && status == "wait" && !request.has("data") && !request.has("input_path"))
        throw request_refused("request import_tesira lacks \"data\" or \"input_path\"");
    if (method == "sync" && status == "start") {
        const std::string& direction = request.at("direction");
        if (direction != "get" && direction != "put" && direction != "get_monitor")
            throw request_refused("unknown sync direction \"" + direction.substr(0, 64) + "\"");
    }
    for (const auto& [key, value] : request.attributes()) {
        if (key != "data" && value.size() > max_request_value)
            throw request_refused("the value of \"" + key.substr(0, 64) + "\" is longer than " +
                                  std::to_string(max_request_value) + " bytes");
    }
}

}  // namespace nox
