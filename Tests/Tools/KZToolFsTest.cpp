// kztool fs crc against Python's zlib.crc32 on files around the 1024-byte read size.

#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(KZToolFs, CrcAgreesWithPython)
{
    const fs::path dir = fs::temp_directory_path() / ("kztoolfs_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::mt19937 rng(9);
    std::string files;
    for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 10u * 1024 * 1024})
    {
        std::string content(size, '\0');
        for (char& c : content)
            c = static_cast<char>(rng());
        const fs::path path = dir / ("f" + std::to_string(size));
        std::ofstream(path, std::ios::binary) << content;
        files += " " + path.string();
    }
    const std::string ours = KZTestRunCommand(KZ_BINARY_DIR "/kztool fs crc" + files);
    const std::string python = KZTestRunCommand("python3 -c \"import sys, zlib\nprint('crc32\\tpath')\nfor p in sys.argv[1:]: "
                                   "print('%08x\\t%s' % (zlib.crc32(open(p, 'rb').read()), p))\"" + files);
    EXPECT_EQ(ours, python);
    EXPECT_EQ(std::count(ours.begin(), ours.end(), '\n'), 7);
    fs::remove_all(dir);
}

TEST(KZToolFs, ListShowsSizesAndTimes)
{
    const fs::path dir = fs::temp_directory_path() / ("kztoollist_" + std::to_string(getpid()));
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "a.zip") << "12345";
    std::ofstream(dir / "b.txt") << "1";
    const std::string listing = KZTestRunCommand(KZ_BINARY_DIR "/kztool fs list " + dir.string() + " --recursive --pattern '*.zip'");
    EXPECT_EQ(listing.substr(0, listing.find('\n')), "kind\tsize\tmodified\tpath");
    EXPECT_NE(listing.find("file\t5\t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("dir\t0\t0\t" + dir.string() + "/sub/"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("b.txt"), std::string::npos);
    EXPECT_NE(system((KZ_BINARY_DIR "/kztool fs list " + (dir / "nope").string() + " 2>/dev/null").c_str()), 0);
    fs::remove_all(dir);
}
