// Linux stand-ins: folders from the environment, process checks, atomic writes.
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace nox::platform;

class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        const char* value = std::getenv(name);
        if (value) old_ = value;
        had_ = value != nullptr;
    }
    ~EnvGuard() {
        if (had_) ::setenv(name_, old_.c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_;
};

TEST(PlatformFolders, DataFolderFollowsXdgThenHome) {
    EnvGuard xdg("XDG_DATA_HOME"), home("HOME"), docs("XDG_DOCUMENTS_DIR");
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/data/here", 1);
    EXPECT_EQ(local_app_data_folder().value(), "/data/here");
    ::setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: ignored
    EXPECT_EQ(local_app_data_folder().value(), "/home/someone/.local/share");
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DOCUMENTS_DIR");
    EXPECT_EQ(documents_folder().value(), "/home/someone/Documents");
    ::unsetenv("HOME");
    EXPECT_FALSE(local_app_data_folder().has_value());
}

TEST(PlatformPaths, FolderAndFileNames) {
    EXPECT_EQ(folder_of("/opt/orva/orva_backend"), "/opt/orva");
    EXPECT_EQ(folder_of("orva_backend"), "orva_backend");
    EXPECT_EQ(file_name_of("/opt/orva/orva_backend"), "orva_backend");
    EXPECT_EQ(file_name_of(executable_path()), "platform_test");
}

TEST(PlatformProcesses, RunningAndNames) {
    EXPECT_TRUE(process_running(::getpid()));
    EXPECT_EQ(process_executable_name(::getpid()).value(), "platform_test");
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(process_running(child));
    EXPECT_FALSE(process_executable_name(child).has_value());
    EXPECT_FALSE(process_running(0));
}

TEST(PlatformFiles, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
    char pattern[] = "/tmp/orva_platform_test.XXXXXX";
    std::string folder = ::mkdtemp(pattern);
    std::string path = folder + "/file.xml";
    ASSERT_TRUE(write_file_atomically(path, "first"));
    ASSERT_TRUE(write_file_atomically(path, "second version"));
    EXPECT_EQ(read_file(path).value(), "second version");
    std::string error;
    EXPECT_FALSE(write_file_atomically(folder + "/no/such/folder/file", "x", &error));
    EXPECT_FALSE(error.empty());
    auto temp = make_temp_file(folder, "copy");
    ASSERT_TRUE(temp.has_value());
    EXPECT_TRUE(path_exists(*temp));
    EXPECT_TRUE(copy_file(path, *temp));
    EXPECT_EQ(read_file(*temp).value(), "second version");
    EXPECT_TRUE(make_directories(folder + "/a/b/c"));
    EXPECT_EQ(std::system(("test $(ls " + folder + " | wc -l) -eq 3").c_str()), 0);
    std::system(("rm -rf " + folder).c_str());
}

TEST(PlatformFiles, LeftoversOfInterruptedWritesAreRemovedAndNothingElse) {
    char pattern[] = "/tmp/orva_platform_test.XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    const std::string path = folder + "/configuration_orva.xml";
    ASSERT_TRUE(write_file_atomically(path, "<configuration/>"));
    // What a killed save leaves: mkstemp's file beside the project file.
    for (const char* name : {"configuration_orva.xml.new.a1B2c3", "configuration_orva.xml.new.XXXXXX",
                             "configuration_orva.xml.download-Qw3rTy.new.a1B2c3"})
        ASSERT_TRUE(write_file_atomically(folder + "/" + name, "half"));
    // Files that only look alike stay: other names, a download copy, an unreadable file
    // set aside, a longer suffix.
    const std::vector<std::string> kept = {"other.xml.new.a1B2c3", "configuration_orva.xml.download-a1B2c3",
                                           "configuration_orva.xml.unreadable-20240101-000000",
                                           "configuration_orva.xml.new.a1B2c3d"};
    for (const auto& name : kept) ASSERT_TRUE(write_file_atomically(folder + "/" + name, "keep"));
    EXPECT_EQ(remove_interrupted_writes(path), 3);
    EXPECT_EQ(remove_interrupted_writes(path), 0);
    EXPECT_EQ(read_file(path).value(), "<configuration/>");
    for (const auto& name : kept) EXPECT_TRUE(path_exists(folder + "/" + name)) << name;
    EXPECT_FALSE(path_exists(folder + "/configuration_orva.xml.new.a1B2c3"));
    std::system(("rm -rf " + folder).c_str());
}

}  // namespace
