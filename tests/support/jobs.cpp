#include "tests/support/jobs.h"

#include "tests/support/http_client.h"

#include <boost/property_tree/json_parser.hpp>

#include <sstream>

namespace orva_test {

namespace {

namespace pt = boost::property_tree;

pt::ptree parse(const std::string& text) {
    std::istringstream in(text);
    pt::ptree tree;
    try {
        pt::read_json(in, tree);
    } catch (const pt::json_parser_error&) {
        return {};
    }
    return tree;
}

// The string member `name` of a flat JSON object, found without parsing the whole text
// (which may hold a whole project): inside a JSON string every quote is escaped, so a
// value cannot fake the member. Empty when absent.
std::string member_of(const std::string& json, const std::string& name) {
    const std::string member = "\"" + name + "\":\"";
    const size_t at = json.find(member);
    if (at == std::string::npos) return {};
    const size_t start = at + member.size();
    const size_t end = json.find('"', start);
    return end == std::string::npos ? std::string() : json.substr(start, end - start);
}

}  // namespace

std::map<std::string, std::string> run_job(ws_client& ws, const std::string& body,
                                           std::chrono::milliseconds timeout) {
    const auto registered = http_call("POST", "/api/job/register/", body);
    const std::string id = member_of(registered.body, "id");
    if (registered.status != 200 || id.empty() || body.empty() || body[0] != '{') return {};
    std::string started = body;
    started.insert(1, "\"id\":\"" + id + "\",");
    if (http_call("POST", "/api/job/start/", started).status != 200) return {};
    const std::string method = member_of(body, "method");

    const std::string prefix = "application/json";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto message = ws.next(std::chrono::milliseconds(500));
        if (!message || message->payload.rfind(prefix, 0) != 0) continue;
        const pt::ptree notification = parse(message->payload.substr(prefix.size()));
        const auto events = notification.get_child_optional("events");
        if (!events) continue;
        for (const auto& [unused, event] : *events) {
            const auto request = event.get_child_optional("obj");
            if (!request || event.get("path.type", "") != "requests" || request->get("id", "") != id) continue;
            const std::string status = request->get("status", "");
            if (status != "done" && status != "fail") continue;
            // Ids are reused once `requests` has emptied: a notification for another
            // request under the same id is not this one's end.
            if (!method.empty() && request->get("method", "") != method) continue;
            std::map<std::string, std::string> attributes;
            for (const auto& [key, value] : *request) attributes[key] = value.data();
            return attributes;
        }
    }
    return {};
}

}  // namespace orva_test
