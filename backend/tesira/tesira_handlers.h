// Handlers of the Tesira requests, all in status "wait":
//   import_tesira   `data` (the file's text, emptied once read) or `input_path`: imports
//                   the file's amplifier blocks; "fail" with its `error` without either
//                   or when the import fails; broadcasts "sigupdate"
//   assoc_tesira    `server_address`, `instance_tag`: associates that amplifier block;
//                   broadcasts "sigupdate"
//   export_tesira   `output_path`: writes the export document; "fail" when it cannot be
//                   written
// A missing attribute that a handler needs ends the request "fail" (the request engine
// records the reason).
//
// Thread safety: handlers run on the processing threads; see tesira_project.h.
#pragma once

#include "backend/requests/method_table.h"
#include "backend/tesira/tesira_project.h"

namespace nox {

void register_tesira_handlers(method_table& table, tesira_project& project);

}  // namespace nox
