// orva_backend as a process: start-up texts, the lock file, the quit port, signals,
// orderly shutdown and the exits for a broken installation. Runs inside the network
// sandbox, so the ports are this test's own.
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nox::platform::read_file;

// One exchange with the quit port; empty when nothing listens.
std::string quit_port(const std::string& message, bool half_close = true) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(27027);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return {};
    }
    ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    if (half_close) ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[64];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

class BackendProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orva_backend_test.XXXXXX";
        root_ = ::mkdtemp(pattern);
        install_ = root_ + "/install";
        data_ = root_ + "/data";
        const char* bin = std::getenv("ORVA_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        // A private installation folder, so that tests can break it.
        ASSERT_EQ(std::system(("mkdir -p " + install_ + "/html " + data_ + " && cp " + bin +
                               "/orva_backend " + bin + "/template_configuration_orva.xml " +
                               install_ + "/ && cp " + bin + "/html/index.html " + install_ +
                               "/html/").c_str()),
                  0);
    }
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::system(("rm -rf " + root_).c_str());
    }

    std::string orva() const { return data_ + "/Orva"; }
    std::string log_text() const { return read_file(orva() + "/orva.log").value_or(""); }
    std::string lock_text() const { return read_file(orva() + "/main.pid").value_or("<none>"); }

    pid_t start(const std::string& stdout_file = "stdout.txt") { return start_with(data_, stdout_file); }
    pid_t start_with(const std::string& data_home, const std::string& stdout_file) {
        std::string program = install_ + "/orva_backend";
        std::string out = root_ + "/" + stdout_file;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> env_text = {"XDG_DATA_HOME=" + data_home, "HOME=" + root_, "PATH=/usr/bin:/bin"};
        std::vector<char*> env;
        for (auto& e : env_text) env.push_back(e.data());
        env.push_back(nullptr);
        char* argv[] = {program.data(), nullptr};
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        running_.push_back(pid);
        return pid;
    }
    // Waits until the quit port answers PING.
    bool wait_ready() {
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
            if (quit_port("PING") == "+OK") return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // The exit status, or -1 when the process did not end in time.
    int wait_exit(pid_t pid, std::chrono::milliseconds limit = 10s) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                running_.erase(std::find(running_.begin(), running_.end(), pid));
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    std::string root_, install_, data_;
    std::vector<pid_t> running_;
};

TEST_F(BackendProcess, StartsLocksLogsAndStopsInOrder) {
    pid_t pid = start();
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(read_file(root_ + "/stdout.txt").value_or(""),
              "Writing configuration and logs to: " + orva() + "\n");
    EXPECT_EQ(lock_text(), std::to_string(pid));
    std::string log = log_text();
    EXPECT_NE(log.find("] Log truncated\n["), std::string::npos);
    EXPECT_NE(log.find("] starting main version:1.3.3.3\n"), std::string::npos);
    EXPECT_NE(log.find("] version with revision:1.3.3.10303003\n"), std::string::npos);
    EXPECT_NE(log.find("] Wrote pidfile: " + orva() + "/main.pid\n"), std::string::npos);
    EXPECT_EQ(log.rfind("[", 0), 0u);

    EXPECT_EQ(quit_port("SIGINT"), "+OK");
    EXPECT_EQ(wait_exit(pid), 0);
    log = log_text();
    for (const char* text : {"Received SIGINT signal from port 27027, stopping all threads and exiting",
                             "Waiting for threads to finish...", "Clearing thread pool...",
                             "Stopping web server...", "Saving data model...", "KTHXBAI!"})
        EXPECT_NE(log.find(text), std::string::npos) << text;
    EXPECT_LT(log.find("Saving data model..."), log.find("KTHXBAI!"));
    EXPECT_EQ(lock_text(), "<none>");
    EXPECT_TRUE(nox::platform::file_readable(orva() + "/configuration_orva.xml"));
}

TEST_F(BackendProcess, SecondInstanceExitsAndLeavesTheLock) {
    pid_t first = start();
    ASSERT_TRUE(wait_ready());
    pid_t second = start("second.txt");
    EXPECT_EQ(wait_exit(second), 1);
    EXPECT_EQ(lock_text(), std::to_string(first));
    EXPECT_NE(log_text().find("pidfile exists and seems we are already running! exiting!"),
              std::string::npos);
    EXPECT_EQ(quit_port("PING"), "+OK");
}

TEST_F(BackendProcess, StaleLockFilesAreReplaced) {
    // A process that ran another program, a process that has gone, and garbage.
    pid_t other = ::fork();
    if (other == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(1);
    }
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    for (std::string content : {std::to_string(other), std::to_string(gone), std::string("garbage\n\x01")}) {
        ASSERT_EQ(std::system(("mkdir -p " + orva()).c_str()), 0);
        std::ofstream(orva() + "/main.pid") << content;
        pid_t pid = start();
        ASSERT_TRUE(wait_ready()) << content;
        EXPECT_EQ(lock_text(), std::to_string(pid));
        EXPECT_NE(log_text().find("pidfile existed, but not running backend?"), std::string::npos);
        EXPECT_EQ(quit_port("SIGINT"), "+OK");
        EXPECT_EQ(wait_exit(pid), 0);
    }
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

TEST_F(BackendProcess, QuitPortAnswersOnlyExactMessages) {
    pid_t pid = start();
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(quit_port("SIGINT\n"), "-ERR");
    EXPECT_EQ(quit_port("sigint"), "-ERR");
    EXPECT_EQ(quit_port(""), "-ERR");
    std::string long_message(1500, 'x');
    EXPECT_EQ(quit_port(long_message), "-ERR");
    EXPECT_EQ(quit_port(std::string(512, 'y')), "-ERR");
    EXPECT_EQ(quit_port(std::string("\0\xff", 2)), "-ERR");
    std::string log = log_text();
    EXPECT_NE(log.find("] " + long_message + "\n"), std::string::npos);  // read and logged whole
    EXPECT_NE(log.find("] " + std::string(512, 'y') + "\n"), std::string::npos);
    EXPECT_EQ(wait_exit(pid, 100ms), -1);  // still running
    EXPECT_EQ(quit_port("PING"), "+OK");
    EXPECT_EQ(quit_port("SIGINT"), "+OK");
    EXPECT_EQ(wait_exit(pid), 0);
}

TEST_F(BackendProcess, SignalsStopItWithoutAConnection) {
    for (int signal : {SIGTERM, SIGINT}) {
        pid_t pid = start();
        ASSERT_TRUE(wait_ready());
        ::kill(pid, signal);
        EXPECT_EQ(wait_exit(pid, 3s), 0) << signal;
        EXPECT_NE(log_text().find("Received signal: " + std::to_string(signal) +
                                  " stopping all threads and exiting"),
                  std::string::npos);
        EXPECT_EQ(lock_text(), "<none>");
    }
}

TEST_F(BackendProcess, BrokenInstallationExitsAndReleasesTheLock) {
    std::remove((install_ + "/html/index.html").c_str());
    EXPECT_EQ(wait_exit(start()), 1);
    EXPECT_NE(log_text().find("Could not find configuration files -- installation corrupt?\n"),
              std::string::npos);
    EXPECT_EQ(lock_text(), "<none>");

    std::remove((install_ + "/template_configuration_orva.xml").c_str());
    EXPECT_EQ(wait_exit(start()), 1);
    EXPECT_NE(log_text().find("Could not find template configuration at " + install_ +
                              "/template_configuration_orva.xml -- installation corrupt?\n"),
              std::string::npos);
    EXPECT_EQ(lock_text(), "<none>");
}

TEST_F(BackendProcess, UnusableDataFolderEndsTheStartCleanly) {
    // The data folder's parent is a file: nothing can be created there.
    std::ofstream(root_ + "/not_a_folder") << "x";
    EXPECT_EQ(wait_exit(start_with(root_ + "/not_a_folder", "stdout.txt")), 1);
    EXPECT_EQ(quit_port("PING"), "");
}

TEST_F(BackendProcess, UnreadableProjectIsKeptAndTheTemplateUsed) {
    ASSERT_EQ(std::system(("mkdir -p " + orva()).c_str()), 0);
    std::ofstream(orva() + "/configuration_orva.xml") << "<configuration><frames><frame>";
    pid_t pid = start();
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(quit_port("SIGINT"), "+OK");
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(std::system(("grep -q '<frame>' " + orva() + "/configuration_orva.xml.unreadable-*").c_str()), 0);
    EXPECT_NE(read_file(orva() + "/configuration_orva.xml").value_or("").find("<configuration>"),
              std::string::npos);
    EXPECT_NE(log_text().find("Could not load configuration from"), std::string::npos);
}

}  // namespace
