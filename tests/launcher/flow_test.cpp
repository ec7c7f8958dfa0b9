// The launch flows against a fake backend on 127.0.0.1:8080 and a fake UI on 27028 (run
// in the network sandbox, where these ports are the test's own). Pauses and the clock are
// injected: every pause is recorded and advances the fake clock instead of waiting.
#include "common/log/log.h"
#include "launcher/launcher.h"
#include "tests/launcher/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace nox::launcher;
using namespace test_support;
using framing = fake_peer::framing;

const std::string get_root = "GET / HTTP/1.1\r\n\r\n";
const std::string get_frames = "GET /frames/ HTTP/1.1\r\n\r\n";

std::string post(const std::string& body) {
    return "POST /requests HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string assoc_body(const std::string& server, const std::string& tag) {
    return "{\n    \"method\": \"assoc_tesira\",\n    \"status\": \"wait\",\n    \"server_address\": \"" +
           server + "\",\n    \"instance_tag\": \"" + tag + "\"\n}\n";
}

// A backend that answers GET / (with `root_reply`), GET /frames/ (with `frames`) and POSTs.
struct backend_script {
    std::string root_reply = http_reply("<html></html>");
    std::string frames = "[]";
    std::string post_reply = http_reply("{\"id\": \"1\", \"status\": \"wait\"}");
};

class Flow : public ::testing::Test {
protected:
    void SetUp() override {
        nox::log::instance().set_log_path(dir_ / "orva.log");
        settings_.own_folder = dir_.path();
        settings_.exchange_timeout = 2000ms;
        settings_.startup_limit = 10s;
        settings_.sleep = [this](std::chrono::milliseconds period) {
            pauses_.push_back(period);
            now_ += period;
        };
        settings_.now = [this] { return now_; };
        settings_.start_process = [this](const std::string& path, std::string&) {
            started_.push_back(path);
            return true;
        };
        settings_.out = &out_;
    }

    void start_backend(backend_script script = {}) {
        backend_ = std::make_unique<fake_peer>(
            8080, framing::http, [script](int fd, const std::string& request, size_t) {
                if (request == get_root)
                    send_bytes(fd, script.root_reply);
                else if (request == get_frames)
                    send_bytes(fd, http_reply(script.frames));
                else
                    send_bytes(fd, script.post_reply);
            });
    }
    void start_ui() {
        ui_ = std::make_unique<fake_peer>(27028, framing::quiet, [](int fd, const std::string&, size_t) {
            send_bytes(fd, "+OK");
        });
    }

    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "/opt/orva/orva_cmdline");
        return cmdline(settings_).run(arguments);
    }
    std::vector<std::string> backend_requests() { return backend_ ? backend_->requests() : std::vector<std::string>{}; }
    std::vector<std::string> ui_requests() { return ui_ ? ui_->requests() : std::vector<std::string>{}; }
    std::string logged() { return log_messages(dir_ / "orva.log"); }

    temp_dir dir_;
    launcher_settings settings_;
    steady::time_point now_{};
    std::vector<std::chrono::milliseconds> pauses_;
    std::vector<std::string> started_;
    std::ostringstream out_;
    std::unique_ptr<fake_peer> backend_;
    std::unique_ptr<fake_peer> ui_;
};

TEST_F(Flow, ArgumentsThatSelectNoFlowPrintTheUsageAndSendNothing) {
    start_backend();
    start_ui();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-s", "ampA1", "-i"},
        {"-s", "ampA1", "-i", "192.168.0.1"},
        {"-s", "ampA1", "-a", "x", "-r", "true"},
        {"-x", "y"},
    };
    for (const auto& arguments : cases) {
        out_.str("");
        EXPECT_EQ(run(arguments), 1);
        EXPECT_EQ(out_.str(), usage_text());
    }
    EXPECT_EQ(backend_->connections(), 0u);
    EXPECT_EQ(ui_->connections(), 0u);
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "/opt/orva/orva_cmdline", "-s", "ampA1",
                                      "-i", "/opt/orva/orva_cmdline", "-s", "ampA1", "-i",
                                      "192.168.0.1", "/opt/orva/orva_cmdline", "-s", "ampA1", "-a", "x",
                                      "-r", "true", "/opt/orva/orva_cmdline", "-x", "y"}));
}

TEST_F(Flow, ImportTakesPrecedenceOverTheOpenOptions) {
    start_backend();
    start_ui();
    EXPECT_EQ(run({"-s", "x", "-c", "/home/u/amp.tamp", "-i", "y", "-a", "z"}), 0);
    const std::string body =
        "{\n    \"method\": \"import_tesira\",\n    \"status\": \"wait\",\n"
        "    \"input_path\": \"\\/home\\/u\\/amp.tamp\"\n}\n";
    EXPECT_EQ(backend_requests(), (std::vector<std::string>{get_root, post(body)}));
    EXPECT_EQ(ui_->connections(), 0u);
    EXPECT_TRUE(pauses_.empty());
    EXPECT_TRUE(started_.empty());
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "-s", "x", "-c", "/home/u/amp.tamp", "-i",
                                      "y", "-a", "z", http_reply("<html></html>"), post(body),
                                      http_reply("{\"id\": \"1\", \"status\": \"wait\"}")}));
}

TEST_F(Flow, UnknownTesiraAmplifierIsAssociatedThenOpenedAfterAPause) {
    start_backend();
    start_ui();
    EXPECT_EQ(run({"-s", "ampA1", "-i", "192.168.0.1", "-a", "Amplifier number 1"}), 0);
    const std::string request = post(assoc_body("192.168.0.1", "Amplifier number 1"));
    EXPECT_EQ(backend_requests(), (std::vector<std::string>{get_root, get_frames, request}));
    EXPECT_EQ(pauses_, (std::vector<std::chrono::milliseconds>{1000ms}));
    EXPECT_EQ(ui_requests(),
              (std::vector<std::string>{"OPENURL http://127.0.0.1:8080/#frames/search/Amplifier number 1"}));
    EXPECT_EQ(logged(),
              joined_lines({"/opt/orva/orva_cmdline", "-s", "ampA1", "-i", "192.168.0.1", "-a",
                            "Amplifier number 1", http_reply("<html></html>"), http_reply("[]"), request,
                            http_reply("{\"id\": \"1\", \"status\": \"wait\"}"), "+OK"}));
}

TEST_F(Flow, MiraIsMatchedExactly) {
    start_backend();
    start_ui();
    EXPECT_EQ(run({"-s", "mira", "-i", "10.99.0.1", "-a", "A"}), 0);
    EXPECT_EQ(run({"-s", "Mira", "-i", "10.99.0.1", "-a", "A"}), 0);
    auto requests = backend_requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[2], post("{\n    \"method\": \"refresh\",\n    \"status\": \"wait\",\n"
                                "    \"network_interface\": \"10.99.0.1\"\n}\n"));
    EXPECT_EQ(requests[5], post(assoc_body("10.99.0.1", "A")));
}

TEST_F(Flow, KnownTesiraFrameOpensAtOnceWithoutAnyRequest) {
    backend_script script;
    script.frames = R"([{"id": "1", "frame_type": "mira", "device_id": "Amp 1"},
                        {"id": "9", "frame_type": "tesira", "device_id": "Amp 1"}])";
    start_backend(script);
    start_ui();
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "Amp 1"}), 0);
    EXPECT_EQ(backend_requests(), (std::vector<std::string>{get_root, get_frames}));
    EXPECT_TRUE(pauses_.empty());
    EXPECT_EQ(ui_requests(), (std::vector<std::string>{"OPENURL http://127.0.0.1:8080/#frames/search/Amp 1"}));
}

TEST_F(Flow, MiraFrameWithTheSameDeviceIdDoesNotCount) {
    backend_script script;
    script.frames = R"([{"id": "1", "frame_type": "mira", "device_id": "Amp 1"}])";
    start_backend(script);
    start_ui();
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "Amp 1"}), 0);
    EXPECT_EQ(backend_requests().size(), 3u);
    EXPECT_EQ(pauses_.size(), 1u);
}

TEST_F(Flow, AnyReplaceValueSelectsTheFlexiPageAndLaterOptionsWin) {
    start_backend();
    start_ui();
    EXPECT_EQ(run({"-a", "first", "-s", "srv", "-i", "10.0.0.1", "-r", "false", "-a", "second"}), 0);
    EXPECT_EQ(ui_requests(), (std::vector<std::string>{"OPENURL http://127.0.0.1:8080/#flexi/search/second"}));
    EXPECT_EQ(backend_requests().back(), post(assoc_body("10.0.0.1", "second")));
}

TEST_F(Flow, BackendAnsweringOtherThan200CancelsWithoutStartingTheUi) {
    backend_script script;
    script.root_reply = http_reply("", "HTTP/1.1 503 Unavailable");
    start_backend(script);
    start_ui();
    write_file(dir_ / "orva_ui", "#!/bin/sh\n", true);
    EXPECT_EQ(run({"-c", "a.tamp"}), 1);
    EXPECT_TRUE(started_.empty());
    EXPECT_EQ(backend_requests(), (std::vector<std::string>{get_root}));
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "-c", "a.tamp", script.root_reply,
                                      "Failed to start ORVA processes. Cancelling..."}));
}

TEST_F(Flow, MissingUiProgramCancels) {
    start_ui();
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "A"}), 1);
    EXPECT_TRUE(started_.empty());
    EXPECT_EQ(ui_->connections(), 0u);
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "-s", "srv", "-i", "10.0.0.1", "-a", "A", "",
                                      "Current path: " + dir_.path(),
                                      "Failed to find executable: " + (dir_ / "orva_ui"),
                                      "Failed to start ORVA processes. Cancelling..."}));
}

TEST_F(Flow, SilentBackendStartsTheUiOnceAndPollsEverySecond) {
    write_file(dir_ / "orva_ui", "#!/bin/sh\n", true);
    start_ui();
    // The first two polls find the port open but get no answer; the third gets 200. The
    // amplifier is known already, yet the freshly started UI still gets its pause.
    const std::string frames = R"([{"id": "4", "frame_type": "tesira", "device_id": "A"}])";
    settings_.start_process = [&](const std::string& path, std::string&) {
        started_.push_back(path);
        backend_ = std::make_unique<fake_peer>(8080, framing::http,
                                               [frames](int fd, const std::string& request, size_t index) {
            if (request == get_root && index >= 2) send_bytes(fd, http_reply("ok"));
            if (request == get_frames) send_bytes(fd, http_reply(frames));
        });
        return true;
    };
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "A"}), 0);
    EXPECT_EQ(started_, (std::vector<std::string>{dir_ / "orva_ui"}));
    EXPECT_EQ(backend_requests(), (std::vector<std::string>{get_root, get_root, get_root, get_frames}));
    // One pause after each of the three polls, then the pause before the page opens.
    EXPECT_EQ(pauses_, (std::vector<std::chrono::milliseconds>{1000ms, 1000ms, 1000ms, 1000ms}));
    EXPECT_EQ(ui_requests().size(), 1u);
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "-s", "srv", "-i", "10.0.0.1", "-a", "A", "",
                                      "Current path: " + dir_.path(), "Starting ORVA in full UI mode",
                                      http_reply(frames), "+OK"}));
}

TEST_F(Flow, BackendThatNeverComesUpEndsAtTheStartupLimit) {
    write_file(dir_ / "orva_ui", "#!/bin/sh\n", true);
    settings_.startup_limit = 5s;
    EXPECT_EQ(run({"-c", "a.tamp"}), 1);
    EXPECT_EQ(started_.size(), 1u);
    EXPECT_EQ(pauses_.size(), 5u);
    EXPECT_EQ(logged(), joined_lines({"/opt/orva/orva_cmdline", "-c", "a.tamp", "",
                                      "Current path: " + dir_.path(), "Starting ORVA in full UI mode",
                                      "The backend did not answer within 5 seconds",
                                      "Failed to start ORVA processes. Cancelling..."}));
}

TEST_F(Flow, UiProgramThatCannotBeStartedCancelsAtOnce) {
    write_file(dir_ / "orva_ui", "not a program", false);
    settings_.start_process = {};  // the real start: a file without execute permission
    EXPECT_EQ(run({"-c", "a.tamp"}), 1);
    EXPECT_TRUE(pauses_.empty());
    std::string log = logged();
    EXPECT_NE(log.find("Failed to start " + (dir_ / "orva_ui") + ": "), std::string::npos);
    EXPECT_NE(log.find("Failed to start ORVA processes. Cancelling...\n"), std::string::npos);
}

TEST_F(Flow, PeersThatNeverAnswerDoNotHoldTheLauncher) {
    start_backend();
    // The UI accepts the message and never answers.
    ui_ = std::make_unique<fake_peer>(27028, framing::none, [](int fd, const std::string&, size_t) {
        wait_for_close(fd, 5000ms);
    });
    settings_.exchange_timeout = 300ms;
    auto start = steady::now();
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "A"}), 0);
    EXPECT_LT(steady::now() - start, 3s);
    EXPECT_TRUE(logged().ends_with(http_reply("{\"id\": \"1\", \"status\": \"wait\"}") + "\n\n"));
}

TEST_F(Flow, FailingRequestsLeaveEmptyRepliesAndTheFlowGoesOn) {
    // The backend answers GET / only; the lookup and the post get no reply, and nothing
    // listens on the UI port.
    backend_ = std::make_unique<fake_peer>(8080, framing::http, [](int fd, const std::string& request, size_t) {
        if (request == get_root) send_bytes(fd, http_reply("ok"));
    });
    EXPECT_EQ(run({"-s", "srv", "-i", "10.0.0.1", "-a", "A"}), 0);
    EXPECT_EQ(backend_requests().size(), 3u);
    EXPECT_EQ(pauses_.size(), 1u);
    EXPECT_TRUE(logged().ends_with(joined_lines({http_reply("ok"), post(assoc_body("10.0.0.1", "A")), "", ""})));
}

}  // namespace
