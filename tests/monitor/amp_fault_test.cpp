// Simulated amplifiers that misbehave, against a backend process that monitors them,
// inside the network sandbox. One amplifier stays healthy; each of the others goes silent,
// answers late, answers twice or answers with damaged or foreign frames, all at once.
// Meanwhile the backend keeps serving REST within its usual latency, keeps monitoring the
// healthy amplifier, and ends downloads, uploads and calibrations within their
// time-outs; once the faults stop, every amplifier comes back online by itself, and the
// backend stops promptly (no thread is left waiting).
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;
using steady = std::chrono::steady_clock;

// The amplifiers: the first stays healthy, each other one gets the fault beside it.
struct amp_fault {
    std::string id;
    std::string fault;  // control-command arguments after the id
};
const std::vector<amp_fault> amps = {
    {"0000abcd:00000001", "none"},     {"0000abcd:00000002", "silent"},
    {"0000abcd:00000003", "late 120"}, {"0000abcd:00000004", "duplicate"},
    {"0000abcd:00000005", "truncated"}, {"0000abcd:00000006", "words"},
    {"0000abcd:00000007", "wrong_destination"}, {"0000abcd:00000008", "unknown_type"},
    {"0000abcd:00000009", "nak"},      {"0000abcd:0000000a", "no_nul"},
    {"0000abcd:0000000b", "length"},   {"0000abcd:0000000c", "empty"},
};

std::string project() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>"
                      "<settings><setting><id>1</id><selected_interface>10.99.0.1</selected_interface></setting>"
                      "</settings><frames>";
    std::string channels;
    for (std::size_t f = 0; f < amps.size(); ++f) {
        const int first = static_cast<int>(f) * 4 + 1;
        xml += "<frame><id>" + std::to_string(f + 1) + "</id><frame_type>mira</frame_type><name>Amp " +
               std::to_string(f + 1) + "</name><device_id>" + amps[f].id + "</device_id><module_class>2</module_class>"
               "<channels>" + std::to_string(first) + " " + std::to_string(first + 1) + " " +
               std::to_string(first + 2) + " " + std::to_string(first + 3) + "</channels></frame>";
        for (int k = 0; k < 4; ++k)
            channels += "<channel><id>" + std::to_string(first + k) + "</id><frame_id>" + std::to_string(f + 1) +
                        "</frame_id><frame_type>mira</frame_type><device_id>" + amps[f].id + "</device_id><name>Ch" +
                        std::to_string(k + 1) + "</name></channel>";
    }
    return xml + "</frames><channels>" + channels + "</channels></configuration>";
}

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

// The slowest of a series of GET /frames (the whole project), in milliseconds.
double slowest_frames() { return orva_test::slowest_get_ms("/frames", 10); }

std::vector<std::string> sim_arguments() {
    std::vector<std::string> arguments;
    for (const auto& a : amps) {
        arguments.push_back("--amp");
        arguments.push_back(a.id + ",kind=2");
    }
    return arguments;
}

class AmpFaults : public ::testing::Test {
protected:
    AmpFaults() : sim_(mira_sim::sim_client::default_program(), sim_arguments()), backend_(options()) {}

    static orva_test::backend_process::options options() {
        orva_test::backend_process::options o;
        o.configuration = project();
        return o;
    }

    bool all_online(std::chrono::seconds timeout) {
        for (std::size_t f = 1; f <= amps.size(); ++f) {
            const auto frame = orva_test::get_body_when("/frames/" + std::to_string(f),
                                         [](const std::string& b) { return has(b, "\"mon_network_status\":\"online\""); },
                                         timeout);
            if (!has(frame, "\"mon_network_status\":\"online\"")) {
                ADD_FAILURE() << "frame " << f << " not online: " << frame;
                return false;
            }
        }
        return true;
    }

    // Posts a request and waits for its end; returns the final record, and how long it took.
    std::string run_request(const std::string& body, std::chrono::seconds timeout, double& seconds) {
        const auto start = steady::now();
        const auto posted = http_call("POST", "/requests", body);
        EXPECT_EQ(posted.status, 200) << body << " -> " << posted.body;
        const std::string id = orva_test::json_field(posted.body, "id");
        const std::string done = orva_test::get_body_when("/requests/" + id, [](const std::string& b) {
            return has(b, "\"status\":\"done\"") || has(b, "\"status\":\"fail\"");
        }, timeout);
        seconds = std::chrono::duration<double>(steady::now() - start).count();
        return done;
    }

    // The healthy amplifier's first channel reports a new temperature; true when the
    // monitoring shows it within `timeout`.
    bool healthy_amp_still_monitored(int temperature, std::chrono::seconds timeout) {
        sim_.expect_ok("param " + amps[0].id + " 3 3 " + std::to_string(temperature));
        const auto channel = orva_test::get_body_when("/channels/1", [&](const std::string& b) {
            return orva_test::json_field(b, "temperature") == std::to_string(temperature);
        }, timeout);
        return orva_test::json_field(channel, "temperature") == std::to_string(temperature);
    }

    mira_sim::sim_client sim_;
    orva_test::backend_process backend_;
};

TEST_F(AmpFaults, MisbehavingAmplifiersHoldNothingAndComeBackByThemselves) {
    ASSERT_TRUE(backend_.ready()) << backend_.log();
    ASSERT_TRUE(all_online(30s));
    const double usual_ms = slowest_frames();
    const double allowed_ms = std::max(150.0, 5 * usual_ms);

    for (std::size_t i = 1; i < amps.size(); ++i) sim_.expect_ok("fault " + amps[i].id + " " + amps[i].fault);

    // The amplifiers that cannot be understood go offline; the healthy one stays online
    // and monitored, and REST answers as usual.
    const auto silent = orva_test::get_body_when("/frames/2", [](const std::string& b) {
        return has(b, "\"mon_network_status\":\"offline\"");
    }, 30s);
    EXPECT_TRUE(has(silent, "\"mon_network_status\":\"offline\"")) << silent;
    EXPECT_TRUE(healthy_amp_still_monitored(61, 20s)) << http_get("/channels/1").body;
    EXPECT_LE(slowest_frames(), allowed_ms) << "usual " << usual_ms << " ms";
    EXPECT_TRUE(has(http_get("/frames/1").body, "\"mon_network_status\":\"online\""));

    // A download and an upload of every frame end: an amplifier that cannot be understood
    // costs at most its exchange time-outs (4 sends, 250 ms each) for the step that ends
    // its transfer; the late one answers every exchange 120 ms late.
    double seconds = 0;
    const auto download = run_request(R"({"method":"sync","status":"start","direction":"get"})", 120s, seconds);
    EXPECT_EQ(orva_test::json_field(download, "status"), "done") << download;
    EXPECT_EQ(orva_test::json_field(download, "any_disconnected"), "true") << download;
    EXPECT_LT(seconds, 60) << "download took " << seconds << " s";
    EXPECT_LE(slowest_frames(), allowed_ms);
    const auto upload = run_request(R"({"method":"sync","status":"start","direction":"put"})", 120s, seconds);
    EXPECT_TRUE(orva_test::json_field(upload, "status") == "fail" || orva_test::json_field(upload, "status") == "done") << upload;
    EXPECT_LT(seconds, 60) << "upload took " << seconds << " s";
    EXPECT_TRUE(healthy_amp_still_monitored(62, 20s)) << http_get("/channels/1").body;

    // Calibrations of a silent amplifier and of one whose replies are cut short fail
    // within their time-outs, side by side.
    std::vector<std::pair<std::string, steady::time_point>> calibrations;
    for (int frame : {2, 5}) {
        const int channel = (frame - 1) * 4 + 1;
        const auto posted = http_call("POST", "/requests",
                                      "{\"method\":\"calibrate\",\"device_id\":\"" + amps[frame - 1].id +
                                          "\",\"frame_id\":\"" + std::to_string(frame) + "\",\"channel_id\":\"" +
                                          std::to_string(channel) + "\"}");
        ASSERT_EQ(posted.status, 200) << posted.body;
        calibrations.emplace_back(orva_test::json_field(posted.body, "id"), steady::now());
    }
    for (const auto& [id, posted_at] : calibrations) {
        const auto end = orva_test::get_body_when("/requests/" + id, [](const std::string& b) {
            return has(b, "\"status\":\"fail\"") || has(b, "\"status\":\"done\"");
        }, 60s);
        EXPECT_EQ(orva_test::json_field(end, "status"), "fail") << end;
        EXPECT_LT(steady::now() - posted_at, 30s) << end;
    }
    EXPECT_LE(slowest_frames(), allowed_ms);

    // Faults over: every amplifier is back online by itself (after its 15-second hold-off
    // at the latest), and a download reads them all.
    for (std::size_t i = 1; i < amps.size(); ++i) sim_.expect_ok("fault " + amps[i].id + " none");
    EXPECT_TRUE(all_online(60s));
    const auto again = run_request(R"({"method":"sync","status":"start","direction":"get"})", 120s, seconds);
    EXPECT_EQ(orva_test::json_field(again, "status"), "done") << again;
    EXPECT_EQ(orva_test::json_field(again, "any_disconnected"), "false") << again;

    const auto asked = steady::now();
    EXPECT_EQ(backend_.stop(), 0);
    EXPECT_LT(steady::now() - asked, 10s);
}

}  // namespace
