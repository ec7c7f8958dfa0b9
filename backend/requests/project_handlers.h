// Handlers of the requests that work on the project as a whole: `load_working_copy`
// (load the persisted project at start-up).
//
// Thread safety: the handlers run on processing threads; loading takes the model mutex.
#pragma once

#include "backend/requests/method_table.h"

#include <functional>
#include <string>

namespace nox {

struct project_handler_hooks {
    // Applies the project's chosen network interface (`selected_interface` of the
    // settings, empty when none) after a load; unset until the network area provides it.
    std::function<void(const std::string& selected_interface)> refresh_interface;
};

void register_project_handlers(method_table& table, project_handler_hooks hooks = {});

}  // namespace nox
