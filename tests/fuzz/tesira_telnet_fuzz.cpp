// What a Tesira server sends, as the telnet client and the Tesira-hosted device read it:
// option negotiation, banner and login dialogue, then the status characters and reply
// lines of their commands. A small server on a loopback port plays the input: on every
// connection (the client reconnects after a broken reply) it sends all of the input's
// bytes and ends its side. The client connects, logs in and runs one command of each
// kind; then a device reads everything it can read from its amplifier block over such
// connections, and writes what reads before it writes. The reply parsers also get the
// input as one reply. Checks that every command ends with one of its result codes within
// the client's time-outs, that a reply never exceeds the client's cap, and that nothing
// throws out of a device.
#include "backend/amp/tesira_basic.h"
#include "backend/amp/tesira_device.h"
#include "common/log/log.h"
#include "tests/fuzz/device_exercise.h"
#include "tests/fuzz/fuzz_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The loopback server: accepts connections, sends the current script on each and closes
// its sending side; the sockets stay open (so nothing sent to the server resets the
// connection before the client has read) until the next input.
class script_server {
public:
    script_server() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        FUZZ_CHECK(::listen(listener_, 16) == 0);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    std::uint16_t port() const { return port_; }

    void play(std::string script) {
        std::lock_guard lock(mutex_);
        for (int fd : open_) ::close(fd);
        open_.clear();
        script_ = std::move(script);
    }

private:
    void run() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard lock(mutex_);
            std::size_t sent = 0;
            while (sent < script_.size()) {
                const ssize_t n = ::send(fd, script_.data() + sent, script_.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            open_.push_back(fd);
        }
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::string script_;
    std::vector<int> open_;
    std::thread thread_;
};

script_server* server = nullptr;

bool result_code(int r) { return r == -1 || r == 0 || r == 1; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    server = new script_server();  // serves until the process ends
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Inputs larger than the sockets' buffers would only test the buffers.
    if (size > 256 * 1024) return 0;
    server->play(std::string(reinterpret_cast<const char*>(data), size));
    nox::tesira_options options;
    options.port = server->port();
    options.connect_timeout_ms = 1000;
    options.receive_timeout_ms = 100;
    options.reconnect_interval = std::chrono::milliseconds(0);
    nox::tesira_basic client("127.0.0.1", options);
    client.set_credentials("admin", "orva");
    client.connect();
    std::string reply;
    FUZZ_CHECK(result_code(client.get("Amp1", "ampName", reply)));
    FUZZ_CHECK(reply.size() <= 64 * 1024 + 1);
    FUZZ_CHECK(result_code(client.set("Amp 2", "channelName 1", "Stage left", reply)));
    FUZZ_CHECK(result_code(client.peek("Amp1", 0x50012c, 4, reply)));
    FUZZ_CHECK(result_code(client.poke("Amp1", 0x50012c, {1, 0xFFFFFFFFu}, reply)));
    FUZZ_CHECK(reply.size() <= 64 * 1024 + 1);
    client.close();

    std::string value;
    std::vector<std::uint32_t> words;
    const std::string as_reply(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64 * 1024));
    if (nox::amp::tesira_reply_value(as_reply, value)) FUZZ_CHECK(value.size() <= as_reply.size());
    if (nox::amp::tesira_reply_words(as_reply, words)) FUZZ_CHECK(words.size() <= as_reply.size());

    nox::amp::tesira_device_options device_options;
    device_options.client = options;
    nox::amp::tesira_device device("127.0.0.1", "Amp1", device_options);
    device.set_credentials("admin", "orva");
    device.cache_off();
    int budget = 24;  // parameters read and written: a sample of the lists keeps a run short
    orva_fuzz::exercise_device(
        device, [&] { return value.empty() ? std::string("1") : value; }, [&] { return --budget >= 0; });
    return 0;
}
