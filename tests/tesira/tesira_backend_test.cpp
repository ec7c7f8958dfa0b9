// orva_backend as a process with a simulated Tesira server hosting two amplifier blocks,
// inside the network sandbox (the server listens on 10.99.0.2:23): import, monitoring,
// download with a difference, upload and mute through REST; logins that are asked for,
// given, and kept across a restart; and every fault mode of the server during monitoring.
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/tesira_project.h"
#include "tests/support/ws_client.h"
#include "tools/sim_amp/sim_client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using orva_test::get_body_when;
using orva_test::http_call;
using orva_test::http_get;
using sim_amp::sim_client;

const std::string server = "10.99.0.2";

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

orva_test::backend_process::options with_block(std::map<std::string, std::string> data_files = {}) {
    orva_test::backend_process::options o;
    o.configuration = orva_test::tesira_block_project(server);  // block AmpA as frame 1
    o.data_files = std::move(data_files);
    return o;
}

// The id of a posted request.
std::string post(const std::string& body) {
    const auto answer = http_call("POST", "/requests", body);
    const auto at = answer.body.find("\"id\":\"");
    if (answer.status != 200 || at == std::string::npos) return {};
    return answer.body.substr(at + 6, answer.body.find('"', at + 6) - at - 6);
}

std::string frame_when(int id, const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return get_body_when("/frames/" + std::to_string(id), [&](const std::string& b) { return has(b, text); }, timeout);
}

class TesiraBackend : public ::testing::Test {
protected:
    sim_client start_server(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--bind", server, "--block", "AmpA=Hall left", "--block", "AmpB=Hall right"};
        args.insert(args.end(), extra.begin(), extra.end());
        return sim_client(sim_client::program("orva_tesira_sim"), args);
    }
};

TEST_F(TesiraBackend, ImportMonitorDownloadWithADifferenceUploadAndMute) {
    sim_client sim = start_server();
    orva_test::backend_process backend;
    ASSERT_TRUE(backend.ready());
    const std::string file = backend.data_folder() + "/hall.xml";
    std::ofstream(file) << "<Tesira><Blocks>"
                           "<AmpBlock instanceTag=\"AmpA\" proxyIPAddress=\"" << server << "\"><ampName>Hall left</ampName></AmpBlock>"
                           "<AmpBlock instanceTag=\"AmpB\" proxyIPAddress=\"" << server << "\"><ampName>Hall right</ampName></AmpBlock>"
                           "</Blocks></Tesira>";
    ASSERT_FALSE(post("{\"method\":\"import_tesira\",\"input_path\":\"" + file + "\"}").empty());

    // The queued reads fill the frames; the monitor keeps them online.
    std::string frame = frame_when(2, "\"synced\":\"true\"");
    EXPECT_TRUE(has(frame, "\"name\":\"Hall right\"")) << frame << backend.log();
    EXPECT_TRUE(has(frame, "\"model_name\":\"VR 45:4S\\/Sa\"")) << frame;  // JSON escapes the slash
    frame = frame_when(1, "\"mon_network_status\":\"online\"");
    EXPECT_TRUE(has(frame, "\"dico_version\":\"19.000000\"")) << frame;
    EXPECT_TRUE(has(http_get("/channels/3").body, "\"name\":\"Output 3\""));

    // Attenuation of channel 1 changed on the amplifier: the download reports it.
    sim.expect_ok("param AmpA 2 1 200");
    const std::string download = post("{\"method\":\"sync\",\"status\":\"start\",\"direction\":\"get\"}");
    const std::string report =
        get_body_when("/requests/" + download, [](const std::string& b) { return has(b, "\"status\":\"done\""); });
    EXPECT_TRUE(has(report, R"(\"AmpA\",\"0\",\"attenuation\")")) << report;
    EXPECT_TRUE(has(http_get("/channels/1").body, "\"attenuation\":\"-50.000000\""));

    // An upload writes the project's value back.
    ASSERT_EQ(http_call("PUT", "/channels/1", "{\"id\":\"1\",\"attenuation\":\"-25.000000\"}").status, 200);
    const std::string upload = post("{\"method\":\"sync\",\"status\":\"start\",\"direction\":\"put\"}");
    const std::string uploaded =
        get_body_when("/requests/" + upload, [](const std::string& b) { return has(b, "\"status\":\"done\""); });
    EXPECT_TRUE(has(uploaded, "\"status\":\"done\"")) << uploaded << backend.log();
    EXPECT_EQ(sim.expect_ok("do AmpA peek 0x20001 1"), "ok +OK \"value\":[100]");

    // Mute and power through their requests reach the server's attributes.
    post("{\"method\":\"set_mute\",\"device_id\":\"AmpB\",\"frame_id\":\"2\",\"channel_id\":\"6\",\"mute\":\"1\"}");
    post("{\"method\":\"set_power_status\",\"device_id\":\"AmpB\",\"power_status\":\"0\"}");
    bool reached = false;
    for (int i = 0; i < 100 && !reached; ++i) {
        reached = sim.expect_ok("do AmpB get mute 2") == "ok +OK \"value\":true" &&
                  sim.expect_ok("do AmpB get ampPower") == "ok +OK \"value\":false";
        if (!reached) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(reached);

    // The export names both frames.
    const auto exported = http_get("/api/export/tesira/");
    EXPECT_TRUE(has(exported.body, "<Name>Hall left</Name>")) << exported.body;
    EXPECT_TRUE(has(exported.body, "<Name>Hall right</Name>")) << exported.body;
    EXPECT_EQ(backend.stop(), 0);
}

TEST_F(TesiraBackend, AssociationOfAnUnreachableServerUsesTheInstanceTag) {
    orva_test::backend_process backend;
    ASSERT_TRUE(backend.ready());
    post("{\"method\":\"assoc_tesira\",\"server_address\":\"10.99.0.2\",\"instance_tag\":\"Nobody\"}");
    const std::string frames = get_body_when("/frames", [](const std::string& b) { return has(b, "\"name\":\"Nobody\""); });
    EXPECT_TRUE(has(frames, "\"channel_names\":\"1 2 3 4\"")) << frames << backend.log();
    EXPECT_TRUE(has(backend.log(), "Failed create tcp socket to communicate with tesira"));
}

TEST_F(TesiraBackend, LoginIsAskedForGivenAndKeptAcrossARestart) {
    sim_client sim = start_server({"--login", "admin:orva", "--system", "Hall System"});
    std::string logins_file;
    {
        orva_test::backend_process backend(with_block());
        ASSERT_TRUE(backend.ready());
        const std::string servers =
            get_body_when("/api/login_devices", [](const std::string& b) { return has(b, "Hall System"); });
        EXPECT_EQ(servers, "{\"server\":\"Hall System\"}");
        EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"offline\""), "offline"));

        const std::string wrong = post(
            "{\"method\":\"login\",\"systemname\":\"Hall System\",\"username\":\"admin\",\"password\":\"nope\"}");
        const std::string refused =
            get_body_when("/requests/" + wrong, [](const std::string& b) { return has(b, "\"status\":\"fail\""); });
        EXPECT_TRUE(has(refused, "\"login_result\":\"3\"")) << refused;

        post("{\"method\":\"login\",\"systemname\":\"Hall System\",\"username\":\"admin\",\"password\":\"orva\"}");
        EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\"", 40s), "online")) << backend.log();
        EXPECT_EQ(http_get("/api/login_devices").body, "{}");
        struct stat info {};
        ASSERT_EQ(::stat((backend.data_folder() + "/logins.xml").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        std::ifstream in(backend.data_folder() + "/logins.xml");
        logins_file.assign(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(backend.stop(), 0);
    }
    // A new start with the stored login connects without asking.
    orva_test::backend_process restarted(with_block({{"logins.xml", logins_file}}));
    ASSERT_TRUE(restarted.ready());
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\""), "online")) << restarted.log();
    EXPECT_EQ(http_get("/api/login_devices").body, "{}");
}

class TesiraServerFaults : public TesiraBackend {
protected:
    TesiraServerFaults() : sim_(start_server()), backend_(with_block()) {}
    void SetUp() override {
        ASSERT_TRUE(backend_.ready());
        ASSERT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\""), "online")) << backend_.log();
    }
    // True once the server has received more command lines after a "clear".
    bool monitoring_goes_on() {
        sim_.expect_ok("clear");
        for (int i = 0; i < 100; ++i) {
            if (sim_.received().size() > 2) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
    sim_client sim_;
    orva_test::backend_process backend_;
};

TEST_F(TesiraServerFaults, RefusedConnectionsTakeTheFrameOfflineUntilTheServerReturns) {
    sim_.expect_ok("fault refuse");
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"offline\""), "offline")) << backend_.log();
    sim_.expect_ok("fault none");
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\"", 40s), "online")) << backend_.log();
}

TEST_F(TesiraServerFaults, ErrorRepliesTakeTheFrameOfflineUntilTheyEnd) {
    sim_.expect_ok("fault error");
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"offline\""), "offline"));
    sim_.expect_ok("fault none");
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\"", 40s), "online")) << backend_.log();
}

TEST_F(TesiraServerFaults, ReplyDroppedMidwayCostsOneReconnection) {
    sim_.expect_ok("fault drop count=1");
    EXPECT_TRUE(backend_.wait_for_log("tesira reply cut short", 20s)) << backend_.log();
    EXPECT_TRUE(monitoring_goes_on());  // over the new connection
    EXPECT_TRUE(has(http_get("/frames/1").body, "\"mon_network_status\":\"online\""));
}

TEST_F(TesiraServerFaults, StalledReplyCostsItsTimeOutAndMonitoringGoesOn) {
    sim_.expect_ok("fault stall count=1");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(backend_.wait_for_log("failed to read param: ", 20s)) << backend_.log();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 12s);
    EXPECT_TRUE(monitoring_goes_on());
}

TEST_F(TesiraServerFaults, LoginRequiredMidwayIsReportedAndALoginReconnects) {
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.connected());
    sim_.expect_ok("credentials admin orva");
    sim_.expect_ok("fault login");
    EXPECT_TRUE(ws.wait_for("login_required", 20s));
    const std::string servers =
        get_body_when("/api/login_devices", [](const std::string& b) { return has(b, "server"); }, 30s);
    EXPECT_EQ(servers, "{\"server\":\"TesiraServer\"}") << backend_.log();
    post("{\"method\":\"login\",\"systemname\":\"TesiraServer\",\"username\":\"admin\",\"password\":\"orva\"}");
    EXPECT_TRUE(backend_.wait_for_log("Managed to connect to tesira as user admin", 20s)) << backend_.log();
    EXPECT_TRUE(has(frame_when(1, "\"mon_network_status\":\"online\"", 40s), "online"));
}

}  // namespace
