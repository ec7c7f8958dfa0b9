// Project file text as the load reads it (`nox::parse_project_text`): it either gives the
// checked and normalised models of every collection or throws std::runtime_error naming
// the fault; nothing else may escape.
//
// Round trip: project_round_trip.h.
#include "backend/model/project_store.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/project_round_trip.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& names = orva_fuzz::saved_collections();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<nox::model>> parsed;
    try {
        parsed = nox::parse_project_text(text, names);
    } catch (const std::runtime_error&) {
        return 0;
    }
    orva_fuzz::check_project_round_trip(
        parsed, [&](const std::string& written) { return nox::parse_project_text(written, names); }, false);
    return 0;
}
