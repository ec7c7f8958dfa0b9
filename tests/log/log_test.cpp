// The process-wide log: line format, literal messages, path changes, concurrency.
#include "common/log/log.h"
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orva_log_test.XXXXXX";
        folder_ = ::mkdtemp(pattern);
        old_path_ = nox::log::instance().path();
        nox::log::instance().set_log_path(folder_ + "/orva.log");
    }
    void TearDown() override {
        nox::log::instance().set_log_path(old_path_);
        std::system(("rm -rf " + folder_).c_str());
    }
    std::vector<std::string> lines(const std::string& file = "orva.log") {
        std::vector<std::string> result;
        std::istringstream in(nox::platform::read_file(folder_ + "/" + file).value_or(""));
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
    std::string folder_, old_path_;
};

TEST_F(LogTest, LinesCarryALocalTimeStampAndTheMessageUnchanged) {
    nox::log_line("hello 100% %s %d");
    NOX_LOG_FORMAT("value %d of %s", 42, "x");
    auto all = lines();
    ASSERT_EQ(all.size(), 2u);
    std::regex format(R"(\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\] (.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(all[0], match, format)) << all[0];
    EXPECT_EQ(match[1], "hello 100% %s %d");
    ASSERT_TRUE(std::regex_match(all[1], match, format)) << all[1];
    EXPECT_EQ(match[1], "value 42 of x");
}

TEST_F(LogTest, TruncateEmptiesTheFileAndMarksIt) {
    nox::log_line("old");
    nox::log::instance().log_truncate();
    nox::log_line("new\n");
    auto all = lines();
    ASSERT_EQ(all.size(), 3u);  // a message ending in a line end leaves an empty line after it
    EXPECT_NE(all[0].find("] Log truncated"), std::string::npos);
    EXPECT_NE(all[1].find("] new"), std::string::npos);
    EXPECT_EQ(all[2], "");
}

TEST_F(LogTest, NewPathTakesTheNextLineAndLeavesTheOldFile) {
    nox::log_line("first");
    nox::log::instance().set_log_path(folder_ + "/other.log");
    nox::log_line("second");
    EXPECT_EQ(lines().size(), 1u);
    ASSERT_EQ(lines("other.log").size(), 1u);
    EXPECT_NE(lines("other.log")[0].find("second"), std::string::npos);
}

TEST_F(LogTest, UnwritableLogIsIgnored) {
    nox::log::instance().set_log_path(folder_ + "/missing/folder/orva.log");
    nox::log_line("lost");
    nox::log::instance().log_truncate();
    EXPECT_FALSE(nox::platform::path_exists(folder_ + "/missing"));
}

TEST_F(LogTest, AFullFileIsSetAsideAndANewOneBegins) {
    nox::log::instance().set_max_size(200);
    for (int i = 0; i < 10; ++i) nox::log_line("line " + std::to_string(i) + std::string(20, '.'));
    nox::log::instance().set_max_size(size_t{64} << 20);
    auto current = lines(), previous = lines("orva.log.1");
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(previous.empty());
    EXPECT_LE(nox::platform::read_file(folder_ + "/orva.log").value().size(), 200u);
    EXPECT_NE(current.back().find("line 9"), std::string::npos);
    // Nothing older than the set-aside file is kept, and no line is split.
    for (const auto& line : previous) EXPECT_NE(line.find("] line "), std::string::npos) << line;
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
    const std::string a(300, 'a'), b(300, 'b');
    std::thread t1([&] { for (int i = 0; i < 500; ++i) nox::log_line(a); });
    std::thread t2([&] { for (int i = 0; i < 500; ++i) NOX_LOG_FORMAT("%s", b.c_str()); });
    t1.join();
    t2.join();
    auto all = lines();
    ASSERT_EQ(all.size(), 1000u);
    for (const auto& line : all) {
        auto message = line.substr(line.find("] ") + 2);
        EXPECT_TRUE(message == a || message == b) << line;
    }
}

}  // namespace
