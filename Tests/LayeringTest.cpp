// The layers depend downwards only: nothing in Source/Base may include a header of Source/System
// or of the patch interface, so that the base library can be used and tested on its own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <string>

namespace fs = std::filesystem;

namespace
{
// True for an include line that names a header of Source/System or of the patch interface.
bool IncludesUpward(const std::string& strLine)
{
    const size_t hash = strLine.find_first_not_of(" \t");
    if (hash == std::string::npos || strLine[hash] != '#')
        return false;
    const size_t word = strLine.find_first_not_of(" \t", hash + 1);
    if (word == std::string::npos || strLine.compare(word, 7, "include") != 0)
        return false;
    const size_t open = strLine.find_first_of("\"<", word + 7);
    if (open == std::string::npos)
        return false;
    const std::string strTarget = strLine.substr(open + 1);
    for (const char* szUpper : {"System/", "PatchLibrary/", "Source/System/"})
        if (strTarget.compare(0, strlen(szUpper), szUpper) == 0)
            return true;
    return false;
}
}

TEST(Layering, BaseIncludesNothingAboveIt)
{
    const fs::path base = fs::path(KZ_SOURCE_DIR) / "Source" / "Base";
    ASSERT_TRUE(fs::is_directory(base));
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(base))
    {
        if (!entry.is_regular_file())
            continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number)
            EXPECT_FALSE(IncludesUpward(line)) << entry.path() << ":" << number << ": " << line;
    }
    EXPECT_GT(files, 0);
}
