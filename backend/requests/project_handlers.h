// Handlers of the requests that work on the project as a whole: `load_working_copy`
// (load the persisted project at start-up), `import_config` (open a project from its
// text, or a new one from the template) and `export_config` (save the project into the
// projects folder, under a new name or the stored one). See docs/rest_api.md.
//
// Thread safety: the handlers run on processing threads; each takes the model mutex for
// its work on the store.
#pragma once

#include "backend/requests/method_table.h"

#include <functional>
#include <string>

namespace nox {

struct project_handler_hooks {
    // Applies the project's chosen network interface (`selected_interface` of the
    // settings, empty when none) after a load or an import; unset until the network area
    // provides it.
    std::function<void(const std::string& selected_interface)> refresh_interface;
    // The folder of the user's saved projects (`export_config` writes there).
    std::string projects_folder;
};

void register_project_handlers(method_table& table, project_handler_hooks hooks = {});

}  // namespace nox
