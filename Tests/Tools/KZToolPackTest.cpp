// kztool pack from a catalogue to pack files and back, through the tool alone.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(KZToolPack, RelativeDirectoriesDamagedDataAndUnreadableHeaders)
{
    const fs::path dir = KZTestFreshDirectory("kztoolpack");
    fs::create_directories(dir / "Data" / "Docs");
    fs::create_directories(dir / "packs");
    std::ofstream(dir / "Data" / "Docs" / "README") << "read me";
    std::ofstream(dir / "Data" / "LICENSE") << "license";
    const std::string strCache = (dir / "cache.bin").string();
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 " + strCache +
                      " '[{\"name\": \"README\", \"path\": \"Docs/README\"}, {\"name\": \"LICENSE\", "
                      "\"path\": \"LICENSE\"}]'").c_str()), 0);
    const std::string strTool = KZ_BINARY_DIR "/kztool pack ";
    const std::string strCapture = (dir / "run").string();
    SKZTestCommandResult result =
        KZTestRunCommandIn(dir.string(), strTool + "build cache.bin Data packs Data", strCapture);
    ASSERT_EQ(result.status, 0) << result.err;

    // Relative directory names without a dot, as typed in a shell.
    result = KZTestRunCommandIn(dir.string(), strTool + "extract packs out", strCapture);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestReadFile(dir / "out" / "Docs" / "README"), "read me");
    EXPECT_EQ(KZTestReadFile(dir / "out" / "LICENSE"), "license");

    // Bytes that no longer match the header's checksum are not written.
    const fs::path data = dir / "packs" / "p_00000000.csa";
    std::string strData = KZTestReadFile(data);
    strData[0] ^= 0x20;
    std::ofstream(data, std::ios::binary | std::ios::trunc) << strData;
    fs::remove_all(dir / "out");
    result = KZTestRunCommandIn(dir.string(), strTool + "extract packs out", strCapture);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: extraction failed: Packed file LICENSE from packfile 0 does not match its checksum\n");
    EXPECT_FALSE(fs::exists(dir / "out" / "LICENSE"));

    // A header that cannot be read is one line and exit 1, never an empty listing.
    const fs::path header = dir / "packs" / "p_00000000.csaheader";
    const std::string strHeader = KZTestReadFile(header);
    for (size_t cut : {size_t(0), size_t(16), strHeader.size() / 2})
    {
        std::ofstream(header, std::ios::binary | std::ios::trunc) << strHeader.substr(0, cut);
        result = KZTestRunCommandIn(dir.string(), strTool + "list packs", strCapture);
        EXPECT_EQ(result.status, 1) << cut;
        EXPECT_EQ(result.out, "") << cut;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.substr(0, 44), "kztool: cannot open the pack files in packs:") << result.err;
    }
    fs::remove_all(dir);
}
