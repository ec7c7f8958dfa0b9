// JSON request bodies as the REST routes read them into models (`nox::parse_model`), and
// the checks every stored model must pass. A body either parses or is refused with
// `nox::json_error`; nothing else may escape.
//
// Round trip: a parsed model written as JSON (`to_json`) parses again to the same model.
#include "backend/model/exceptions.h"
#include "backend/model/model_collection.h"
#include "backend/requests/model_json.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    nox::model m;
    try {
        m = nox::parse_model(text);
    } catch (const nox::json_error&) {
        return 0;
    }
    FUZZ_CHECK(!m.has("id") || m.get("id") == std::to_string(m.id()) || m.id() >= 0);
    const std::string written = nox::to_json(m);
    nox::model again;
    try {
        again = nox::parse_model(written);
    } catch (const nox::json_error& e) {
        std::fprintf(stderr, "written JSON does not parse: %s\n%s\n", e.what(), written.c_str());
        FUZZ_CHECK(false);
    }
    FUZZ_CHECK(again.id() == m.id());
    FUZZ_CHECK(again.attributes() == m.attributes());

    // What the store does with a parsed body: check it, then normalise it as a merge does.
    try {
        nox::check_attributes(m);
        nox::model merged = m;
        nox::normalise_merged(merged, m);
    } catch (const nox::invalid_attribute&) {
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
