#include "backend/api/web_server.h"

#include "backend/api/http_response.h"
#include "backend/api/tls_support.h"
#include "backend/api/websocket_handshake.h"
#include "common/log/log.h"

#include <civetweb.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
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
    // Checked again here, so that no way of starting opens the server without passwords.
    check_site_settings(options.site, options.listen_address);
    const bool tls = !options.site.tls_certificate.empty();
    if (tls) load_tls_adapters(options.tls_adapter_folder);
    gate_ = std::make_unique<site_gate>(!loopback_address(options.listen_address), options.site);
    policy_ = {options.listen_address, options.port, tls, options.site.allowed_hosts};
    for (auto& name : machine_host_names()) policy_.hosts.push_back(std::move(name));
    const std::string address = options.listen_address + ":" + std::to_string(options.port);
    const std::string ports = address + (tls ? "s" : "");
    const std::string threads = std::to_string(options.threads);
    const std::string timeout = std::to_string(options.request_timeout_ms);
    std::vector<const char*> config = {
        "document_root", options_.document_root.c_str(),
        "listening_ports", ports.c_str(),
        "num_threads", threads.c_str(),
        "request_timeout_ms", timeout.c_str(),
        "enable_directory_listing", "no",
        "access_control_allow_origin", "",
        "access_control_allow_methods", "",
        "access_control_allow_headers", "",
        "cgi_pattern", "",
        "ssi_pattern", "",
        "tcp_nodelay", "1",
        "additional_header", static_file_headers,
    };
    if (tls) {
        for (const char* entry : {"ssl_certificate", options_.site.tls_certificate.c_str(),
                                  "ssl_protocol_version", "4"})  // TLS 1.2 and later
            config.push_back(entry);
    }
    config.push_back(nullptr);
    mg_callbacks callbacks{};
    callbacks.begin_request = &web_server::begin_request;
    mg_init_data init{&callbacks, this, config.data()};
    char error_text[256] = "";
    mg_error_data error{nullptr, error_text, sizeof error_text};
    context_ = mg_start2(&init, &error);
    if (!context_)
        throw std::runtime_error("could not start the web server on " + address +
                                 (error_text[0] ? std::string(": ") + error_text : std::string()));
}

namespace {

// Opens and closes a connection to a listening port of this process. Only for waking the
// server's listening thread: nothing is sent.
void knock(const std::string& listen_address, int port) {
    std::string address = listen_address;
    if (address == "0.0.0.0") address = "127.0.0.1";
    if (address == "::" || address == "[::]") address = "::1";
    if (!address.empty() && address.front() == '[') address = address.substr(1, address.size() - 2);
    sockaddr_storage peer{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *v6;
    } else {
        return;
    }
    const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    // A local connection completes in the kernel; not waited for beyond that.
    ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), size);
    ::close(fd);
}

}  // namespace

void web_server::stop() {
    if (!context_) return;
    // civetweb's listening thread sees the stop only when its wait for connections ends,
    // up to a second later; a connection of our own ends that wait at once. Knocked until
    // mg_stop returns (the first knock may come before the stop is flagged), every 20 ms.
    std::vector<mg_server_port> ports(4);
    const int count = mg_get_server_ports(context_, static_cast<int>(ports.size()), ports.data());
    std::mutex mutex;
    std::condition_variable stopped_signal;
    bool stopped = false;
    std::thread knocker([&] {
        std::unique_lock lock(mutex);
        for (int round = 0; round < 100 && !stopped; ++round) {
            for (int i = 0; i < count; ++i) knock(options_.listen_address, ports[i].port);
            stopped_signal.wait_for(lock, std::chrono::milliseconds(20), [&] { return stopped; });
        }
    });
    mg_stop(context_);
    {
        std::lock_guard lock(mutex);
        stopped = true;
    }
    stopped_signal.notify_all();
    knocker.join();
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
    if (!self->gate_->admit(conn)) return 1;
    if (!info->local_uri) return 0;
    if (is_websocket_upgrade(conn)) {
        self->serve_websocket(conn);
        return 1;
    }

    http_request request;
    request.method = info->request_method ? info->request_method : "";
    request.uri = info->local_uri;
    if (info->query_string) request.query = info->query_string;
    request.read_body = [self, conn] { return self->read_body(conn); };
    http_reply reply = self->api_.handle(request);
    if (!reply.handled) return 0;
    mg_write(conn, reply.raw.data(), reply.raw.size());
    return 1;
}

std::string web_server::read_body(mg_connection* conn) const {
    using clock = std::chrono::steady_clock;
    const mg_request_info* info = mg_get_request_info(conn);
    const long long announced = info->content_length;  // -1: none (chunked or absent)
    if (announced > 0 && static_cast<unsigned long long>(announced) > options_.max_body)
        throw body_too_large();
    // Read until the body ends (Content-Length or the last chunk): a short read in the
    // middle of a body does not end it. Each read waits at most the request time-out; the
    // whole body must keep up the minimum rate after the grace time.
    const auto started = clock::now();
    std::string body;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const int n = mg_read(conn, buffer.data(), buffer.size());
        if (n < 0) {
            // A read that failed: the time-out passed, or a chunk was malformed.
            if (clock::now() - started >= std::chrono::milliseconds(options_.request_timeout_ms))
                throw body_timeout();
            throw body_incomplete("malformed request body");
        }
        if (n == 0) break;
        body.append(buffer.data(), static_cast<size_t>(n));
        if (body.size() > options_.max_body) throw body_too_large();
        const auto allowed = options_.body_grace + std::chrono::milliseconds(
                                                       body.size() * 1000 / options_.min_body_rate);
        if (clock::now() - started > allowed) throw body_timeout();
    }
    if (announced >= 0 && body.size() < static_cast<unsigned long long>(announced))
        throw body_incomplete("request body shorter than its Content-Length");
    return body;
}

bool web_server::is_websocket_upgrade(mg_connection* conn) {
    const char* upgrade = mg_get_header(conn, "Upgrade");
    return upgrade && header_has_token(upgrade, "websocket");
}

void web_server::serve_websocket(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const char* version = mg_get_header(conn, "Sec-WebSocket-Version");
    const char* key = mg_get_header(conn, "Sec-WebSocket-Key");
    const char* connection = mg_get_header(conn, "Connection");
    auto refuse = [conn](const std::string& reply) { mg_write(conn, reply.data(), reply.size()); };
    if (std::string_view(info->request_method ? info->request_method : "") != "GET" || !key ||
        !valid_websocket_key(key) || !connection || !header_has_token(connection, "upgrade")) {
        refuse(http::json_bad_request("not a WebSocket handshake"));
        return;
    }
    if (!version || std::string_view(version) != "13") {
        refuse(http::upgrade_required("13"));
        return;
    }
    // Every client holds a worker thread for its whole life: a cap keeps the others for
    // HTTP requests.
    if (websocket_clients_.fetch_add(1) >= options_.max_websocket_clients) {
        websocket_clients_.fetch_sub(1);
        log_line("refused a WebSocket client: " + std::to_string(options_.max_websocket_clients) +
                 " are connected");
        refuse(http::service_unavailable("too many WebSocket clients"));
        return;
    }
    const std::string accept = websocket_accept_answer(key);
    websocket_hub::connection client;
    client.open = [conn, &accept] { return mg_write(conn, accept.data(), accept.size()) == static_cast<int>(accept.size()); };
    client.text = [conn](const std::string& message) {
        return mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, message.data(), message.size()) > 0;
    };
    client.keepalive = [conn] { return mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_PING, "", 0) > 0; };
    const bool served = hub_.serve(client);
    websocket_clients_.fetch_sub(1);
    if (!served) {
        refuse(http::service_unavailable("the backend is stopping"));
    } else if (hub_.closed()) {
        // The backend is stopping: end the WebSocket properly (1001 "going away").
        const char going_away[2] = {0x03, static_cast<char>(0xE9)};
        mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, going_away, sizeof going_away);
    }
}

}  // namespace nox
