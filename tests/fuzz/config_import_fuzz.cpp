// Configuration import texts (the `data` of an `import_config` request, or a saved project
// file opened by the user) as the import reads them before anything changes
// (`nox::parse_import_text`): a text either gives the checked models of every collection
// or is refused with `nox::import_refused`; nothing else may escape. The file names that
// export and the saved-project routes take from clients go through `plain_file_name`.
//
// Round trip: the models of an accepted text, put into a store and written by the store's
// writer, are accepted again as the same models.
#include "backend/model/project_files.h"
#include "backend/model/project_store.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: every exchange would cost an open, a write and a close.
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

    std::vector<std::string> names;
    for (const auto& name : nox::project_store::default_collection_names())
        if (name != "requests") names.push_back(name);
    FUZZ_CHECK(parsed.size() == names.size());
    nox::project_store store;
    store.register_default_collections();
    for (std::size_t i = 0; i < names.size(); ++i) store.collection(names[i]).replace_all(parsed[i]);
    // The writer leaves out empty collections, and a project file always has settings.
    if (store.collection("settings").size_locked() == 0) store.put_settings(nox::model(1));
    const std::string written = store.serialise();
    std::vector<std::vector<nox::model>> again;
    try {
        again = nox::parse_import_text(written);
    } catch (const nox::import_refused& e) {
        std::fprintf(stderr, "written project is refused: %s\n", e.what());
        FUZZ_CHECK(false);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::vector<nox::model> held = store.collection(names[i]).get_all();
        FUZZ_CHECK(again[i].size() == held.size());
        for (std::size_t k = 0; k < held.size(); ++k) FUZZ_CHECK(again[i][k] == held[k]);
    }
    return 0;
}
