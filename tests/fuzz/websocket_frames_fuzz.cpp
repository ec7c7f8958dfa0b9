// WebSocket frames from a client, as the backend's web server receives them. The backend
// answers the upgrade itself and never reads what a client sends (websocket_handshake.h);
// the bytes wait in the connection until it is closed, and the web server discards them.
//
// One web server runs for the whole fuzzing session on a free loopback port. Each input
// opens a WebSocket, waits for its greeting, sends the input's bytes as they are, and then
// ends the sender loop (the hub's shutdown, as at a backend stop). Checks that the server
// ends the WebSocket (close frame 1001) within its time-outs whatever was sent, that the
// client record is gone afterwards, and that the server still answers the next input's
// connection.
#include "backend/api/notifier.h"
#include "backend/api/rest_api.h"
#include "backend/api/web_server.h"
#include "backend/api/websocket_hub.h"
#include "backend/model/project_store.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/socket_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

// A loopback port that nothing listens on at the moment.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    socklen_t length = sizeof address;
    FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

struct server {
    nox::project_store store;
    nox::websocket_hub hub;
    nox::notifier subscriptions{hub};
    nox::request_engine engine{store, subscriptions};
    std::unique_ptr<nox::rest_api> api;
    std::unique_ptr<nox::web_server> web;
    int port = 0;
    std::string root;

    server() {
        store.register_default_collections();
        root = (std::filesystem::temp_directory_path() / ("orva-ws-fuzz-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(root);
        std::ofstream(root + "/index.html") << "<html></html>";
        api = std::make_unique<nox::rest_api>(store, engine, subscriptions, nox::rest_paths{"1", root});
        web = std::make_unique<nox::web_server>(*api, hub);
        nox::web_server_options options;
        options.document_root = root;
        options.port = port = free_port();
        options.threads = 8;
        options.request_timeout_ms = 500;
        web->start(options);
    }
    ~server() {
        hub.shutdown();
        web->stop();
        std::filesystem::remove_all(root);
    }
};

server* the_server = nullptr;

// Reads until the server's close frame (1001, the last thing it sends) has arrived or the
// server closes; false when the deadline passes first.
bool read_until_close_frame(int fd, orva_test::deadline_t deadline) {
    static const std::string close_frame("\x88\x02\x03\xe9", 4);
    std::string received;
    while (received.size() < close_frame.size() ||
           received.compare(received.size() - close_frame.size(), close_frame.size(), close_frame) != 0) {
        if (!orva_test::receive_exact(fd, 1, received, deadline)) return std::chrono::steady_clock::now() < deadline;
        if (received.size() > (1u << 20)) received.erase(0, received.size() - close_frame.size());
    }
    return true;
}

// Closes with a reset: the test makes hundreds of connections a second, and a close that
// left the connection in TIME_WAIT would soon use up the loopback ports.
void close_with_reset(orva_test::socket_handle& socket) {
    const linger abortive{1, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket.close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    the_server = new server();  // lives until the process ends
    std::atexit([] { delete the_server; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    server& s = *the_server;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    orva_test::socket_handle socket = orva_test::connect_tcp("127.0.0.1", static_cast<uint16_t>(s.port), deadline);
    FUZZ_CHECK(socket.valid());
    const std::string handshake = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port) +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    FUZZ_CHECK(orva_test::send_all(socket.fd(), handshake, deadline));
    // The answer head, then the greeting frame "new front end connected" (2 + 23 bytes):
    // once it arrived, the client is registered and its sender loop runs.
    std::string answer;
    while (answer.find("\r\n\r\n") == std::string::npos)
        FUZZ_CHECK(orva_test::receive_exact(socket.fd(), 1, answer, deadline));
    FUZZ_CHECK(answer.rfind("HTTP/1.1 101", 0) == 0);
    std::string greeting;
    FUZZ_CHECK(orva_test::receive_exact(socket.fd(), 25, greeting, deadline));
    FUZZ_CHECK(greeting.substr(2) == "new front end connected");

    // What the client sends; a peer that stops reading is no reason to block here.
    orva_test::send_all(socket.fd(), std::string(reinterpret_cast<const char*>(data), size), deadline);
    s.hub.shutdown();
    FUZZ_CHECK(read_until_close_frame(socket.fd(), deadline));
    close_with_reset(socket);
    FUZZ_CHECK(s.hub.wait_until_empty(5s));
    s.hub.reopen();
    return 0;
}
