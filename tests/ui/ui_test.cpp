// orva_ui as a process in a temporary installation folder beside a fake orva_backend
// script (network sandbox: the command port 27028 and 8080 are the test's own).
#include "tests/launcher/test_support.h"
#include "ui/command.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace test_support;
using nox::ui::command_kind;
using nox::ui::parse_command;

TEST(Command, ParsesOpenUrlAndEnsureBackend) {
    auto open = parse_command("OPENURL http://127.0.0.1:8080/#frames/search/Amp 1");
    EXPECT_EQ(open.kind, command_kind::open_url);
    EXPECT_EQ(open.argument, "http://127.0.0.1:8080/#frames/search/Amp 1");
    EXPECT_EQ(parse_command("OPENURL http://x/\r\n").argument, "http://x/");
    EXPECT_EQ(parse_command("OPENURL a \n").argument, "a ");
    EXPECT_EQ(parse_command("OPENURL").argument, "");
    EXPECT_EQ(parse_command("OPENURL").kind, command_kind::open_url);
    EXPECT_EQ(parse_command("ENSUREBACKEND\n").kind, command_kind::ensure_backend);
    EXPECT_EQ(parse_command("openurl http://x/").kind, command_kind::unknown);
    EXPECT_EQ(parse_command("").kind, command_kind::unknown);
}

TEST(Command, OnlyWebPagesAreAcceptable) {
    EXPECT_TRUE(nox::ui::acceptable_url("http://127.0.0.1:8080/#frames/search/Amp 1"));
    EXPECT_TRUE(nox::ui::acceptable_url("https://127.0.0.1:8443/"));
    EXPECT_FALSE(nox::ui::acceptable_url("file:///tmp/x.desktop"));
    EXPECT_FALSE(nox::ui::acceptable_url("/tmp/x.desktop"));
    EXPECT_FALSE(nox::ui::acceptable_url("--help"));
    EXPECT_FALSE(nox::ui::acceptable_url("http://a/\x1b[2J"));
    EXPECT_FALSE(nox::ui::acceptable_url("http://a/\x7f"));
}

class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("ORVA_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        std::filesystem::copy_file(std::string(bin) + "/orva_ui", dir_ / "orva_ui");
        fake_backend("");
    }
    void TearDown() override {
        // A fake backend that stays up (as "sleep") is this test's to end; an id whose
        // process has gone is left alone, since it may belong to someone else by now.
        auto pid = backend_pid();
        if (pid > 0 && read_file("/proc/" + std::to_string(pid) + "/comm") == "sleep\n")
            ::kill(pid, SIGKILL);
    }

    // The fake backend records "<pid> <session id>", then runs `then`.
    void fake_backend(const std::string& then) {
        const std::string marker = dir_ / "backend_started";
        write_file(dir_ / "orva_backend",
                   "#!/bin/sh\necho \"$$ $(cut -d' ' -f6 /proc/$$/stat)\" > " + marker + ".tmp\n"
                   "mv " + marker + ".tmp " + marker + "\n" + then + "\n",
                   true);
    }
    pid_t backend_pid() {
        std::istringstream ids(read_file(dir_ / "backend_started"));
        long pid = -1;
        ids >> pid;
        return static_cast<pid_t>(pid);
    }
    pid_t backend_session() {
        std::istringstream ids(read_file(dir_ / "backend_started"));
        long pid = -1, sid = -1;
        ids >> pid >> sid;
        return static_cast<pid_t>(sid);
    }

    // Starts orva_ui without a desktop unless `environment` says otherwise, and waits
    // until it serves its port.
    std::unique_ptr<child_process> start(const std::vector<std::string>& urls,
                                         std::map<std::string, std::string> environment = {},
                                         const std::string& output = "ui.out") {
        environment.emplace("DISPLAY", "");
        environment.emplace("WAYLAND_DISPLAY", "");
        auto ui = std::make_unique<child_process>(dir_ / "orva_ui", urls, environment, dir_ / output);
        EXPECT_TRUE(eventually([&] { return has_logged("orva_ui serves port 27028"); }));
        return ui;
    }
    bool has_logged(const std::string& text) {
        return read_file(dir_ / "orva_ui.log").find(text) != std::string::npos;
    }
    std::string output(const std::string& name = "ui.out") { return read_file(dir_ / name); }
    bool printed(const std::string& url, const std::string& name = "ui.out") {
        return output(name).find("Open in a browser: " + url + "\n") != std::string::npos;
    }

    temp_dir dir_;
};

TEST_F(Shell, AnswersOpenUrlAndPrintsThePageWithoutDesktop) {
    auto ui = start({"http://127.0.0.1:8080/#frames/search/first"});
    // As the launcher sends it: no line end, the sending side left open.
    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#frames/search/Amp 1", false), "+OK");
    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#flexi/search/x\n", false), "+OK");
    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#flexi/search/y", true), "+OK");
    EXPECT_EQ(converse(27028, "OPENURL", true), "-ERR missing url");
    EXPECT_EQ(converse(27028, "HELLO", true), "-ERR unknown command");
    EXPECT_EQ(converse(27028, "OPENURL /tmp/run.desktop", true), "-ERR only http and https pages are opened");
    EXPECT_EQ(converse(27028, "", true), "");  // nothing sent: closed without an answer
    EXPECT_EQ(output(),
              "Open in a browser: http://127.0.0.1:8080/#frames/search/first\n"
              "Open in a browser: http://127.0.0.1:8080/#frames/search/Amp 1\n"
              "Open in a browser: http://127.0.0.1:8080/#flexi/search/x\n"
              "Open in a browser: http://127.0.0.1:8080/#flexi/search/y\n");
    EXPECT_TRUE(has_logged("Received: OPENURL http://127.0.0.1:8080/#frames/search/Amp 1\n"));
    ui->signal(SIGTERM);
    EXPECT_EQ(ui->wait_exit(5s), 0);
    EXPECT_TRUE(has_logged("orva_ui stopping"));
}

TEST_F(Shell, SlowCommandsDoNotHoldOthersUp) {
    auto ui = start({});
    int idle = connect_to(27028);  // connects and sends nothing
    ASSERT_GE(idle, 0);
    auto begin = steady::now();
    EXPECT_EQ(converse(27028, "OPENURL http://a/", true), "+OK");
    EXPECT_LT(steady::now() - begin, 2s);
    ::close(idle);
}

TEST_F(Shell, StartsTheBackendBesideItInItsOwnSessionAndLetsItOutliveTheShell) {
    fake_backend("exec sleep 30");
    auto ui = start({});
    ASSERT_TRUE(eventually([&] { return backend_pid() > 0; }));
    EXPECT_EQ(backend_session(), backend_pid());
    EXPECT_TRUE(has_logged("orva_backend does not answer on port 8080"));
    // The shell logs the start after the spawn returned: the child may be seen first.
    EXPECT_TRUE(eventually([&] { return has_logged("Started " + (dir_ / "orva_backend")); }));
    ui->signal(SIGTERM);
    EXPECT_EQ(ui->wait_exit(5s), 0);
    EXPECT_EQ(::kill(backend_pid(), 0), 0) << "the backend still runs";
}

TEST_F(Shell, AnsweringBackendIsNotStartedAgain) {
    fake_peer backend(8080, fake_peer::framing::http, [](int fd, const std::string&, size_t) {
        send_bytes(fd, http_reply("<html></html>"));
    });
    auto ui = start({});
    EXPECT_TRUE(eventually([&] { return has_logged("orva_backend answers on port 8080"); }));
    EXPECT_EQ(backend.requests(), (std::vector<std::string>{"GET / HTTP/1.1\r\n\r\n"}));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "backend_started"));
}

TEST_F(Shell, MissingBackendProgramIsLoggedAndTheShellServesOn) {
    std::filesystem::remove(dir_ / "orva_backend");
    auto ui = start({});
    EXPECT_TRUE(eventually([&] { return has_logged("Failed to find executable: " + (dir_ / "orva_backend")); }));
    EXPECT_EQ(converse(27028, "OPENURL http://a/", true), "+OK");
}

TEST_F(Shell, SecondInstanceHandsItsWorkOverAndExits) {
    fake_backend("exec sleep 30");
    auto first = start({});
    ASSERT_TRUE(eventually([&] { return backend_pid() > 0; }));
    child_process second(dir_ / "orva_ui", {"http://127.0.0.1:8080/#frames/search/B"},
                         {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}, dir_ / "second.out");
    EXPECT_EQ(second.wait_exit(10s), 0);
    EXPECT_EQ(output("second.out"), "orva_ui already runs; handed over to it\n");
    EXPECT_TRUE(eventually([&] { return printed("http://127.0.0.1:8080/#frames/search/B"); }));
    EXPECT_TRUE(has_logged("Received: ENSUREBACKEND\n"));
    // The first shell's backend still runs, so it is not started twice.
    EXPECT_TRUE(has_logged("orva_backend was started by this shell and still runs"));
}

TEST_F(Shell, SecondInstanceRestartsABackendThatHasGone) {
    auto first = start({});  // its fake backend exits at once
    ASSERT_TRUE(eventually([&] { return has_logged("ended with exit status 0"); }));
    std::filesystem::remove(dir_ / "backend_started");
    child_process second(dir_ / "orva_ui", {}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}, dir_ / "second.out");
    EXPECT_EQ(second.wait_exit(10s), 0);
    EXPECT_TRUE(eventually([&] { return backend_pid() > 0; }));
}

TEST_F(Shell, OpensPagesWithXdgOpenOnADesktopAndPrintsThemWhenThatFails) {
    std::filesystem::create_directory(dir_ / "bin");
    const std::string opened = dir_ / "opened";
    auto xdg_open = [&](int status) {
        write_file(dir_ / "bin/xdg-open.tmp",
                   "#!/bin/sh\necho \"$1\" >> " + opened + "\nexit " + std::to_string(status) + "\n", true);
        std::filesystem::rename(dir_ / "bin/xdg-open.tmp", dir_ / "bin/xdg-open");
    };
    xdg_open(0);
    auto ui = start({}, {{"DISPLAY", ":99"}, {"PATH", dir_ / "bin"}});

    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#frames/search/ok", false), "+OK");
    EXPECT_TRUE(eventually([&] { return read_file(opened) == "http://127.0.0.1:8080/#frames/search/ok\n"; }));
    xdg_open(3);
    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#frames/search/fails", true), "+OK");
    EXPECT_TRUE(eventually([&] { return printed("http://127.0.0.1:8080/#frames/search/fails"); }));
    std::filesystem::remove(dir_ / "bin/xdg-open");
    EXPECT_EQ(converse(27028, "OPENURL http://127.0.0.1:8080/#frames/search/missing", true), "+OK");
    EXPECT_TRUE(eventually([&] { return printed("http://127.0.0.1:8080/#frames/search/missing"); }));
    EXPECT_FALSE(printed("http://127.0.0.1:8080/#frames/search/ok"));
}

}  // namespace
