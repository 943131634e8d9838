// The layers depend downwards only: nothing in Source/Base may include a header of Source/System
// or of the patch interface, so that the base library can be used and tested on its own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace fs = std::filesystem;

TEST(Layering, BaseIncludesNothingAboveIt)
{
    const std::regex upward(R"(^\s*#\s*include\s*["<](System/|PatchLibrary/|Source/System/))");
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
            EXPECT_FALSE(std::regex_search(line, upward)) << entry.path() << ":" << number << ": " << line;
    }
    EXPECT_GT(files, 0);
}
