// The quit port's reading of a client's message: the bytes of the input arrive over a
// socket in pieces whose sizes the input chooses (the first bytes), and the receive loop
// assembles them into one message, which is answered. Checks that the loop ends with a
// message no longer than the limit plus one read, made of the bytes sent, and that only
// "SIGINT" stops the backend.
#include "backend/core/quit_port.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orva_fuzz::fuzz_input input(data, size);
    // Up to eight piece sizes, then the message.
    std::vector<std::size_t> pieces;
    const std::size_t count = input.byte() % 9;
    for (std::size_t i = 0; i < count; ++i) pieces.push_back(1 + input.u16() % 2048);
    const std::string message = input.rest();

    int sockets[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) == 0);
    // The whole message fits the socket buffer (inputs stay far below it), so the writes
    // never block; the peer's end of stream ends the last read.
    std::size_t sent = 0;
    for (std::size_t piece : pieces) {
        if (sent >= message.size()) break;
        const std::size_t n = std::min(piece, message.size() - sent);
        FUZZ_CHECK(::send(sockets[0], message.data() + sent, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
        sent += n;
    }
    if (sent < message.size())
        FUZZ_CHECK(::send(sockets[0], message.data() + sent, message.size() - sent, MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(message.size() - sent));
    ::shutdown(sockets[0], SHUT_WR);

    const std::size_t limit = 4096;
    const std::string received = nox::receive_quit_message(sockets[1], std::chrono::milliseconds(1000), limit);
    ::close(sockets[0]);
    ::close(sockets[1]);
    FUZZ_CHECK(received.size() <= limit + 512);
    FUZZ_CHECK(message.compare(0, received.size(), received) == 0);
    const nox::quit_answer answer = nox::answer_quit_message(received);
    FUZZ_CHECK(answer.stop == (received == "SIGINT"));
    FUZZ_CHECK(std::strcmp(answer.reply, "+OK") == 0 || std::strcmp(answer.reply, "-ERR") == 0);
    return 0;
}
