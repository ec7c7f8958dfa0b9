// The HTTP client against scripted peers on free loopback ports: request bytes, the
// 512-byte read loop, the whole-reply fetch and the bounded waits.
#include "common/log/log.h"
#include "launcher/http_client.h"
#include "tests/launcher/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace nox::launcher;
using namespace test_support;
using framing = fake_peer::framing;

class Client : public ::testing::Test {
protected:
    void SetUp() override { nox::log::instance().set_log_path(dir_ / "orva.log"); }
    std::string logged() { return log_messages(dir_ / "orva.log"); }
    temp_dir dir_;
};

TEST_F(Client, SendsTheExactRequestBytes) {
    fake_peer peer(0, framing::http, [](int fd, const std::string&, size_t) {
        send_bytes(fd, http_reply("{}"));
    });
    http_client client(peer.port());
    EXPECT_EQ(client.http_get("/frames/"), http_reply("{}"));
    EXPECT_EQ(client.http_post("/requests", "application/json", "{\n}\n"), http_reply("{}"));
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /frames/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(requests[1],
              "POST /requests HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 4\r\n\r\n{\n}\n");
}

TEST_F(Client, ReplyOfExactly512BytesThenCloseIsKeptWhole) {
    std::string reply(512, 'x');
    fake_peer peer(0, framing::quiet, [&](int fd, const std::string&, size_t) { send_bytes(fd, reply); });
    EXPECT_EQ(exchange(peer.port(), "hello"), reply);
}

TEST_F(Client, ReplyInTwoSegments) {
    const std::string body = "[{\"id\": \"1\"}]";
    const std::string whole = http_reply(body);
    const size_t cut = whole.size() - 4;
    fake_peer peer(0, framing::http, [&](int fd, const std::string&, size_t index) {
        send_bytes(fd, whole.substr(0, cut));
        if (index == 0) {
            // The rest would follow only after the client has given up on this connection.
            wait_for_close(fd, 5000ms);
            return;
        }
        std::this_thread::sleep_for(100ms);
        send_bytes(fd, whole.substr(cut));
    });
    // A plain read stops at the short first segment...
    EXPECT_EQ(http_client(peer.port()).http_get("/frames/"), whole.substr(0, cut));
    EXPECT_EQ(logged(), "");
    // ...the whole-reply fetch reads on to the announced length and logs the reply.
    EXPECT_EQ(http_client(peer.port()).fetch_whole_reply("/frames/"), whole);
    EXPECT_EQ(logged(), whole + "\n");
}

TEST_F(Client, FetchEndsEmptyWhenThePeerClosesBeforeTheBodyArrives) {
    fake_peer peer(0, framing::http, [](int fd, const std::string&, size_t) {
        send_bytes(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{\"id\"");
    });
    auto start = steady::now();
    EXPECT_EQ(http_client(peer.port(), 5000ms).fetch_whole_reply("/frames/"), "");
    EXPECT_LT(steady::now() - start, 2s);  // no waiting for the deadline, no spinning
    EXPECT_EQ(logged(), "");
}

TEST_F(Client, FetchRefusesMalformedReplies) {
    const std::vector<std::string> replies = {
        "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n[]",  // lower-case header
        "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n[]",  // more body than announced
        "HTTP/1.1 200 OK\r\n\r\n[]",                       // no length at all
    };
    fake_peer peer(0, framing::http, [&](int fd, const std::string&, size_t index) {
        send_bytes(fd, replies[index]);
    });
    for (size_t i = 0; i < replies.size(); ++i)
        EXPECT_EQ(http_client(peer.port()).fetch_whole_reply("/frames/"), "") << replies[i];
    EXPECT_EQ(logged(), "");
}

TEST_F(Client, RefusedConnectionGivesTheEmptyReply) {
    std::uint16_t port = 0;
    ::close(listen_socket(0, &port));  // a port that nothing listens on any more
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(http_client(port).fetch_whole_reply("/frames/"), "");
}

TEST_F(Client, SilentPeerEndsAtTheDeadline) {
    fake_peer peer(0, framing::quiet, [](int fd, const std::string&, size_t) {
        wait_for_close(fd, 5000ms);
    });
    auto start = steady::now();
    EXPECT_EQ(exchange(peer.port(), "OPENURL x", 300ms), "");
    auto elapsed = steady::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 3s);
}

TEST_F(Client, PeerThatStopsMidReplyEndsAtTheDeadlineWithNothing) {
    // 512 bytes exactly ask for another read; the peer then neither sends nor closes.
    fake_peer peer(0, framing::quiet, [](int fd, const std::string&, size_t) {
        send_bytes(fd, std::string(512, 'z'));
        wait_for_close(fd, 5000ms);
    });
    EXPECT_EQ(exchange(peer.port(), "x", 300ms), "");
}

}  // namespace
