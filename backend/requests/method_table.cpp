#include "backend/requests/method_table.h"

#include <stdexcept>

namespace nox {

method_table::method_table() {
    static const char* const pairs[][2] = {
        {"sync", "start"},          {"sync", "wait"},         {"sync", "rollback"},
        {"sync", "cancel"},         {"factory_reset", "wait"}, {"get_monitor", "wait"},
        {"get", "wait"},            {"put", "wait"},          {"put_diffs", "wait"},
        {"assoc", "wait"},          {"assoc_select", "wait"}, {"dissoc", "wait"},
        {"refresh", "wait"},        {"calibrate", "wait"},    {"set_power_status", "wait"},
        {"set_mute", "wait"},       {"export_tesira", "wait"}, {"import_tesira", "wait"},
        {"assoc_tesira", "wait"},   {"import_config", "wait"}, {"export_config", "wait"},
        {"load_working_copy", "wait"}, {"put_lms", "wait"},   {"login", "wait"},
    };
    entries_.reserve(std::size(pairs));
    for (const auto& pair : pairs) entries_.push_back({pair[0], pair[1], {}});
}

void method_table::set_handler(const std::string& method, const std::string& status,
                               request_handler handler) {
    for (auto& e : entries_) {
        if (e.method == method && e.status == status) {
            e.handler = std::move(handler);
            return;
        }
    }
    throw std::invalid_argument("no method table entry for " + method + "/" + status);
}

const request_handler* method_table::find(const std::string& method,
                                          const std::string& status) const {
    for (const auto& e : entries_)
        if (e.method == method && e.status == status) return e.handler ? &e.handler : nullptr;
    return nullptr;
}

bool method_table::knows(const std::string& method) const {
    for (const auto& e : entries_)
        if (e.method == method) return true;
    return false;
}

}  // namespace nox
