// The whole system from the launcher's side, on a machine where nothing runs yet:
// orva_cmdline starts orva_ui, orva_ui brings up orva_backend, the refresh on the test
// network discovers the simulated amplifier and downloads it, and orva_ui is asked to open
// the amplifier's page. Runs in the network sandbox with a private installation folder.
#include "tests/launcher/test_support.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <thread>

namespace {

using namespace test_support;
using mira_sim::sim_client;

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Ends every process started from `folder` (the backend and orva_ui run detached).
void kill_programs_in(const std::string& folder) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        char target[4096];
        std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        if (std::string(target, static_cast<size_t>(n)).rfind(folder + "/", 0) == 0)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    ::closedir(proc);
}

// A private installation folder with the programs, the template and the web UI.
std::string install_into(const temp_dir& root) {
    const std::string install = root.path() + "/install";
    const char* bin = std::getenv("ORVA_BIN_DIR");
    if (bin == nullptr) return {};
    if (std::system(("mkdir -p " + install + " && cp -r " + bin + "/orva_backend " + bin + "/orva_ui " + bin +
                     "/orva_cmdline " + bin + "/template_configuration_orva.xml " + bin + "/html " + install)
                        .c_str()) != 0) {
        return {};
    }
    return install;
}

// The backend has stopped: nothing listens on its port any more, or (while its listening
// socket closes) a connection is dropped without an answer.
bool backend_stopped() {
    const std::string answer = converse(8080, "GET / HTTP/1.0\r\n\r\n", true);
    return answer.empty() || answer == "<refused>";
}

TEST(SystemTest, MiraAmplifierOpensThroughTheWholeChain) {
    temp_dir root;
    const std::string install = install_into(root);
    ASSERT_FALSE(install.empty());

    sim_client sim(sim_client::default_program(), {"--amp", "00000007:00000001"});
    const std::map<std::string, std::string> env = {
        {"XDG_DATA_HOME", root.path() + "/data"}, {"HOME", root.path()},
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    const std::string output = root.path() + "/output.txt";
    {
        child_process launcher(install + "/orva_cmdline", {"-s", "mira", "-i", "10.99.0.1", "-a", "amp 7"},
                               env, output);
        EXPECT_EQ(launcher.wait_exit(60000ms), 0);
    }

    // orva_ui inherited the launcher's output and prints the page it was asked to open.
    EXPECT_TRUE(eventually([&] {
        return read_file(output).find("http://127.0.0.1:8080/#frames/search/amp 7") != std::string::npos;
    }, 10000ms)) << read_file(output);

    // The refresh discovered the amplifier and its download ran.
    std::string frames;
    EXPECT_TRUE(eventually([&] {
        frames = converse(8080, "GET /frames HTTP/1.0\r\n\r\n", true);
        return frames.find("\"device_id\":\"00000007:00000001\"") != std::string::npos &&
               frames.find("\"synced\":\"true\"") != std::string::npos;
    }, 20000ms)) << frames;

    const std::string launcher_log = log_messages(install + "/orva.log");
    EXPECT_NE(launcher_log.find("Starting ORVA in full UI mode"), std::string::npos) << launcher_log;
    EXPECT_NE(launcher_log.find("\"network_interface\": \"10.99.0.1\""), std::string::npos) << launcher_log;

    // Stop the backend through its quit port, then the shell.
    EXPECT_EQ(converse(27027, "SIGINT", true), "+OK");
    EXPECT_TRUE(eventually(backend_stopped, 15000ms));
    kill_programs_in(install);
}

}  // namespace

namespace {

TEST(SystemTest, TesiraAmplifierOpensAndATesiraFileImportsThroughTheWholeChain) {
    temp_dir root;
    const std::string install = install_into(root);
    ASSERT_FALSE(install.empty());
    sim_client sim(sim_client::program("orva_tesira_sim"),
                   {"--bind", "10.99.0.2", "--block", "AmpBlock1=Balcony left", "--block", "AmpBlock2=Balcony right"});
    const std::map<std::string, std::string> env = {
        {"XDG_DATA_HOME", root.path() + "/data"}, {"HOME", root.path()}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    const std::string output = root.path() + "/output.txt";
    {
        child_process launcher(install + "/orva_cmdline", {"-s", "tesira", "-i", "10.99.0.2", "-a", "AmpBlock1"},
                               env, output);
        EXPECT_EQ(launcher.wait_exit(60000ms), 0);
    }
    EXPECT_TRUE(eventually([&] {
        return read_file(output).find("http://127.0.0.1:8080/#frames/search/AmpBlock1") != std::string::npos;
    }, 10000ms)) << read_file(output);

    // The association named the frame from the server, and its read ran.
    std::string frames;
    EXPECT_TRUE(eventually([&] {
        frames = converse(8080, "GET /frames HTTP/1.0\r\n\r\n", true);
        return frames.find("\"name\":\"Balcony left\"") != std::string::npos &&
               frames.find("\"synced\":\"true\"") != std::string::npos;
    }, 20000ms)) << frames;

    // A second launch finds the frame and only opens its page; a file import adds the other.
    const std::string file = root.path() + "/hall.xml";
    std::ofstream(file) << "<Tesira><Blocks><B instanceTag=\"AmpBlock2\" proxyIPAddress=\"10.99.0.2\">"
                           "<ampName>Balcony right</ampName></B></Blocks></Tesira>";
    {
        child_process again(install + "/orva_cmdline", {"-s", "tesira", "-i", "10.99.0.2", "-a", "AmpBlock1"}, env,
                            root.path() + "/again.txt");
        EXPECT_EQ(again.wait_exit(60000ms), 0);
        child_process import(install + "/orva_cmdline", {"-c", file}, env, root.path() + "/import.txt");
        EXPECT_EQ(import.wait_exit(60000ms), 0);
    }
    EXPECT_TRUE(eventually([&] {
        frames = converse(8080, "GET /frames HTTP/1.0\r\n\r\n", true);
        return frames.find("\"device_id\":\"AmpBlock2\"") != std::string::npos;
    }, 20000ms)) << frames;
    const std::string launcher_log = log_messages(install + "/orva.log");
    EXPECT_EQ(count_of(launcher_log, "\"method\": \"assoc_tesira\""), 1u) << launcher_log;
    EXPECT_NE(launcher_log.find("\"method\": \"import_tesira\""), std::string::npos) << launcher_log;

    EXPECT_EQ(converse(27027, "SIGINT", true), "+OK");
    EXPECT_TRUE(eventually(backend_stopped, 15000ms));
    kill_programs_in(install);
}

}  // namespace
