// HTTP requests as the REST layer receives them from the web server: method, decoded path,
// query string, body, and the Origin and Host headers of the cross-site check, all from
// the input, several requests in a row on one store (so a POST may be followed by a GET,
// PUT or DELETE of what it made). Checks that every answer is a whole HTTP response with a
// status the API documents, and that nothing escapes `rest_api::handle`.
//
// Input: per request a flags byte, then chunks for method, path, query (when the flags
// say so), Origin and Host (when the flags say so) and body.
#include "backend/api/notifier.h"
#include "backend/api/origin_guard.h"
#include "backend/api/rest_api.h"
#include "backend/api/websocket_hub.h"
#include "backend/model/project_store.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool documented_status(const std::string& raw) {
    for (const char* status : {"HTTP/1.0 200 OK\r\n", "HTTP/1.0 400 Bad Request\r\n", "HTTP/1.0 404 Not Found\r\n",
                               "HTTP/1.0 413 Payload Too Large\r\n", "HTTP/1.0 500 Internal Server Error\r\n"})
        if (raw.rfind(status, 0) == 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orva_fuzz::fuzz_input input(data, size);
    nox::project_store store;
    store.register_default_collections();
    nox::websocket_hub hub;
    nox::notifier subscriptions(hub);
    // Not started: posted requests are stored and queued, never run.
    nox::request_engine engine(store, subscriptions);
    nox::rest_api api(store, engine, subscriptions, {"1.3.3.10303003", "/nonexistent"});
    const nox::origin_policy policy;

    for (int n = 0; n < 8 && !input.empty(); ++n) {
        const std::uint8_t flags = input.byte();
        nox::http_request request;
        request.method = input.chunk();
        request.uri = input.chunk();
        if (flags & 1) request.query = input.chunk();
        if (flags & 2) {
            const std::string origin = input.chunk();
            const std::string host = input.chunk();
            (void)nox::allowed_request(origin.c_str(), host.c_str(), policy);
        }
        const std::string body = input.chunk();
        int reads = 0;
        request.read_body = [&] {
            ++reads;
            return body;
        };
        const nox::http_reply reply = api.handle(request);
        FUZZ_CHECK(reads <= 1);
        if (reply.handled) {
            FUZZ_CHECK(documented_status(reply.raw));
            const auto blank = reply.raw.find("\r\n\r\n");
            FUZZ_CHECK(blank != std::string::npos);
        }
    }
    return 0;
}
