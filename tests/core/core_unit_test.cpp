// Parts of the backend core that stand alone: version texts and the lock file.
#include "backend/core/lock_file.h"
#include "backend/core/version.h"
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Version, RevisionReplacesTheLastField) {
    EXPECT_EQ(nox::revision_of(nox::backend_version), "1.3.3.10303003");
    EXPECT_EQ(nox::revision_of("7"), "7");
    EXPECT_EQ(nox::revision_of("2."), "2.10303003");
}

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orva_lock_test.XXXXXX";
        folder_ = ::mkdtemp(pattern);
    }
    void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }
    std::string folder_;
};

TEST_F(LockFileTest, WriteHoldsThePidAndRefusesAnExistingFile) {
    nox::lock_file lock(folder_ + "/main.pid");
    EXPECT_FALSE(lock.held_by_other());
    ASSERT_TRUE(lock.write());
    EXPECT_EQ(nox::platform::read_file(lock.path()).value(), std::to_string(::getpid()));
    EXPECT_FALSE(lock.write());
    // Our own id is never "another backend": it is left over from an earlier process.
    EXPECT_FALSE(lock.held_by_other());
    EXPECT_FALSE(nox::platform::path_exists(lock.path()));
}

TEST_F(LockFileTest, RemoveFallsBackToRenaming) {
    nox::lock_file lock(folder_ + "/main.pid");
    ASSERT_TRUE(lock.write());
    EXPECT_TRUE(lock.remove());
    EXPECT_FALSE(nox::platform::path_exists(lock.path()));
    // A folder in the lock's place cannot be removed with remove() when it is not empty,
    // but it can be renamed.
    ASSERT_EQ(::mkdir(lock.path().c_str(), 0755), 0);
    std::ofstream(lock.path() + "/x") << "x";
    EXPECT_TRUE(lock.remove());
    EXPECT_TRUE(nox::platform::path_exists(lock.path() + std::to_string(::getpid())));
}

}  // namespace
