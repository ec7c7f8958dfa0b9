// orva_backend as a process with simulated Mira amplifiers, inside the network sandbox:
// the network settings and login resources, and a `refresh` request that discovers two
// amplifiers and reads them into the project.
#include "backend/model/model.h"
#include "backend/requests/model_json.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;

const std::string first = "0000abcd:00000001";
const std::string second = "0000abcd:00000002";

class BackendDevices : public ::testing::Test {
protected:
    BackendDevices()
        : sim_(mira_sim::sim_client::default_program(),
               std::vector<std::string>{"--amp", first + ",kind=2", "--amp", second + ",kind=5"}) {}

    // The frames' JSON once `done` holds for it, polled (the backend works asynchronously)
    // until the deadline.
    std::string frames_when(const std::function<bool(const std::string&)>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        std::string body;
        while (std::chrono::steady_clock::now() < deadline) {
            body = http_get("/frames").body;
            if (done(body)) return body;
            std::this_thread::sleep_for(200ms);
        }
        return body;
    }

    mira_sim::sim_client sim_;
    orva_test::backend_process backend_;
};

TEST_F(BackendDevices, NetworkSettingsAndLogins) {
    ASSERT_TRUE(backend_.ready());
    auto answer = http_get("/api/mira_discovery_settings");
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.body.find("\"orva0\":\"10.99.0.1\""), std::string::npos) << answer.body;
    EXPECT_NE(answer.body.find("\"orva1\":\"10.99.0.2\""), std::string::npos) << answer.body;

    answer = http_call("POST", "/api/mira_discovery_settings", "{\"selected_ip\":\"10.99.0.1\"}");
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.body.find("\"selected_ip\":\"10.99.0.1\""), std::string::npos) << answer.body;
    EXPECT_NE(http_get("/settings").body.find("\"selected_interface\":\"10.99.0.1\""), std::string::npos);

    answer = http_get("/api/login_devices");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "{}");
    EXPECT_EQ(http_call("POST", "/api/login_devices", "{}").status, 400);
}

TEST_F(BackendDevices, RefreshDiscoversAndDownloadsTwoAmplifiers) {
    ASSERT_TRUE(backend_.ready());
    auto answer = http_call("POST", "/requests", "{\"method\":\"refresh\",\"network_interface\":\"10.99.0.1\"}");
    ASSERT_EQ(answer.status, 200) << answer.body;
    // The refresh turns into a download synchronisation: the frames get their names.
    const std::string frames = frames_when([](const std::string& body) {
        return body.find("Mira " + first) != std::string::npos && body.find("Mira " + second) != std::string::npos;
    });
    EXPECT_NE(frames.find("Mira " + first), std::string::npos) << frames << backend_.log();
    EXPECT_NE(frames.find("Mira " + second), std::string::npos) << frames;
    EXPECT_NE(frames.find("\"channels\":\"1 2 3 4\""), std::string::npos) << frames;
    EXPECT_NE(frames.find("\"channels\":\"5 6 7 8\""), std::string::npos) << frames;
    EXPECT_EQ(backend_.stop(), 0);
}

}  // namespace
