// The process-wide log: line format, literal messages, path changes, concurrency.
#include "common/log/log.h"
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
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
    for (int i = 0; i < 20; ++i) nox::log_line("line " + std::to_string(i) + std::string(20, '.'));
    nox::log::instance().set_max_size(nox::log::default_max_size);
    auto current = lines(), previous = lines("orva.log.1");
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(previous.empty());
    // Each file stays within the limit, and each was full when it was set aside.
    const size_t current_size = nox::platform::read_file(folder_ + "/orva.log").value().size();
    const size_t previous_size = nox::platform::read_file(folder_ + "/orva.log.1").value().size();
    EXPECT_LE(current_size, 200u);
    EXPECT_LE(previous_size, 200u);
    EXPECT_GT(previous_size + current.front().size() + 1, 200u);
    // The set-aside file and the current one read together give the latest lines whole
    // and in order, ending with the last.
    std::vector<std::string> both = previous;
    both.insert(both.end(), current.begin(), current.end());
    const int first = 20 - static_cast<int>(both.size());
    for (size_t i = 0; i < both.size(); ++i)
        EXPECT_NE(both[i].find("] line " + std::to_string(first + static_cast<int>(i)) + "."), std::string::npos)
            << both[i];
}

TEST_F(LogTest, ALineLongerThanTheLimitGetsAFileOfItsOwn) {
    nox::log::instance().set_max_size(100);
    nox::log_line("short");
    nox::log_line(std::string(150, 'x'));
    nox::log_line("after");
    nox::log::instance().set_max_size(nox::log::default_max_size);
    ASSERT_EQ(lines("orva.log.1").size(), 1u);
    EXPECT_NE(lines("orva.log.1")[0].find(std::string(150, 'x')), std::string::npos);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("] after"), std::string::npos);
}

TEST_F(LogTest, TruncateRemovesTheSetAsideFile) {
    nox::log::instance().set_max_size(100);
    for (int i = 0; i < 5; ++i) nox::log_line(std::string(40, 'a'));
    nox::log::instance().set_max_size(nox::log::default_max_size);
    ASSERT_TRUE(nox::platform::path_exists(folder_ + "/orva.log.1"));
    nox::log::instance().log_truncate();
    EXPECT_FALSE(nox::platform::path_exists(folder_ + "/orva.log.1"));
    ASSERT_EQ(lines().size(), 1u);
}

TEST_F(LogTest, ARemovedFileIsRecreatedAtTheNextLine) {
    nox::log_line("before");
    ASSERT_EQ(::unlink((folder_ + "/orva.log").c_str()), 0);
    nox::log_line("after");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("] after"), std::string::npos);
}

TEST_F(LogTest, AFileRenamedAwayKeepsItsLinesAndANewOneBegins) {
    nox::log_line("before");
    ASSERT_EQ(::rename((folder_ + "/orva.log").c_str(), (folder_ + "/kept.log").c_str()), 0);
    nox::log_line("after");
    ASSERT_EQ(lines("kept.log").size(), 1u);
    EXPECT_NE(lines("kept.log")[0].find("] before"), std::string::npos);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("] after"), std::string::npos);
}

TEST_F(LogTest, AReplacedFileTakesTheNextLine) {
    nox::log_line("before");
    ASSERT_TRUE(nox::platform::write_file_atomically(folder_ + "/orva.log", "replacement\n"));
    nox::log_line("after");
    auto all = lines();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], "replacement");
    EXPECT_NE(all[1].find("] after"), std::string::npos);
}

TEST(LogLimit, SizesAreBytesWithAnOptionalBinaryUnit) {
    using nox::log;
    EXPECT_EQ(log::parse_max_size("1048576"), 1048576u);
    EXPECT_EQ(log::parse_max_size("64M"), size_t{64} << 20);
    EXPECT_EQ(log::parse_max_size("8k"), size_t{8} << 10);
    EXPECT_EQ(log::parse_max_size("2G"), size_t{2} << 30);
    EXPECT_EQ(log::parse_max_size("4096"), 4096u);
    EXPECT_FALSE(log::parse_max_size("4095"));  // below the smallest limit
    EXPECT_FALSE(log::parse_max_size("0"));
    EXPECT_FALSE(log::parse_max_size(""));
    EXPECT_FALSE(log::parse_max_size("-5"));
    EXPECT_FALSE(log::parse_max_size("12 M"));
    EXPECT_FALSE(log::parse_max_size("5MB"));
    EXPECT_FALSE(log::parse_max_size("99999999999999999999"));
    EXPECT_FALSE(log::parse_max_size("999999999999999G"));
}

TEST_F(LogTest, ABatchHoldsBackItsThreadsLinesUntilItEnds) {
    nox::log_line("before");
    {
        nox::log_batch outer;
        nox::log_line("one");
        {
            nox::log_batch inner;  // joins the outer batch
            NOX_LOG_FORMAT("two %d", 2);
        }
        EXPECT_EQ(lines().size(), 1u);
        // Another thread's lines are not held back.
        std::thread([] { nox::log_line("elsewhere"); }).join();
        ASSERT_EQ(lines().size(), 2u);
        EXPECT_NE(lines()[1].find("] elsewhere"), std::string::npos);
        nox::log_line("three");
    }
    auto all = lines();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_NE(all[2].find("] one"), std::string::npos);
    EXPECT_NE(all[3].find("] two 2"), std::string::npos);
    EXPECT_NE(all[4].find("] three"), std::string::npos);
    nox::log_line("after");  // written at once again
    EXPECT_EQ(lines().size(), 6u);
}

TEST_F(LogTest, ABatchWritesWhatItHoldsOnAnExceptionAndWhenItGrowsLarge) {
    try {
        nox::log_batch batch;
        nox::log_line("before the throw");
        throw std::runtime_error("pass failed");
    } catch (const std::runtime_error&) {
    }
    ASSERT_EQ(lines().size(), 1u);
    {
        nox::log_batch batch;
        const std::string long_line(1000, 'x');
        size_t logged = 0;
        while (lines().size() == 1u && logged < 1000) {
            nox::log_line(long_line);
            ++logged;
        }
        // Written once the batch held its limit, not before ("[" time stamp "] " and "\n"
        // add 23 bytes to each line).
        const size_t line_size = long_line.size() + 23;
        EXPECT_GE(logged * line_size, nox::log_batch::flush_bytes);
        EXPECT_LT((logged - 1) * line_size, nox::log_batch::flush_bytes);
    }
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
