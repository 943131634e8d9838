#pragma once
// File helpers shared by the tests: whole-file reads and a fresh directory per test.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

inline std::string KZTestReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// An empty directory under the temporary folder named by the prefix, the process and the running
// test, so that tests running side by side never share one.
inline std::filesystem::path KZTestFreshDirectory(const std::string& strPrefix)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (strPrefix + "_" + std::to_string(getpid()) + "_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
