// Project file text as the load reads it (`nox::parse_project_text`): it either gives the
// checked and normalised models of every collection or throws std::runtime_error naming
// the fault; nothing else may escape.
//
// Round trip: the parsed models put into a store (where a model with id 0 gets the next
// free id, as at a load), written out by the store's own writer
// (`project_store::serialise`) and parsed again, are the models the store holds.
#include "backend/model/project_store.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> saved_collections() {
    std::vector<std::string> names;
    for (const auto& name : nox::project_store::default_collection_names())
        if (name != "requests") names.push_back(name);
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: every exchange would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::string> names = saved_collections();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<nox::model>> parsed;
    try {
        parsed = nox::parse_project_text(text, names);
    } catch (const std::runtime_error&) {
        return 0;
    }
    FUZZ_CHECK(parsed.size() == names.size());

    nox::project_store store;
    store.register_default_collections();
    for (std::size_t i = 0; i < names.size(); ++i) store.collection(names[i]).replace_all(parsed[i]);
    const std::string written = store.serialise();
    std::vector<std::vector<nox::model>> again;
    try {
        again = nox::parse_project_text(written, names);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "written project does not parse: %s\n", e.what());
        FUZZ_CHECK(false);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        // The writer goes by the collection's order, which keeps the models' order.
        const std::vector<nox::model> held = store.collection(names[i]).get_all();
        FUZZ_CHECK(again[i].size() == held.size());
        for (std::size_t k = 0; k < held.size(); ++k) FUZZ_CHECK(again[i][k] == held[k]);
    }
    return 0;
}
