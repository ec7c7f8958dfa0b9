// Configuration import texts (the `data` of an `import_config` request, or a saved project
// file opened by the user) as the import reads them before anything changes
// (`nox::parse_import_text`): a text either gives the checked models of every collection
// or is refused with `nox::import_refused`; nothing else may escape. The file names that
// export and the saved-project routes take from clients go through `plain_file_name`.
//
// Round trip (project_round_trip.h): the models of an accepted text, written by the
// store's writer, are accepted again as the same models.
#include "backend/model/project_files.h"
#include "backend/model/project_store.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/project_round_trip.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string first_line = text.substr(0, text.find('\n'));
    if (nox::plain_file_name(first_line)) {
        FUZZ_CHECK(!first_line.empty() && first_line.size() <= 255 && first_line[0] != '.');
        FUZZ_CHECK(first_line.find('/') == std::string::npos && first_line.find('\0') == std::string::npos);
    }

    std::vector<std::vector<nox::model>> parsed;
    try {
        parsed = nox::parse_import_text(text);
    } catch (const nox::import_refused&) {
        return 0;
    }
    FUZZ_CHECK(nox::import_markers_in_order(text));

    orva_fuzz::check_project_round_trip(
        parsed, [](const std::string& written) { return nox::parse_import_text(written); }, true);
    return 0;
}
