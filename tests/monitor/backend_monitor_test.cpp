// orva_backend as a process with two simulated Mira amplifiers associated in its project,
// inside the network sandbox: the monitor thread keeps their frames' live state, a
// download synchronisation reports through REST, a silent amplifier goes offline, and the
// monitor thread ends promptly at shutdown; the metrics follow the amplifiers' states. With
// silent amplifiers the start answers before their devices are made.
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/metrics_text.h"
#include "tests/support/ws_client.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;
using orva_test::metric_value;

const std::string first = "0000abcd:00000001";
const std::string second = "0000abcd:00000002";

// One frame with four channels per amplifier, the sandbox's interface chosen.
std::string project(const std::vector<std::string>& ids = {first, second}) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>"
                      "<settings><setting><id>1</id><selected_interface>10.99.0.1</selected_interface></setting>"
                      "</settings><frames>";
    const int frames = static_cast<int>(ids.size());
    for (int f = 0; f < frames; ++f) {
        const int c = f * 4 + 1;
        xml += "<frame><id>" + std::to_string(f + 1) + "</id><frame_type>mira</frame_type><name>Amp</name><device_id>" +
               ids[f] + "</device_id><module_class>2</module_class><channels>" + std::to_string(c) + " " +
               std::to_string(c + 1) + " " + std::to_string(c + 2) + " " + std::to_string(c + 3) +
               "</channels></frame>";
    }
    xml += "</frames><channels>";
    for (int f = 0; f < frames; ++f)
        for (int k = 0; k < 4; ++k)
            xml += "<channel><id>" + std::to_string(f * 4 + k + 1) + "</id><frame_id>" + std::to_string(f + 1) +
                   "</frame_id><frame_type>mira</frame_type><device_id>" + ids[f] + "</device_id><name>Ch" +
                   std::to_string(k + 1) + "</name></channel>";
    return xml + "</channels></configuration>";
}

orva_test::backend_process::options with_project() {
    orva_test::backend_process::options o;
    o.configuration = project();
    return o;
}

class BackendMonitor : public ::testing::Test {
protected:
    BackendMonitor()
        : sim_(mira_sim::sim_client::default_program(),
               std::vector<std::string>{"--amp", first + ",kind=2", "--amp", second + ",kind=2"}),
          backend_(with_project()) {}

    // Polls a REST resource (the backend works asynchronously) until `done` holds for its
    // body or the deadline passes.
    std::string body_when(const std::string& target, const std::function<bool(const std::string&)>& done,
                          std::chrono::seconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string body;
        while (std::chrono::steady_clock::now() < deadline) {
            body = http_get(target).body;
            if (done(body)) return body;
            std::this_thread::sleep_for(200ms);
        }
        return body;
    }
    static bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

    mira_sim::sim_client sim_;
    orva_test::backend_process backend_;
};

TEST_F(BackendMonitor, MonitorsDownloadsAndStopsPromptly) {
    ASSERT_TRUE(backend_.ready());
    std::string frame = body_when("/frames/1", [](const std::string& b) { return has(b, "\"mon_network_status\":\"online\""); });
    EXPECT_TRUE(has(frame, "\"mon_network_status\":\"online\"")) << frame << backend_.log();
    EXPECT_TRUE(has(frame, "\"dico_version\":\"7.200000\"")) << frame;
    EXPECT_TRUE(has(http_get("/channels/2").body, "\"temperature\":\"46\""));

    // A download: the first one renames the frames and channels, which it reports.
    auto answer = http_call("POST", "/requests", "{\"method\":\"sync\",\"status\":\"start\",\"direction\":\"get\"}");
    ASSERT_EQ(answer.status, 200) << answer.body;
    const auto id_at = answer.body.find("\"id\":\"");
    ASSERT_NE(id_at, std::string::npos) << answer.body;
    const std::string id = answer.body.substr(id_at + 6, answer.body.find('"', id_at + 6) - id_at - 6);
    const std::string done = body_when("/requests/" + id, [](const std::string& b) { return has(b, "\"status\":\"done\""); });
    EXPECT_TRUE(has(done, "\"any_disconnected\":\"false\"")) << done;
    // (The report travels as a JSON string inside the JSON answer: its quotes are escaped.)
    EXPECT_TRUE(has(done, R"(\"0\",\"name\",\"Ch1\",\"ModA.Out1\")")) << done;
    EXPECT_TRUE(has(done, "\"current_config\":")) << done;

    // The second amplifier stops answering: after its time-outs it shows offline.
    sim_.expect_ok("fault " + second + " silent");
    frame = body_when("/frames/2", [](const std::string& b) { return has(b, "\"mon_network_status\":\"offline\""); }, 30s);
    EXPECT_TRUE(has(frame, "\"mon_network_status\":\"offline\"")) << frame;
    EXPECT_TRUE(has(http_get("/frames/1").body, "\"mon_network_status\":\"online\""));

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(backend_.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_TRUE(has(backend_.log(), "|> Quit signal received, exiting monitoring thread..."));
}

TEST_F(BackendMonitor, MetricsFollowTheSimulatedAmplifiers) {
    ASSERT_TRUE(backend_.ready());
    body_when("/frames/1", [](const std::string& b) { return has(b, "\"mon_network_status\":\"online\""); });
    // "NO LOAD" on the first amplifier's third channel (bit 26 of its status word, word 5
    // of the monitor block), and the second amplifier falls silent.
    sim_.expect_ok("monitor " + first + " 5 " + std::to_string(1u << 26));
    sim_.expect_ok("fault " + second + " silent");
    orva_test::ws_client listener;
    ASSERT_TRUE(listener.connected());
    const std::string load = "orva_channel_status{frame=\"Amp\",frame_id=\"1\",channel=\"2\",kind=\"load\"}";
    std::string text = body_when("/metrics", [&](const std::string& b) {
        return metric_value(b, load) == 2 && metric_value(b, "orva_frames{state=\"offline\"}") == 1;
    }, 30s);
    EXPECT_EQ(metric_value(text, load), 2) << text;
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"online\"}"), 1) << text;
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"offline\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"fault\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frame_online{frame=\"Amp\",frame_id=\"1\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frame_online{frame=\"Amp\",frame_id=\"2\"}"), 0);
    EXPECT_EQ(metric_value(text, "orva_channel_temperature_celsius{frame=\"Amp\",frame_id=\"1\",channel=\"1\"}"), 46);
    EXPECT_GT(metric_value(text, "orva_amplifier_exchanges_total{family=\"mira\"}").value_or(0), 0);
    EXPECT_GT(metric_value(text, "orva_amplifier_exchange_failures_total{family=\"mira\"}").value_or(0), 0);
    EXPECT_GT(metric_value(text, "orva_requests_total{method=\"get_monitor\",outcome=\"done\"}").value_or(0), 0);
    EXPECT_GT(metric_value(text, "orva_requests_total{method=\"get_monitor\",outcome=\"fail\"}").value_or(0), 0);
    EXPECT_GT(metric_value(text, "orva_monitoring_cycle_seconds_count").value_or(0), 0);
    EXPECT_GT(metric_value(text, "orva_monitoring_cycle_last_seconds").value_or(0), 0);
    EXPECT_EQ(metric_value(text, "orva_websocket_clients"), 1);
    EXPECT_EQ(backend_.stop(), 0);
}

// Making a silent amplifier's device waits for its time-outs (seconds): the start answers
// on the user interface's files and the REST routes as soon as the project is loaded, while
// the devices are still being made.
TEST(BackendStart, AnswersWhileTheDevicesOfSilentAmplifiersAreMade) {
    const std::vector<std::string> ids = {"0000abcd:00000011", "0000abcd:00000012", "0000abcd:00000013",
                                          "0000abcd:00000014"};
    std::vector<std::string> arguments;
    for (const auto& id : ids) arguments.insert(arguments.end(), {"--amp", id + ",kind=2"});
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), arguments);
    for (const auto& id : ids) sim.expect_ok("fault " + id + " silent");
    orva_test::backend_process::options options;
    options.configuration = project(ids);
    orva_test::backend_process backend(options);
    ASSERT_TRUE(backend.ready()) << backend.log();

    // The rebuild of the devices ends by handing the interface to them; it takes at least
    // two time-outs of a second for each of the four amplifiers.
    const std::string rebuilt = "Updating Mira devices interface";
    EXPECT_EQ(http_get("/").status, 200);
    const auto frames = http_get("/frames");
    EXPECT_EQ(frames.status, 200);
    for (const auto& id : ids) EXPECT_NE(frames.body.find(id), std::string::npos) << frames.body;
    EXPECT_EQ(backend.log().find(rebuilt), std::string::npos) << "the answers waited for the devices";
    EXPECT_TRUE(backend.wait_for_log(rebuilt, 60s));
    EXPECT_EQ(backend.stop(), 0);
}

}  // namespace
