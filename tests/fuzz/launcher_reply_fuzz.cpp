// The launcher's reading of what comes back from the backend: status line, completeness
// against Content-Length, the body, the JSON of the frame list and the search for the
// frame of an instance tag. A reply can only be whole, partial or malformed, and nothing
// may throw out of these functions.
//
// Round trip: JSON that the launcher reads, written by the launcher's own writer and
// read again, gives the same tree.
#include "common/log/log.h"
#include "launcher/http_reply.h"
#include "launcher/launcher.h"
#include "tests/fuzz/fuzz_check.h"

#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace launcher = nox::launcher;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const int code = launcher::status_code(reply);
    FUZZ_CHECK(code >= -1);
    const launcher::reply_state state = launcher::reply_complete(reply);
    FUZZ_CHECK(state == launcher::reply_whole || state == launcher::reply_partial ||
               state == launcher::reply_malformed);
    const std::string body = launcher::reply_body(reply);
    FUZZ_CHECK(body.size() <= reply.size());

    boost::property_tree::ptree tree;
    if (!launcher::from_json_text(body.empty() ? std::string(reply) : body, tree)) {
        FUZZ_CHECK(tree.empty());
        return 0;
    }
    (void)launcher::find_tesira_frame_id(tree, "AMP1");
    // The writer takes objects and arrays, the only documents the launcher writes; a
    // document that is a bare value has nothing to go round.
    if (tree.empty() && !tree.data().empty()) return 0;
    const std::string written = launcher::to_json_text(tree);
    boost::property_tree::ptree again;
    FUZZ_CHECK(launcher::from_json_text(written, again));
    FUZZ_CHECK(again == tree);
    return 0;
}
