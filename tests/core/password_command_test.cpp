// The password commands of orva_backend on a temporary data folder: the password comes
// from standard input, bad names and empty passwords change nothing, a removal needs the
// user to exist.
#include "backend/api/site_access.h"
#include "backend/core/password_command.h"
#include "tests/support/test_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class PasswordCommand : public ::testing::Test {
protected:
    PasswordCommand() {
        folder_ = orva_test::test_folder("orva-passwords");
    }
    ~PasswordCommand() override { fs::remove_all(folder_); }

    int run(std::vector<std::string> arguments, const std::string& input = {}) {
        std::istringstream in(input);
        out_.str("");
        errors_.str("");
        return nox::run_password_command(arguments, (folder_ / "Orva").string(), in, out_, errors_);
    }
    std::string file_text() {
        std::ifstream in(folder_ / "Orva" / "passwords");
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    fs::path folder_;
    std::ostringstream out_;
    std::ostringstream errors_;
};

TEST_F(PasswordCommand, SetsChangesAndDeletesEntriesOfTheDataFolder) {
    EXPECT_EQ(run({"--set-password", "alice"}, "first secret\n"), 0) << errors_.str();
    EXPECT_NE(out_.str().find("Password of alice set in " + (folder_ / "Orva" / "passwords").string()),
              std::string::npos);
    const std::string first = file_text();
    EXPECT_EQ(first.rfind("alice:Orva:", 0), 0u) << first;
    EXPECT_EQ(nox::password_file_fault((folder_ / "Orva" / "passwords").string()), std::nullopt);
    EXPECT_EQ(run({"--set-password", "alice"}, "second secret\r\n"), 0);
    EXPECT_NE(file_text(), first);
    EXPECT_EQ(run({"--set-password", "bob"}, "x"), 0);  // no line end at the end of input
    EXPECT_EQ(run({"--delete-password", "alice"}), 0);
    EXPECT_EQ(file_text().find("alice"), std::string::npos);
    EXPECT_NE(file_text().find("bob:Orva:"), std::string::npos);
}

TEST_F(PasswordCommand, RefusesWhatItCannotStoreAndChangesNothing) {
    ASSERT_EQ(run({"--set-password", "alice"}, "secret\n"), 0);
    const std::string before = file_text();
    EXPECT_EQ(run({"--set-password", "alice"}, ""), 1);
    EXPECT_NE(errors_.str().find("no password given"), std::string::npos);
    EXPECT_EQ(run({"--set-password", "alice"}, "\n"), 1);
    EXPECT_EQ(run({"--set-password", "alice"}, std::string(1025, 'p') + "\n"), 1);
    for (const char* name : {"al:ice", "", "two words", "caf\xc3\xa9"}) {
        EXPECT_EQ(run({"--set-password", name}, "secret\n"), 2) << name;
    }
    EXPECT_EQ(run({"--set-password"}), 2);
    EXPECT_EQ(run({"--set-password", "a", "b"}, "secret\n"), 2);
    EXPECT_EQ(run({"--delete-password", "carol"}), 1);
    EXPECT_NE(errors_.str().find("holds no user carol"), std::string::npos);
    EXPECT_EQ(file_text(), before);
}

TEST_F(PasswordCommand, OnlyItsOwnOptionsAreCommands) {
    EXPECT_TRUE(nox::is_password_command({"--set-password", "x"}));
    EXPECT_TRUE(nox::is_password_command({"--delete-password"}));
    EXPECT_FALSE(nox::is_password_command({}));
    EXPECT_FALSE(nox::is_password_command({"--other", "--set-password"}));
}

}  // namespace
