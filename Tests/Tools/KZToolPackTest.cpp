// kztool pack from a catalogue to pack files and back, through the tool alone.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace
{
std::string Tool(const std::string& strArgs)
{
    return KZTestRunCommand(KZ_BINARY_DIR "/kztool pack " + strArgs + " 2>&1");
}
}

TEST(KZToolPack, BuildListCatDiffPatchExtract)
{
    const fs::path dir = KZTestFreshDirectory("kztoolpack");
    fs::create_directories(dir / "Data" / "Textures");
    std::ofstream(dir / "Data" / "Textures" / "foo.dds") << "foo texture";
    std::ofstream(dir / "Data" / "bar.txt") << "bar";
    const std::string strCache = (dir / "cache.bin").string();
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 " + strCache +
                      " '[{\"name\": \"foo.dds\", \"path\": \"Textures/foo.dds\", \"zip\": 1},"
                      " {\"name\": \"bar.txt\", \"path\": \"bar.txt\"}]'").c_str()), 0);
    const std::string strData = (dir / "Data").string();
    const std::string strPacks = (dir / "Packs.v1").string(); // a dotted name is still a directory
    EXPECT_EQ(Tool("build " + strCache + " " + strData + " " + strPacks + " " + strData), "2 pack files, 2 files\n");

    const std::string strList = Tool("list " + strPacks);
    EXPECT_EQ(strList.substr(0, strList.find('\n')), "pack\tpath\toffset\tlength\tcrc32\ttime");
    EXPECT_NE(strList.find("\n0\tbar.txt\t0\t3\t76ff8caa\t"), std::string::npos) << strList;
    EXPECT_NE(strList.find("\n1\tTextures\\foo.dds\t0\t11\t"), std::string::npos) << strList;

    EXPECT_EQ(Tool("cat " + strPacks + " FOO.DDS"), "foo texture");
    EXPECT_NE(system((KZ_BINARY_DIR "/kztool pack cat " + strPacks + " none.txt 2>/dev/null").c_str()), 0);
    EXPECT_EQ(Tool("diff " + strPacks + " " + strCache), "difference\t0\n");

    std::ofstream(dir / "Data" / "new.txt") << "new file";
    EXPECT_EQ(Tool("patch " + strPacks + " " + strData + " 3 --add 2 new.txt --move 1 0 Textures/foo.dds --remove bar.txt"),
              "3 pack files rebuilt, 2 files, 19 bytes\n");
    EXPECT_EQ(Tool("diff " + strPacks + " " + strCache), "catalogue only\tbar.txt\narchive only\tnew.txt\ndifference\t0\n");
    EXPECT_EQ(Tool("extract " + strPacks + " " + (dir / "out").string()), "");
    EXPECT_EQ(KZTestReadFile(dir / "out" / "Textures" / "foo.dds"), "foo texture");
    EXPECT_EQ(KZTestReadFile(dir / "out" / "new.txt"), "new file");
    EXPECT_FALSE(fs::exists(dir / "out" / "bar.txt"));
    EXPECT_NE(system((KZ_BINARY_DIR "/kztool pack patch " + strPacks + " " + strData + " x 2>/dev/null").c_str()), 0);
    fs::remove_all(dir);
}
