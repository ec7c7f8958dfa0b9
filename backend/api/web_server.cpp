#include "backend/api/web_server.h"

#include "backend/api/http_response.h"
#include "common/log/log.h"

#include <civetweb.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace nox {

std::string listen_address_from_environment() {
    const char* address = std::getenv("ORVA_LISTEN_ADDRESS");
    return address && *address ? address : "127.0.0.1";
}

// Sent with every static file of the user interface: its pages load scripts, styles and
// images from this server only, run no inline code, and are not framed by other sites.
const char* const static_file_headers =
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
    "img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer";

std::string web_server::version() { return mg_version(); }

web_server::~web_server() { stop(); }

void web_server::start(const web_server_options& options) {
    if (context_) return;
    options_ = options;
    policy_ = {options.listen_address, options.port};
    const std::string ports = options.listen_address + ":" + std::to_string(options.port);
    const std::string threads = std::to_string(options.threads);
    const std::string timeout = std::to_string(options.write_timeout_ms);
    const char* config[] = {
        "document_root", options_.document_root.c_str(),
        "listening_ports", ports.c_str(),
        "num_threads", threads.c_str(),
        "request_timeout_ms", timeout.c_str(),
        "websocket_timeout_ms", timeout.c_str(),
        "enable_websocket_ping_pong", "yes",
        "enable_directory_listing", "no",
        "access_control_allow_origin", "",
        "access_control_allow_methods", "",
        "access_control_allow_headers", "",
        "cgi_pattern", "",
        "ssi_pattern", "",
        "tcp_nodelay", "1",
        "additional_header", static_file_headers,
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.begin_request = &web_server::begin_request;
    context_ = mg_start(&callbacks, this, config);
    if (!context_) throw std::runtime_error("could not start the web server on " + ports);
    // Every URI that no REST route claims may be upgraded to a WebSocket.
    mg_set_websocket_handler(context_, "**", nullptr, &web_server::websocket_ready,
                             &web_server::websocket_data, nullptr, this);
}

void web_server::stop() {
    if (!context_) return;
    mg_stop(context_);
    context_ = nullptr;
}

int web_server::begin_request(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    auto* self = static_cast<web_server*>(info->user_data);
    const char* origin = mg_get_header(conn, "Origin");
    const char* host = mg_get_header(conn, "Host");
    if (!allowed_request(origin, host, self->policy_)) {
        log_line(std::string("refused request from another site: ") + info->request_method +
                 " " + (info->local_uri ? info->local_uri : "") + " Origin: " +
                 (origin ? origin : "-") + " Host: " + (host ? host : "-"));
        const std::string reply = http::forbidden("cross-site request refused");
        mg_write(conn, reply.data(), reply.size());
        return 1;
    }
    if (!info->local_uri) return 0;

    http_request request;
    request.method = info->request_method ? info->request_method : "";
    request.uri = info->local_uri;
    if (info->query_string) request.query = info->query_string;
    const size_t max_body = self->options_.max_body;
    request.read_body = [conn, info, max_body] {
        if (info->content_length > 0 && static_cast<unsigned long long>(info->content_length) > max_body)
            throw body_too_large();
        // Read until the body ends (Content-Length or the last chunk): a short read in the
        // middle of a body does not end it.
        std::string body;
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            int n = mg_read(conn, buffer.data(), buffer.size());
            if (n <= 0) break;
            body.append(buffer.data(), static_cast<size_t>(n));
            if (body.size() > max_body) throw body_too_large();
        }
        return body;
    };
    http_reply reply = self->api_.handle(request);
    if (!reply.handled) return 0;
    mg_write(conn, reply.raw.data(), reply.raw.size());
    return 1;
}

void web_server::websocket_ready(mg_connection* conn, void* user) {
    auto* self = static_cast<web_server*>(user);
    self->hub_.serve_client([conn](const std::string& message) {
        return mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, message.data(), message.size()) > 0;
    });
    if (self->hub_.closed()) {
        // The backend is stopping: end the WebSocket properly (1001 "going away"), so the
        // client's close answer ends civetweb's read of this connection at once.
        const char going_away[2] = {0x03, static_cast<char>(0xE9)};
        mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, going_away, sizeof going_away);
    }
}

int web_server::websocket_data(mg_connection*, int, char*, size_t, void*) {
    // The backend reads nothing from its clients. This runs only once the sender loop has
    // ended (the client was closed or the backend is stopping): close the connection.
    return 0;
}

}  // namespace nox
