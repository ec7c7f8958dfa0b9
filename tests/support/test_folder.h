// A scratch folder path for the running test: under the system's temporary folder, named
// by a prefix, the process and the test, so that parallel runs and tests never share it.
// Not created here; the fixture creates and removes it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace orva_test {

inline std::filesystem::path test_folder(const std::string& prefix) {
    return std::filesystem::temp_directory_path() /
           (prefix + "-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

}  // namespace orva_test
