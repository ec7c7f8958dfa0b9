// `nox::web_server`: the embedded HTTP and WebSocket server (civetweb) of the backend.
//
// Every HTTP request goes first through the begin-request callback: requests of other web
// sites (a foreign `Origin`, or a `Host` that is not this server) get 403 and change
// nothing; a WebSocket upgrade (any URI) is answered here and the connection's sender loop
// (`websocket_hub::serve`) runs on its worker thread until the client is closed; then
// `rest_api` answers, or the URI is left to civetweb, which serves it as a static file
// from the document root. Nothing a WebSocket client sends is ever read (see
// websocket_handshake.h): frames to it are written with civetweb's frame writer.
//
// civetweb is configured closed by default: listening on 127.0.0.1 only (unless the
// environment variable ORVA_LISTEN_ADDRESS names another address, e.g. 0.0.0.0), no CORS
// answers, no CGI, no server-side includes, no directory listings, TCP_NODELAY.
//
// Sizing and time-outs (web_server_options): civetweb serves each connection on one
// worker thread from first byte to close, so a client that stalls holds one. There are
// `threads` workers; WebSocket clients, which hold theirs for their whole life, may take
// at most `max_websocket_clients` of them (further upgrades get 503), so the rest always
// remain for HTTP. A request header must arrive within the request time-out; a write that
// blocks longer fails (a WebSocket client that stops reading is then closed); each read of
// a body waits at most that long, and the whole body must arrive at `min_body_rate` bytes
// per second on average once `body_grace` has passed (else 408); a body shorter than its
// Content-Length, or a malformed chunk, is answered 400.
//
// Opened to other hosts, a request that passes the Host and Origin checks must also pass
// the site gate (site_access.h: digest authentication, loopback open, a bearer token for
// /metrics). With a certificate (ORVA_TLS_CERT) the port speaks TLS only (HTTPS, WSS),
// TLS 1.2 and later.
//
// Lifecycle: `start` once; `stop` joins every civetweb thread, so the hub must have been
// shut down first (the sender loops end). Thread safety: `start` and `stop` on one thread.
#pragma once

#include "backend/api/origin_guard.h"
#include "backend/api/rest_api.h"
#include "backend/api/site_access.h"
#include "backend/api/websocket_hub.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct mg_context;
struct mg_connection;

namespace nox {

struct web_server_options {
    std::string document_root;
    std::string listen_address = "127.0.0.1";
    int port = 8080;
    // Worker threads, and how many of them WebSocket clients may hold: 256 stay for HTTP
    // requests, more than a flood of 200 stalled connections takes (each thread's stack
    // is 100 KiB, of which a request touches a few dozen).
    int threads = 384;
    int max_websocket_clients = 128;
    size_t max_body = 64 * 1024 * 1024;
    // Request header, each body read, each write.
    int request_timeout_ms = 5000;
    std::chrono::milliseconds body_grace{10000};
    size_t min_body_rate = 1024 * 1024;
    // The site network: password file, metrics token, further host names, certificate.
    site_settings site;
    // Where the OpenSSL adapters of TLS are (the installation folder's lib/).
    std::string tls_adapter_folder;
};

// ORVA_LISTEN_ADDRESS when set and not empty, else "127.0.0.1".
std::string listen_address_from_environment();

class web_server {
public:
    web_server(rest_api& api, websocket_hub& hub) : api_(api), hub_(hub) {}
    ~web_server();
    web_server(const web_server&) = delete;
    web_server& operator=(const web_server&) = delete;

    // Starts serving; throws std::runtime_error when the server cannot start (the port is
    // taken, the site settings cannot be right: check_site_settings).
    void start(const web_server_options& options);
    // Stops the server and joins its threads; a no-op when not running.
    void stop();
    bool running() const { return context_ != nullptr; }

    // The embedded server's version text.
    static std::string version();

private:
    static int begin_request(mg_connection* conn);
    static bool is_websocket_upgrade(mg_connection* conn);
    // Answers the handshake (or refuses it) and serves the client until it is closed.
    void serve_websocket(mg_connection* conn);
    // The request body; throws body_too_large, body_incomplete or body_timeout.
    std::string read_body(mg_connection* conn) const;

    rest_api& api_;
    websocket_hub& hub_;
    web_server_options options_;
    origin_policy policy_;
    std::unique_ptr<site_gate> gate_;
    mg_context* context_ = nullptr;
    std::atomic<int> websocket_clients_{0};
};

}  // namespace nox
