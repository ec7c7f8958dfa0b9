// orva_cmdline as a process, copied into a temporary installation folder beside a fake
// orva_ui script, against a fake backend on 8080 and a fake UI on 27028 (network sandbox).
#include "tests/launcher/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace test_support;
using framing = fake_peer::framing;

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("ORVA_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        std::filesystem::copy_file(std::string(bin) + "/orva_cmdline", dir_ / "orva_cmdline");
    }
    int run(const std::vector<std::string>& arguments) {
        child_process launcher(dir_ / "orva_cmdline", arguments, {}, dir_ / "out.txt");
        return launcher.wait_exit(30s);
    }
    temp_dir dir_;
};

TEST_F(Program, UsageGoesToStandardOutputWithExitCode1) {
    EXPECT_EQ(run({"-s", "ampA1", "-i"}), 1);
    std::string out = read_file(dir_ / "out.txt");
    EXPECT_EQ(out.rfind("usage: orva_cmdline [-s hostname]", 0), 0u);
    EXPECT_TRUE(out.ends_with("-a \"Amplifier number 1\" -r true\n"));
    // The log lies beside the executable and holds the arguments.
    EXPECT_EQ(log_messages(dir_ / "orva.log"), joined_lines({dir_ / "orva_cmdline", "-s", "ampA1", "-i"}));
}

TEST_F(Program, StartsTheUiBesideItselfAndOpensThePageOnceTheBackendAnswers) {
    // The fake UI records its process and session ids; the backend answers GET / only
    // once the UI has run.
    const std::string marker = dir_ / "ui_started";
    write_file(dir_ / "orva_ui",
               "#!/bin/sh\necho \"$$ $(cut -d' ' -f6 /proc/$$/stat)\" > " + marker + ".tmp\n"
               "mv " + marker + ".tmp " + marker + "\n",
               true);
    fake_peer backend(8080, framing::http, [&](int fd, const std::string& request, size_t) {
        if (request == "GET / HTTP/1.1\r\n\r\n") {
            if (std::filesystem::exists(marker)) send_bytes(fd, http_reply("<html></html>"));
        } else if (request == "GET /frames/ HTTP/1.1\r\n\r\n") {
            send_bytes(fd, http_reply("[]"));
        } else {
            send_bytes(fd, http_reply("{}"));
        }
    });
    fake_peer ui(27028, framing::quiet, [](int fd, const std::string&, size_t) { send_bytes(fd, "+OK"); });

    EXPECT_EQ(run({"-s", "mira", "-i", "10.99.0.1", "-a", "Amp 1", "-r", "true"}), 0);

    std::istringstream ids(read_file(marker));
    long pid = 0, sid = -1;
    ids >> pid >> sid;
    EXPECT_EQ(pid, sid) << "the UI leads its own session";
    EXPECT_EQ(ui.requests(), (std::vector<std::string>{"OPENURL http://127.0.0.1:8080/#flexi/search/Amp 1"}));
    const std::string body =
        "{\n    \"method\": \"refresh\",\n    \"status\": \"wait\",\n    \"network_interface\": \"10.99.0.1\"\n}\n";
    const std::string post = "POST /requests HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(log_messages(dir_ / "orva.log"),
              joined_lines({dir_ / "orva_cmdline", "-s", "mira", "-i", "10.99.0.1", "-a", "Amp 1", "-r", "true",
                            "", "Current path: " + dir_.path(), "Starting ORVA in full UI mode",
                            http_reply("[]"), post, http_reply("{}"), "+OK"}));
}

}  // namespace
