// The Tesira-hosted device against a scripted server on loopback, inside the network
// sandbox: what each operation puts on the wire and how it reads the replies.
#include "backend/amp/tesira_device.h"
#include "backend/amp/tesira_parameters.h"
#include "common/log/log.h"
#include "tests/amp/write_operations.h"
#include "tests/tesira/fake_tesira_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using nox::amp::param_range;
using nox::amp::tesira_device;
using orva_test::fake_session;
using orva_test::fake_tesira_server;

// A server without login that answers every line with `reply(line)` until the client goes.
fake_tesira_server::script responder(std::function<std::string(const std::string&)> reply) {
    return [reply](fake_session& s) {
        s.greet_without_login();
        for (;;) {
            const std::string line = s.read_line(5000);
            if (line.empty()) return;
            s.send(reply(line));
        }
    };
}

// Replies by command: "get <attribute>" answers from `attributes`, peeks from `words`
// (block, index), pokes store into `words`.
struct scripted_amplifier {
    std::map<std::string, std::string> attributes{{"ampName", "\"Stage left\""}, {"ampPower", "true"},
                                                  {"mute 1", "false"}, {"mute 2", "true"},
                                                  {"mute 3", "false"}, {"mute 4", "true"}};
    std::map<std::uint32_t, std::uint32_t> words;

    std::string operator()(const std::string& line) {
        std::istringstream in(line);
        std::string tag, verb;
        in >> tag;
        if (tag.front() == '"') {
            while (tag.back() != '"' && in) {
                std::string more;
                in >> more;
                tag += " " + more;
            }
        }
        in >> verb;
        std::string rest;
        std::getline(in, rest);
        while (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
        while (!rest.empty() && rest.back() == ' ') rest.pop_back();
        if (verb == "get") {
            const auto found = attributes.find(rest);
            return found == attributes.end() ? "-ERR unknown\r\n" : "+OK \"value\":" + found->second + "\r\n";
        }
        if (verb == "peek") {
            std::istringstream args(rest);
            std::string address;
            unsigned count = 0;
            args >> address >> count;
            const auto first = static_cast<std::uint32_t>(std::stoul(address, nullptr, 16));
            std::string list;
            for (unsigned i = 0; i < count; ++i) list += (i ? " " : "") + std::to_string(words[first + i]);
            return "+OK \"value\":[" + list + "]\r\n";
        }
        if (verb == "poke" || verb == "set") return "+OK\r\n";
        return "-ERR\r\n";
    }
};

class TesiraDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = ::testing::TempDir() + "tesira_device_test.log";
        std::remove(log_path_.c_str());
        nox::log::instance().set_log_path(log_path_);
    }

    void serve(std::function<std::string(const std::string&)> reply) {
        server_ = std::make_unique<fake_tesira_server>(std::vector<fake_tesira_server::script>{responder(reply)});
    }
    void serve_amplifier() {
        serve([this](const std::string& line) { return amp_(line); });
    }
    std::unique_ptr<tesira_device> device(const std::string& tag = "Amp1") {
        nox::amp::tesira_device_options options;
        options.client.port = server_->port();
        options.client.receive_timeout_ms = 1000;
        return std::make_unique<tesira_device>("127.0.0.1", tag, options);
    }
    std::vector<std::string> lines() const { return server_->lines(); }
    std::string log_text() const {
        std::ifstream in(log_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    scripted_amplifier amp_;
    std::unique_ptr<fake_tesira_server> server_;
    std::string log_path_;
};

nox::amp::param_entry tesira_entry(int block, int index) {
    nox::amp::param_entry entry;
    entry.set_address(nox::amp::tesira_parameter{1, block, index});
    return entry;
}

TEST_F(TesiraDeviceTest, TagWithBlanksIsQuotedAndTheValueUnwrapped) {
    serve_amplifier();
    auto dev = device("Stage Amp");
    std::string name;
    EXPECT_EQ(dev->read_frame_name(name), 0);
    EXPECT_EQ(name, "Stage left");
    int on = 0;
    EXPECT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(lines(), (std::vector<std::string>{"\"Stage Amp\" get ampName ", "\"Stage Amp\" get ampPower "}));
}

TEST_F(TesiraDeviceTest, BlockTwoReadTakesItsMutesFromTheServer) {
    amp_.words[(2u << 16) + 0] = 7;
    amp_.words[(2u << 16) + 1] = 200;
    serve_amplifier();
    auto dev = device();
    std::vector<std::uint32_t> words;
    ASSERT_EQ(dev->read_params(param_range{2, 0, 19}, words), 0);
    ASSERT_EQ(words.size(), 20u);
    EXPECT_EQ(words[0], 0u);  // the amplifier's word 7 is overridden: "mute 1" is false
    EXPECT_EQ(words[1], 200u);
    EXPECT_EQ(words[5], 1u);
    EXPECT_EQ(words[15], 1u);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 peek 0x20000 20", "Amp1 get mute 1 ", "Amp1 get mute 2 ",
                                                 "Amp1 get mute 3 ", "Amp1 get mute 4 "}));
}

TEST_F(TesiraDeviceTest, SingleMuteWordIsOneGet) {
    serve_amplifier();
    auto dev = device();
    std::vector<std::uint32_t> words;
    ASSERT_EQ(dev->read_params(param_range{2, 10, 10}, words), 0);
    EXPECT_EQ(words, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 get mute 3 "}));
}

TEST_F(TesiraDeviceTest, CacheLinesAnswerLaterReadsOfTheirRange) {
    amp_.words[(5u << 16) + 150] = 11;
    amp_.words[(5u << 16) + 160] = 22;
    serve_amplifier();
    auto dev = device();
    dev->cache_on();
    nox::amp::param_value first, second, other;
    ASSERT_EQ(dev->read_param(tesira_entry(5, 150), first), 0);
    ASSERT_EQ(dev->read_param(tesira_entry(5, 160), second), 0);
    ASSERT_EQ(dev->read_param(tesira_entry(7, 3), other), 0);
    EXPECT_EQ(std::get<std::int32_t>(first), 11);
    EXPECT_EQ(std::get<std::int32_t>(second), 22);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 peek 0x50096 35", "Amp1 peek 0x70003 1"}));
    EXPECT_NE(log_text().find("Cache miss - reading cache line 5:150-184"), std::string::npos);
    // A line reaches at most 55 words past its index; the cache empties when turned off.
    EXPECT_EQ(nox::amp::tesira_cache_line(5, 10), (param_range{5, 10, 65}));
    EXPECT_EQ(nox::amp::tesira_cache_line(0, 20), (param_range{0, 20, 20}));
    dev->cache_off();
    ASSERT_EQ(dev->read_param(tesira_entry(5, 160), second), 0);
    EXPECT_EQ(lines().back(), "Amp1 peek 0x500a0 1");
}

TEST_F(TesiraDeviceTest, RepliesThatDoNotReadFailWithOne) {
    serve([](const std::string& line) -> std::string {
        if (line.find("ampName") != std::string::npos) return "+OK\r\n";
        if (line.find("peek 0x3 ") != std::string::npos) return "+OK \"value\":[1 two 3]\r\n";
        if (line.find("peek 0x4 ") != std::string::npos) return "+OK \"value\":7\r\n";
        if (line.find("peek 0x5 ") != std::string::npos) return "+OK \"value\":[99999999999]\r\n";
        return "+OK \"value\":[\xc3\xa9]\r\n";
    });
    auto dev = device();
    std::string name;
    std::vector<std::uint32_t> words;
    EXPECT_EQ(dev->read_frame_name(name), 1);
    EXPECT_EQ(dev->read_params(param_range{0, 3, 5}, words), 1);
    EXPECT_EQ(dev->read_params(param_range{0, 4, 4}, words), 1);
    EXPECT_EQ(dev->read_params(param_range{0, 5, 5}, words), 1);
    EXPECT_EQ(dev->read_params(param_range{0, 6, 6}, words), 1);
    EXPECT_TRUE(dev->connected());  // the session itself is fine
}

TEST_F(TesiraDeviceTest, WordsAreWrittenAsSigned32BitNumbers) {
    serve_amplifier();
    auto dev = device();
    EXPECT_EQ(dev->write_params(param_range{2, 1, 1}, {3000000000u}), 0);
    EXPECT_EQ(dev->soft_reset(), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 poke 0x20001 [-1294967296]",
                                                 "Amp1 poke 0x19 [1397704276 1381188948]"}));
}

TEST_F(TesiraDeviceTest, AttributeWritesUseTrueAndFalse) {
    serve_amplifier();
    auto dev = device();
    EXPECT_EQ(dev->write_mute(2, 1), 0);
    EXPECT_EQ(dev->write_mute(0, 0), 0);
    EXPECT_EQ(dev->write_power(1), 0);
    EXPECT_EQ(dev->write_frame_name("ignored"), 0);
    EXPECT_EQ(dev->write_channel_names({"a", "b", "c", "d"}), 3);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 set mute 3 true", "Amp1 set mute 1 false", "Amp1 set ampPower true"}));
}

TEST_F(TesiraDeviceTest, OldFirmwareRefusesEveryWriteAndStillReads) {
    serve_amplifier();
    auto dev = device();
    dev->set_old_firmware(true);
    for (const auto& [name, operation] : amp_test::every_write_operation()) {
        EXPECT_EQ(operation(*dev), 1) << name;
    }
    int on = 0;
    EXPECT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Amp1 get ampPower "}));
}

TEST_F(TesiraDeviceTest, PilotWritesConvertWithTheirScales) {
    serve_amplifier();
    auto dev = device();
    EXPECT_EQ(dev->write_ref_impedance(2, {8.0f, 12.0f}), 0);
    EXPECT_EQ(dev->write_pilot_factor(1, {1.5f, 0.25f}), 0);
    EXPECT_EQ(dev->write_pilot_signal(3, {1000, 47000}, {0.2f, 2.0f}), 0);
    EXPECT_EQ(dev->write_pilot_signal_all({1000, 1000}, {0.5f, 0.5f}), 0);
    EXPECT_EQ(dev->start_calibration(0x222), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Amp1 poke 0x50031 [8000 12000]",      // 7 + 21*2
                           "Amp1 poke 0x5001e [1500 250]",        // 9 + 21
                           "Amp1 poke 0x50040 [200 2000]",        // 1 + 21*3
                           "Amp1 poke 0x5004f [1000000 47000000]",  // 16 + 21*3
                           "Amp1 poke 0x50010 [1000000 1000000]",
                           "Amp1 poke 0x50001 [500 500]",
                           "Amp1 poke 0x50056 [546]",
                       }));
}

TEST_F(TesiraDeviceTest, PilotReadingsAndCalibrationBits) {
    const std::uint32_t base = (5u << 16) + 21;
    for (std::uint32_t i = 0; i < 20; ++i) amp_.words[base + i] = 1000 * i;  // i ohms (nearly)
    amp_.words[(5u << 16) + 87] = 0x22;
    serve_amplifier();
    auto dev = device();
    nox::amp::pilot_readings readings;
    readings.factors = {9.0f, 9.0f};
    ASSERT_EQ(dev->read_pilot(1, readings), 0);
    EXPECT_NEAR(readings.thresholds[0], 5.0, 1e-3);  // lower thresholds first
    EXPECT_NEAR(readings.thresholds[1], 6.0, 1e-3);
    EXPECT_NEAR(readings.thresholds[2], 3.0, 1e-3);
    EXPECT_NEAR(readings.thresholds[3], 4.0, 1e-3);
    EXPECT_NEAR(readings.ref_impedances[1], 8.0, 1e-3);
    EXPECT_NEAR(readings.readings[0], 14.0, 1e-3);
    EXPECT_NEAR(readings.readings[1], 15.0, 1e-3);
    EXPECT_EQ(readings.factors[0], 9.0f);  // left as they were
    int done = 0;
    ASSERT_EQ(dev->calibration_done(0x22, done), 0);
    EXPECT_EQ(done, 1);
    ASSERT_EQ(dev->calibration_done(0x222, done), 0);
    EXPECT_EQ(done, 0);
}

TEST_F(TesiraDeviceTest, EnablePairFollowsTheFirmwareGeneration) {
    amp_.words[4] = 18;  // firmware 18: second-generation pilot tones
    serve_amplifier();
    auto dev = device();
    EXPECT_EQ(dev->enable_pilot(4, 2, 1), 0);
    EXPECT_EQ(dev->enable_pilot(4, 2, 0), 0);
    EXPECT_TRUE(dev->ptg2_support());
    EXPECT_EQ(dev->min_firmware_version(), 19.0f);
    EXPECT_EQ(dev->firmware_version(), 18.0f);
    const auto sent = lines();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], "Amp1 poke 0x50036 [1 3]");
    EXPECT_EQ(sent[2], "Amp1 poke 0x50036 [0 0]");

    amp_.words[4] = 17;
    serve_amplifier();
    auto older = device();
    EXPECT_EQ(older->enable_pilot(4, 0, 1), 0);
    EXPECT_EQ(lines().back(), "Amp1 poke 0x5000c [1 1]");
}

TEST_F(TesiraDeviceTest, ModelAndMonitorBlock) {
    amp_.words[3] = 4;
    serve([this](const std::string& line) -> std::string {
        if (line.find("monitorData") != std::string::npos) {
            std::string list = "1073741824";  // amplifier status 1 in bits 30..31
            for (int i = 1; i < 60; ++i) list += " 0";
            return "+OK \"value\":[" + list + "]\r\n";
        }
        return amp_(line);
    });
    auto dev = device();
    int code = 0;
    std::string name, type;
    ASSERT_EQ(dev->read_model(code, name, type), 0);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(name, "VR 125:4S/Sa");
    EXPECT_EQ(type, "tesira");
    std::vector<std::uint32_t> monitor;
    ASSERT_EQ(dev->read_monitor(monitor), 0);
    ASSERT_EQ(monitor.size(), 27u);  // 26 summary numbers and the dirty flag 0
    EXPECT_EQ(monitor.back(), 0u);
    EXPECT_GT(dev->last_contact(), 0);
}

TEST_F(TesiraDeviceTest, FailedMonitorReadsMakeTheDeviceUnreachable) {
    serve([](const std::string&) { return std::string("-ERR busy\r\n"); });
    auto dev = device();
    std::vector<std::uint32_t> monitor;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dev->read_monitor(monitor), 1);
    EXPECT_TRUE(dev->unreachable());
    EXPECT_NE(log_text().find("timed out streak: 3"), std::string::npos);
}

TEST_F(TesiraDeviceTest, UnreachableServerFailsEveryOperationAtOnce) {
    std::uint16_t unused;
    {
        fake_tesira_server closed(std::vector<fake_tesira_server::script>{nullptr});
        unused = closed.port();
    }
    nox::amp::tesira_device_options options;
    options.client.port = unused;
    tesira_device dev("127.0.0.1", "Amp1", options);
    std::string name, message;
    EXPECT_EQ(dev.read_frame_name(name), -1);
    EXPECT_FALSE(dev.connected());
    EXPECT_FALSE(dev.login_required(message));
    std::vector<nox::amp::param_entry> entries;
    EXPECT_EQ(dev.parameter_list(0, entries), -1);
}

TEST_F(TesiraDeviceTest, LoginIsReportedUntilCredentialsConnect) {
    server_ = std::make_unique<fake_tesira_server>(std::vector<fake_tesira_server::script>{
        [](fake_session& s) {
            s.send("\nHall login: ");
            s.stall(2000);
        },
        [](fake_session& s) {
            s.send("\nHall login: ");
            const std::string user = s.read_line();
            s.send("Password: ");
            const std::string password = s.read_line();
            s.send(user == "admin" && password == "secret" ? "\r\nWelcome\r\n" : "\r\nLogin incorrect\r\n");
            for (std::string line; !(line = s.read_line(3000)).empty();) s.send("+OK \"value\":\"Hall amp\"\r\n");
        }});
    int notices = 0;
    nox::amp::tesira_device_options options;
    options.client.port = server_->port();
    options.client.receive_timeout_ms = 1000;
    options.login_needed = [&] { ++notices; };
    auto dev = std::make_unique<tesira_device>("127.0.0.1", "Amp1", options);
    std::string message;
    EXPECT_FALSE(dev->login_required(message));  // nothing known before the first exchange
    std::string name;
    EXPECT_EQ(dev->read_frame_name(name), -1);
    EXPECT_TRUE(dev->login_required(message));
    EXPECT_EQ(message, "Hall");
    EXPECT_FALSE(dev->connected());
    EXPECT_EQ(notices, 1);
    dev->set_credentials("admin", "secret");
    EXPECT_TRUE(dev->connected());
    EXPECT_FALSE(dev->login_required(message));
    EXPECT_EQ(dev->read_frame_name(name), 0);
    EXPECT_EQ(name, "Hall amp");
}

TEST_F(TesiraDeviceTest, StoredLoginOfTheServersSystemIsUsedWithoutAsking) {
    std::string user, password;
    server_ = std::make_unique<fake_tesira_server>(std::vector<fake_tesira_server::script>{[&](fake_session& s) {
        s.send("\nHall login: ");
        user = s.read_line();
        s.send("Password: ");
        password = s.read_line();
        s.send("\r\nWelcome\r\n");
        s.answer("+OK \"value\":true\r\n");
        s.read_line();
    }});
    std::string asked_for;
    int notices = 0;
    nox::amp::tesira_device_options options;
    options.client.port = server_->port();
    options.client.stored_login = [&](const std::string& system, std::string& u, std::string& p) {
        asked_for = system;
        u = "admin";
        p = "stored";
        return true;
    };
    options.login_needed = [&] { ++notices; };
    tesira_device dev("127.0.0.1", "Amp1", options);
    int on = 0;
    EXPECT_EQ(dev.read_power(on), 0);
    EXPECT_EQ(asked_for, "Hall");
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(password, "stored");
    EXPECT_TRUE(dev.connected());
    EXPECT_EQ(notices, 0);
}

TEST(TesiraReplies, ValuesAndWords) {
    std::string value;
    EXPECT_TRUE(nox::amp::tesira_reply_value("OK \"value\":\"Stage: left\" \r", value));
    EXPECT_EQ(value, "Stage: left");
    EXPECT_FALSE(nox::amp::tesira_reply_value("OK", value));
    std::vector<std::uint32_t> words;
    EXPECT_TRUE(nox::amp::tesira_reply_words("OK \"value\":[1\t-1  4294967295]", words));
    EXPECT_EQ(words, (std::vector<std::uint32_t>{1, 0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_TRUE(nox::amp::tesira_reply_words("[]", words));
    EXPECT_TRUE(words.empty());
    EXPECT_FALSE(nox::amp::tesira_reply_words("OK 1 2 3", words));
    EXPECT_FALSE(nox::amp::tesira_reply_words("] [", words));
}

}  // namespace
