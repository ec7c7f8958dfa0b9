// The socket helpers shared with the Tesira client, on the sandbox network.
#include "backend/amp/socket.h"
#include "common/log/log.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace nox::amp;

const std::uint32_t server_address = parse_ipv4("10.99.0.2");

// A TCP listener on 10.99.0.2 with an ephemeral port.
struct listener {
    int fd = -1;
    std::uint16_t port = 0;
    listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = server_address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::listen(fd, 4);
        socklen_t size = sizeof where;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size);
        port = ntohs(where.sin_port);
    }
    ~listener() { ::close(fd); }
};

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path = ::testing::TempDir() + "amp_socket_test." + std::to_string(::getpid()) + ".log";
        std::remove(log_path.c_str());
        nox::log::instance().set_log_path(log_path);
    }
    std::string log_text() {
        std::ifstream in(log_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string log_path;
};

TEST(ParseIpv4, EmptyMeansAnyAndBadTextIsNone) {
    EXPECT_EQ(parse_ipv4(""), htonl(INADDR_ANY));
    EXPECT_EQ(parse_ipv4("10.99.0.1"), htonl(0x0A630001));
    EXPECT_EQ(parse_ipv4("10.99.0"), INADDR_NONE);
    EXPECT_EQ(parse_ipv4("ten"), INADDR_NONE);
}

TEST_F(SocketTest, StreamSocketConnectsAndReceives) {
    listener server;
    const int client = open_socket(server_address, server.port, SOCK_STREAM, false, false);
    ASSERT_GE(client, 0);
    const int accepted = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);

    char buffer[16];
    bool timed_out = false;
    EXPECT_EQ(receive_with_timeout(client, buffer, sizeof buffer, timed_out, 100), -1);
    EXPECT_TRUE(timed_out);
    EXPECT_NE(log_text().find("Select has timed out, no data available"), std::string::npos);

    ASSERT_EQ(::write(accepted, "hi", 2), 2);
    timed_out = false;
    EXPECT_EQ(receive_with_timeout(client, buffer, sizeof buffer, timed_out, 1000), 2);
    EXPECT_FALSE(timed_out);
    ::close(accepted);
    ::close(client);
}

TEST_F(SocketTest, RefusedConnectionIsLoggedAndFails) {
    std::uint16_t closed_port;
    {
        listener gone;
        closed_port = gone.port;
    }
    EXPECT_EQ(open_socket(server_address, closed_port, SOCK_STREAM, false, false), -1);
    EXPECT_NE(log_text().find("Cannot connect"), std::string::npos);
}

TEST_F(SocketTest, DatagramSocketBindsOnlyToLocalAddresses) {
    const int fd = open_socket(parse_ipv4("10.99.0.1"), 0, SOCK_DGRAM, true, true);
    EXPECT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(open_socket(parse_ipv4("10.99.0.77"), 0, SOCK_DGRAM, true, true), -1);
}

TEST_F(SocketTest, InvalidSocketReceivesNothing) {
    char buffer[4];
    bool timed_out = false;
    EXPECT_EQ(receive_with_timeout(-1, buffer, sizeof buffer, timed_out, 10), -1);
    EXPECT_FALSE(timed_out);
}

}  // namespace
