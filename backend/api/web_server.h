// `nox::web_server`: the embedded HTTP and WebSocket server (civetweb) of the backend.
//
// Every HTTP request goes first through the begin-request callback: requests of other web
// sites (a foreign `Origin`, or a `Host` that is not this server) get 403 and change
// nothing; then `rest_api` answers, or the URI is left to civetweb, which serves it as a
// static file from the document root or, for a WebSocket upgrade on an unclaimed URI,
// hands the connection to the WebSocket-ready callback, which runs the connection's
// sender loop (`websocket_hub::serve_client`) on its own worker thread until the client
// is closed.
//
// civetweb is configured closed by default: listening on 127.0.0.1 only (unless the
// environment variable ORVA_LISTEN_ADDRESS names another address, e.g. 0.0.0.0), no CORS
// answers, no CGI, no server-side includes, no directory listings, TCP_NODELAY, and
// writes that block longer than the write time-out fail (a WebSocket client that stops
// reading is then closed).
//
// Lifecycle: `start` once; `stop` joins every civetweb thread, so the hub must have been
// shut down first (the sender loops end). Thread safety: `start` and `stop` on one thread.
#pragma once

#include "backend/api/origin_guard.h"
#include "backend/api/rest_api.h"
#include "backend/api/websocket_hub.h"

#include <cstddef>
#include <string>

struct mg_context;
struct mg_connection;

namespace nox {

struct web_server_options {
    std::string document_root;
    std::string listen_address = "127.0.0.1";
    int port = 8080;
    // Worker threads: every WebSocket client holds one for its whole life.
    int threads = 160;
    size_t max_body = 64 * 1024 * 1024;
    int write_timeout_ms = 5000;
};

// ORVA_LISTEN_ADDRESS when set and not empty, else "127.0.0.1".
std::string listen_address_from_environment();

class web_server {
public:
    web_server(rest_api& api, websocket_hub& hub) : api_(api), hub_(hub) {}
    ~web_server();
    web_server(const web_server&) = delete;
    web_server& operator=(const web_server&) = delete;

    // Starts serving; throws std::runtime_error when the server cannot start (for example
    // the port is taken).
    void start(const web_server_options& options);
    // Stops the server and joins its threads; a no-op when not running.
    void stop();
    bool running() const { return context_ != nullptr; }

    // The embedded server's version text.
    static std::string version();

private:
    static int begin_request(mg_connection* conn);
    static void websocket_ready(mg_connection* conn, void* self);
    static int websocket_data(mg_connection* conn, int bits, char* data, size_t length, void* self);

    rest_api& api_;
    websocket_hub& hub_;
    web_server_options options_;
    origin_policy policy_;
    mg_context* context_ = nullptr;
};

}  // namespace nox
