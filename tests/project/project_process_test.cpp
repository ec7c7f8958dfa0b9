// orva_backend as a process, inside the network sandbox: saving a project under a name,
// listing and reading the saved projects and opening one again, all over HTTP with the
// results followed on the WebSocket as a user interface does (the refusals are tested
// without a process); an opened project whose
// frames name simulated amplifiers is monitored online; copies made for downloads do not
// outlive the backend.
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/jobs.h"
#include "tests/support/ws_client.h"
#include "tools/mira_sim/sim_client.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;
using orva_test::run_job;
namespace pt = boost::property_tree;

const std::string first = "0000abcd:00000001";
const std::string second = "0000abcd:00000002";

pt::ptree json(const std::string& text) {
    std::istringstream in(text);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

// A JSON string literal of `text` (for request bodies).
std::string json_text(const std::string& text) {
    pt::ptree tree;
    tree.put("v", text);
    std::ostringstream out;
    pt::write_json(out, tree, false);
    const std::string all = out.str();  // {"v":"..."}\n
    return all.substr(5, all.rfind('}') - 5);
}

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

// An attribute of a finished request; "<absent>" when it has none.
std::string of(const std::map<std::string, std::string>& request, const std::string& key) {
    auto it = request.find(key);
    return it == request.end() ? "<absent>" : it->second;
}

// A project of two frames on the simulated amplifiers, choosing the interface `chosen`.
std::string amplifier_project(const std::string& chosen) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><settings><setting><id>1</id>"
                      "<selected_interface>" + chosen + "</selected_interface><project>Stage</project>"
                      "</setting></settings><frames>";
    const std::string ids[] = {first, second};
    for (int f = 0; f < 2; ++f) {
        const int c = f * 4 + 1;
        xml += "<frame><id>" + std::to_string(f + 1) + "</id><frame_type>mira</frame_type><name>Amp</name>"
               "<synced>true</synced><device_id>" + ids[f] + "</device_id><module_class>2</module_class><channels>" +
               std::to_string(c) + " " + std::to_string(c + 1) + " " + std::to_string(c + 2) + " " +
               std::to_string(c + 3) + "</channels></frame>";
    }
    xml += "</frames><channels>";
    for (int f = 0; f < 2; ++f)
        for (int k = 0; k < 4; ++k)
            xml += "<channel><id>" + std::to_string(f * 4 + k + 1) + "</id><frame_id>" + std::to_string(f + 1) +
                   "</frame_id><frame_type>mira</frame_type><device_id>" + ids[f] + "</device_id></channel>";
    return xml + "</channels></configuration>";
}

TEST(ProjectProcess, SaveListReadAndOpenOverHttp) {
    orva_test::backend_process backend;
    ASSERT_TRUE(backend.ready());
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.connected());
    EXPECT_EQ(http_get("/api/projects").body, "[]");
    // A second client watches the settings.
    orva_test::ws_client watcher;
    ASSERT_EQ(http_call("POST", "/api/subscribe/", R"({"id":"1","type":"settings"})").status, 200);

    auto saved = run_job(ws, R"({"method":"export_config","mode":"save_as","filename":"Main hall.xml","project":"Main hall"})");
    EXPECT_EQ(of(saved, "status"), "done");
    EXPECT_EQ(of(saved, "export_result"), "0");
    EXPECT_EQ(of(saved, "output_path"), backend.projects_folder() + "/Main hall.xml");
    bool announced = false;
    while (auto message = watcher.next(2s)) {
        if (has(message->payload, R"("type":"settings")") && has(message->payload, R"("filename":"Main hall.xml")") &&
            has(message->payload, R"("project":"Main hall")")) {
            announced = true;
            break;
        }
    }
    EXPECT_TRUE(announced) << "the new names are announced to subscribers of the settings";
    auto again = run_job(ws, R"({"method":"export_config","mode":"save_as","filename":"Main hall.xml","project":"Other"})");
    EXPECT_EQ(of(again, "status"), "done");
    EXPECT_EQ(of(again, "export_result"), "2") << "the user is asked before overwriting";

    const auto list = json(http_get("/api/projects").body);
    ASSERT_EQ(list.size(), 1u);
    const auto& entry = list.front().second;
    EXPECT_EQ(entry.get("filename", ""), "Main hall.xml");
    EXPECT_EQ(entry.get("project", ""), "Main hall");
    EXPECT_EQ(entry.get("size", ""), std::to_string(std::filesystem::file_size(backend.projects_folder() + "/Main hall.xml")));
    EXPECT_EQ(entry.get("modified", "").size(), 20u);

    auto file = http_get("/api/projects/Main%20hall.xml");
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.headers["content-type"], "application/xml");
    EXPECT_TRUE(has(file.body, "<project>Main hall</project>"));
    EXPECT_EQ(http_get("/api/projects/missing.xml").status, 404);
    const auto outside = http_get("/api/projects/..%2F..%2F.local%2Fshare%2FOrva%2Fconfiguration_orva.xml");
    EXPECT_TRUE(outside.status == 400 || outside.status == 404) << outside.status;
    EXPECT_EQ(http_call("DELETE", "/api/projects/Main%20hall.xml").status, 400);

    // A new project, then the saved one opened again from its text.
    auto fresh = run_job(ws, R"({"method":"import_config","data":"empty configuration"})");
    EXPECT_EQ(of(fresh, "status"), "done");
    EXPECT_FALSE(has(http_get("/settings").body, "Main hall"));
    auto opened = run_job(ws, "{\"method\":\"import_config\",\"data\":" + json_text(file.body) + "}");
    EXPECT_EQ(of(opened, "status"), "done");
    EXPECT_EQ(of(opened, "data"), "") << "the text is not kept with the request";
    const std::string settings = http_get("/settings").body;
    EXPECT_TRUE(has(settings, "\"project\":\"Main hall\"")) << settings;
    EXPECT_TRUE(has(settings, "\"filename\":\"Main hall.xml\"")) << settings;
    EXPECT_EQ(http_get("/api/project_status").body, "{\"project_dirty\": \"false\"}");

    EXPECT_EQ(backend.stop(), 0);
}

TEST(ProjectProcess, AnOpenedProjectsAmplifiersAreMonitoredOnTheChosenInterface) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(),
                             std::vector<std::string>{"--amp", first + ",kind=2", "--amp", second + ",kind=2"});
    orva_test::backend_process backend;
    ASSERT_TRUE(backend.ready());
    ASSERT_EQ(http_call("POST", "/api/mira_discovery_settings", R"({"selected_ip":"10.99.0.1"})").status, 200);
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.connected());

    // The file was saved on a machine whose interface was 10.99.0.2: this machine's choice stays.
    auto opened = run_job(ws, "{\"method\":\"import_config\",\"data\":" + json_text(amplifier_project("10.99.0.2")) + "}");
    ASSERT_EQ(of(opened, "status"), "done") << of(opened, "error");
    EXPECT_TRUE(has(http_get("/settings").body, "\"selected_interface\":\"10.99.0.1\""));
    for (const char* frame : {"/frames/1", "/frames/2"}) {
        const std::string body = orva_test::get_body_when(frame, [](const std::string& b) {
            return has(b, "\"mon_network_status\":\"online\"");
        });
        EXPECT_TRUE(has(body, "\"mon_network_status\":\"online\"")) << frame << body << backend.log();
    }
    EXPECT_EQ(backend.stop(), 0);
}

TEST(ProjectProcess, DownloadCopiesDoNotOutliveTheBackend) {
    orva_test::backend_process::options options;
    options.data_files["configuration_orva.xml.download-Ab12Cd"] = "left by an earlier run";
    orva_test::backend_process backend(options);
    ASSERT_TRUE(backend.ready());
    auto copies = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(backend.data_folder()))
            // (A copy being written shows for a moment as "<copy>.new.XXXXXX" too.)
            if (const std::string name = entry.path().filename().string();
                name.rfind("configuration_orva.xml.download-", 0) == 0 && !has(name, ".new."))
                names.push_back(name);
        return names;
    };
    EXPECT_TRUE(copies().empty()) << "swept at start";

    ASSERT_EQ(http_call("POST", "/requests", R"({"method":"sync","status":"start","direction":"get"})").status, 200);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (copies().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(copies().size(), 1u) << "a download keeps a copy while its request is stored";

    EXPECT_EQ(backend.stop(), 0);
    EXPECT_TRUE(copies().empty()) << "removed at shutdown";
    for (const auto& entry : std::filesystem::directory_iterator(backend.data_folder()))
        EXPECT_FALSE(has(entry.path().filename().string(), ".download-")) << entry.path();
}

}  // namespace
