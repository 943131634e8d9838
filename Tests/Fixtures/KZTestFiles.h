#pragma once
// File helpers shared by the tests: whole-file reads and a fresh directory per test.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// Everything below a directory, as names relative to it, sorted.
inline std::vector<std::string> KZTestTree(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    if (std::filesystem::exists(dir))
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            names.push_back(std::filesystem::relative(entry.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// Lower-case hex digits of the bytes.
inline std::string KZTestHex(const void* pBytes, size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strOut;
    for (size_t i = 0; i < count; ++i)
    {
        const unsigned char c = static_cast<const unsigned char*>(pBytes)[i];
        strOut += kDigits[c >> 4];
        strOut += kDigits[c & 15];
    }
    return strOut;
}

inline std::string KZTestHex(const std::string& strBytes)
{
    return KZTestHex(strBytes.data(), strBytes.size());
}

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
    // A parameterised test's name holds a "/": kept, it would leave an empty parent folder behind.
    std::string strTest = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(strTest.begin(), strTest.end(), '/', '_');
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / (strPrefix + "_" + std::to_string(getpid()) + "_" + strTest);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A fixture whose every test gets a fresh directory of its own, removed after the test.
class CKZTestWithDirectory : public ::testing::Test
{
protected:
    explicit CKZTestWithDirectory(const char* szPrefix) : m_strPrefix(szPrefix) {}
    void SetUp() override { m_dir = KZTestFreshDirectory(m_strPrefix); }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string Path(const std::string& strName) const { return (m_dir / strName).string(); }

    std::filesystem::path m_dir;

private:
    std::string m_strPrefix;
};
