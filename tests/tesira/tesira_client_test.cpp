// The Tesira telnet client against a scripted server on loopback, inside the network
// sandbox: the bytes of the command lines, the negotiation and login, reply parsing, and
// how the client recovers from servers that stall, close, or send what is no reply.
#include "backend/amp/tesira_basic.h"
#include "common/log/log.h"
#include "tests/tesira/fake_tesira_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using nox::tesira_basic;
using orva_test::fake_session;
using orva_test::fake_tesira_server;
using steady = std::chrono::steady_clock;

class TesiraClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = ::testing::TempDir() + "tesira_client_test." + std::to_string(::getpid()) + ".log";
        std::remove(log_path_.c_str());
        nox::log::instance().set_log_path(log_path_);
    }

    std::unique_ptr<tesira_basic> client_for(const fake_tesira_server& server, int receive_timeout_ms = 1000) {
        nox::tesira_options options;
        options.port = server.port();
        options.receive_timeout_ms = receive_timeout_ms;
        options.now = [this] { return now_; };
        return std::make_unique<tesira_basic>("127.0.0.1", options);
    }

    std::string log_text() const {
        std::ifstream in(log_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    steady::time_point now_ = steady::time_point{} + std::chrono::hours(1);
    std::string log_path_;
};

// A server without login that answers each command line with the next reply.
fake_tesira_server::script answering(std::vector<std::string> replies) {
    return [replies](fake_session& s) {
        s.greet_without_login();
        for (const auto& reply : replies) s.answer(reply);
        s.read_line();
    };
}

TEST(TesiraCommandLines, QuotesTagsWithBlanksAndKeepsTheSpaceBeforeTheLineEnd) {
    EXPECT_EQ(tesira_basic::get_line("Amp1", "ampName"), "Amp1 get ampName \r\n");
    EXPECT_EQ(tesira_basic::get_line("Stage Amp", "channelName 2"), "\"Stage Amp\" get channelName 2 \r\n");
    EXPECT_EQ(tesira_basic::quote("Tab\tTag"), "\"Tab\tTag\"");
    EXPECT_EQ(tesira_basic::set_line("Amp1", "mute 3", "true"), "Amp1 set mute 3 true\r\n");
}

TEST(TesiraCommandLines, AddressesAreHexWithoutLeadingZerosAndWordsSigned) {
    EXPECT_EQ(tesira_basic::peek_line("Amp1", (5u << 16) | 21u, 20), "Amp1 peek 0x50015 20\r\n");
    EXPECT_EQ(tesira_basic::peek_line("Amp1", 3, 1), "Amp1 peek 0x3 1\r\n");
    EXPECT_EQ(tesira_basic::poke_line("Amp1", 0x20001, {3000000000u, 7u, 0xFFFFFFFFu}),
              "Amp1 poke 0x20001 [-1294967296 7 -1]\r\n");
}

TEST_F(TesiraClientTest, RefusesEveryOfferedOptionAndConnectsOnWelcome) {
    std::string answers;
    fake_tesira_server server({[&](fake_session& s) {
        s.send(std::string("\xff\xfd\x18\xff\xfd\x20\xff\xfb\x01", 9));
        answers = s.read_bytes(9);
        s.send("\nWelcome to the Tesira Text Protocol Server...\r\n");
        s.read_line();
    }});
    auto client = client_for(server);
    client->connect();
    EXPECT_TRUE(client->connected());
    EXPECT_FALSE(client->login_prompt_seen());
    EXPECT_NE(client->local_port(), 0);
    EXPECT_EQ(answers, std::string("\xff\xfc\x18\xff\xfc\x20\xff\xfc\x01", 9));
    EXPECT_NE(log_text().find("Managed to connect to tesira as user "), std::string::npos);
}

TEST_F(TesiraClientTest, LogsInWithCredentialsAndKeepsTheLoginMessage) {
    std::string user, password;
    fake_tesira_server server({[&](fake_session& s) {
        s.send(std::string("\xff\xfd\x01", 3));
        s.read_bytes(3);
        s.send("\nHall System login: ");
        user = s.read_line();
        s.send("Password: ");
        password = s.read_line();
        s.send("\r\nWelcome to the Tesira Text Protocol Server...\r\n");
        s.read_line();
    }});
    auto client = client_for(server);
    client->set_credentials("admin", "secret");
    client->connect();
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(client->login_prompt_seen());
    EXPECT_EQ(client->login_message(), "Hall System");
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(password, "secret");
    EXPECT_NE(log_text().find("Managed to connect to tesira as user admin"), std::string::npos);
}

TEST_F(TesiraClientTest, LoginPromptWithoutCredentialsEndsAtOnceUnconnected) {
    fake_tesira_server server({[](fake_session& s) {
        s.send("\nHall login: ");
        s.stall(3000);
    }});
    auto client = client_for(server, 2000);
    const auto started = steady::now();
    client->connect();
    EXPECT_LT(steady::now() - started, std::chrono::milliseconds(1500));
    EXPECT_FALSE(client->connected());
    EXPECT_TRUE(client->login_prompt_seen());
    EXPECT_EQ(client->login_message(), "Hall");
    std::string reply;
    EXPECT_EQ(client->peek("Amp1", 0x3, 1, reply), -1);
    EXPECT_NE(log_text().find("Failed to connect to tesira as user "), std::string::npos);
}

TEST_F(TesiraClientTest, WrongCredentialsLeaveTheClientUnconnected) {
    fake_tesira_server server({[](fake_session& s) {
        s.send("\nHall login: ");
        s.read_line();
        s.send("Password: ");
        s.read_line();
        s.send("\r\nLogin incorrect\r\n");
        s.stall(500);
    }});
    auto client = client_for(server);
    client->set_credentials("admin", "wrong");
    client->connect();
    EXPECT_FALSE(client->connected());
    EXPECT_NE(log_text().find("Failed to connect to tesira as user admin"), std::string::npos);
}

TEST_F(TesiraClientTest, RepliesGiveTheirStatusAndTextWithoutTheLastByte) {
    fake_tesira_server server({answering({"+OK \"value\":\"Stage left\"\r\n", "-ERR address not found: {\"foo\"}\r\n",
                                           "\r\n+OK\r\n"})});
    auto client = client_for(server);
    client->connect();
    std::string reply;
    EXPECT_EQ(client->get("Amp1", "ampName", reply), 0);
    EXPECT_EQ(reply, "OK \"value\":\"Stage left\"\r");
    reply.clear();
    EXPECT_EQ(client->get("foo", "ampName", reply), 1);
    EXPECT_EQ(reply, "ERR address not found: {\"foo\"}\r");
    reply.clear();
    EXPECT_EQ(client->set("Amp1", "mute 1", "true", reply), 0);  // bytes before the status are skipped
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"Amp1 get ampName ", "foo get ampName ", "Amp1 set mute 1 true"}));
    const std::string log = log_text();
    EXPECT_NE(log.find("(lport: " + std::to_string(client->local_port()) + ")Amp1 get ampName "), std::string::npos);
    EXPECT_NE(log.find("(resp lport: " + std::to_string(client->local_port()) + ")OK \"value\":\"Stage left\""),
              std::string::npos);
}

TEST_F(TesiraClientTest, NegotiationBeforeTheStatusIsRefusedInBand) {
    std::string answer;
    fake_tesira_server server({[&](fake_session& s) {
        s.greet_without_login();
        s.read_line();
        s.send(std::string("\xff\xfd\x05", 3));
        answer = s.read_bytes(3);
        s.send("+OK \"value\":true\r\n");
        s.read_line();
    }});
    auto client = client_for(server);
    client->connect();
    std::string reply;
    EXPECT_EQ(client->get("Amp1", "ampPower", reply), 0);
    EXPECT_EQ(answer, std::string("\xff\xfc\x05", 3));
    EXPECT_NE(log_text().find("tesira server wanted negotiate: (opt: 5 verb: 253) replying wont..."), std::string::npos);
}

TEST_F(TesiraClientTest, ReplySplitAcrossReadsIsReadToItsLineEnd) {
    fake_tesira_server server({[](fake_session& s) {
        s.greet_without_login();
        s.read_line();
        s.send("+OK \"value\":[1 2");
        s.stall(100);
        s.send(" 3]\r\n");
        s.answer("+OK \"value\":[4]\r\n");
        s.read_line();
    }});
    auto client = client_for(server);
    client->connect();
    std::string first, second;
    EXPECT_EQ(client->peek("Amp1", 0x3, 3, first), 0);
    EXPECT_EQ(first, "OK \"value\":[1 2 3]\r");
    EXPECT_EQ(client->peek("Amp1", 0x6, 1, second), 0);
    EXPECT_EQ(second, "OK \"value\":[4]\r");
}

TEST_F(TesiraClientTest, ClosedConnectionBeforeTheStatusReconnectsAtOnce) {
    fake_tesira_server server({[](fake_session& s) {
                                   s.greet_without_login();
                                   s.read_line();  // and close without a reply
                               },
                               answering({"+OK\r\n"})});
    auto client = client_for(server);
    client->connect();
    std::string reply;
    EXPECT_EQ(client->peek("Amp1", 0x3, 1, reply), -1);
    EXPECT_TRUE(client->connected());  // the new connection is up
    EXPECT_EQ(client->poke("Amp1", 0x3, {1}, reply), 0);
    EXPECT_EQ(server.connections(), 2);
    EXPECT_NE(log_text().find("failed to read param: "), std::string::npos);
}

TEST_F(TesiraClientTest, ReplyCutShortTimesOutAndReconnects) {
    fake_tesira_server server({[](fake_session& s) {
                                   s.greet_without_login();
                                   s.read_line();
                                   s.send("+OK \"value\":[1 2");
                                   s.stall(1500);
                               },
                               answering({"+OK \"value\":[5]\r\n"})});
    auto client = client_for(server, 300);
    client->connect();
    std::string reply;
    const auto started = steady::now();
    EXPECT_EQ(client->peek("Amp1", 0x3, 3, reply), -1);
    EXPECT_LT(steady::now() - started, std::chrono::milliseconds(1400));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(client->peek("Amp1", 0x3, 1, reply), 0);
    EXPECT_EQ(reply, "OK \"value\":[5]\r");
}

TEST_F(TesiraClientTest, EndlessBytesWithoutStatusCostAtMostTheTimeOut) {
    fake_tesira_server server({[](fake_session& s) {
        s.greet_without_login();
        s.read_line();
        for (int i = 0; i < 200; ++i) s.send(std::string(100, 'x'));
        s.stall(2000);
    }});
    auto client = client_for(server, 500);
    client->connect();
    std::string reply;
    const auto started = steady::now();
    EXPECT_EQ(client->get("Amp1", "monitorData", reply), -1);
    EXPECT_LT(steady::now() - started, std::chrono::milliseconds(1500));
}

TEST_F(TesiraClientTest, GetFailuresReconnectAtMostEveryOneAndAHalfSeconds) {
    fake_tesira_server server({answering({"-ERR\r\n", "-ERR\r\n", "-ERR\r\n", "-ERR\r\n"})});
    auto client = client_for(server);
    client->connect();
    std::string reply;
    EXPECT_EQ(client->get("Amp1", "ampName", reply), 1);  // just constructed: not due yet
    EXPECT_EQ(server.connections(), 1);
    now_ += std::chrono::milliseconds(1600);
    EXPECT_EQ(client->get("Amp1", "ampName", reply), 1);
    EXPECT_EQ(client->get("Amp1", "ampName", reply), 1);
    EXPECT_EQ(server.connections(), 2);
    EXPECT_NE(log_text().find("Attempting to reconnect to tesira"), std::string::npos);
}

TEST_F(TesiraClientTest, UnconnectedClientSendsNothing) {
    fake_tesira_server server({answering({"+OK\r\n"})});
    auto client = client_for(server);
    std::string reply;
    EXPECT_EQ(client->get("Amp1", "ampName", reply), -1);
    EXPECT_EQ(client->peek("Amp1", 0x3, 1, reply), -1);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(TesiraClientTest, LineBreaksInTagsOrValuesAreNeverSent) {
    fake_tesira_server server({answering({"+OK\r\n"})});
    auto client = client_for(server);
    client->connect();
    std::string reply;
    EXPECT_EQ(client->get("Amp1\r\nAmp2", "ampName", reply), 1);
    EXPECT_EQ(client->set("Amp1", "ampPower", "true\r\nAmp1 set ampPower false", reply), 1);
    EXPECT_EQ(client->get("Amp1", "ampName", reply), 0);
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"Amp1 get ampName "}));
}

TEST_F(TesiraClientTest, UnreachableServerLeavesNoSocket) {
    std::uint16_t unused_port;
    {
        fake_tesira_server closed(std::vector<fake_tesira_server::script>{nullptr});
        unused_port = closed.port();
    }
    nox::tesira_options options;
    options.port = unused_port;
    tesira_basic client("127.0.0.1", options);
    client.connect();
    EXPECT_EQ(client.socket(), -1);
    EXPECT_FALSE(client.connected());
    EXPECT_NE(log_text().find("Failed create tcp socket to communicate with tesira"), std::string::npos);
}

}  // namespace
