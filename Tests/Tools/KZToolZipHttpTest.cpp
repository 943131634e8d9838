// kztool zip and http from the command line.

#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace
{
class KZToolZipHttpTest : public CKZTestWithDirectory
{
protected:
    KZToolZipHttpTest() : CKZTestWithDirectory("kztoolzip") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        std::ofstream(m_dir / "file.txt") << "payload";
    }
};

const std::string kTool = KZ_BINARY_DIR "/kztool ";
}

TEST_F(KZToolZipHttpTest, ZipCommands)
{
    ASSERT_EQ(system((kTool + "zip add " + Path("a.zip") + " " + Path("file.txt") + " sub/file.txt").c_str()), 0);
    EXPECT_EQ(KZTestRunCommand(kTool + "zip list " + Path("a.zip")),
              "name\tsize\tcompressedSize\tcrc32\tdirectory\nsub/file.txt\t7\t9\t" +
                  KZTestRunCommand("python3 -c \"import zlib; print('%08x' % zlib.crc32(b'payload'), end='')\"") +
                  "\t0\n");
    EXPECT_EQ(KZTestRunCommand(kTool + "zip extract " + Path("a.zip") + " " + Path("out") + " 2>/dev/null"),
              "path\n" + Path("out") + "/sub/file.txt\n");
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "sub" / "file.txt"), "payload");

    ASSERT_EQ(system((kTool + "zip seal " + Path("s.zip") + " " + Path("file.txt") + " 31337 1").c_str()), 0);
    ASSERT_EQ(system((kTool + "zip unseal " + Path("s.zip") + " 1 " + Path("back.txt")).c_str()), 0);
    EXPECT_EQ(KZTestReadFile(m_dir / "back.txt"), "payload");
    EXPECT_NE(system((kTool + "zip extract " + Path("missing.zip") + " 2>/dev/null").c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(system((kTool + "zip seal " + Path("s.zip") + " 2>/dev/null").c_str())), 2);
}

TEST_F(KZToolZipHttpTest, ExtractBesideTheArchiveIntoNewDirectoriesAndFailOnDamage)
{
    fs::create_directories(m_dir / "src" / "nested" / "deep");
    std::ofstream(m_dir / "src" / "nested" / "deep" / "f.txt") << "deep file";
    std::ofstream(m_dir / "src" / "README") << "read me";
    ASSERT_EQ(system(("cd " + Path("src") + " && zip -q -r ../foo.zip .").c_str()), 0);

    // Run in the archive's own directory, with no destination and with a new relative one.
    SKZTestCommandResult result = KZTestRunCommandIn(m_dir.string(), kTool + "zip extract foo.zip", Path("run"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "nested" / "deep" / "f.txt"), "deep file");
    EXPECT_EQ(KZTestReadFile(m_dir / "README"), "read me");
    result = KZTestRunCommandIn(m_dir.string(), kTool + "zip extract foo.zip newdir", Path("run"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "newdir" / "nested" / "deep" / "f.txt"), "deep file");
    EXPECT_EQ(KZTestReadFile(m_dir / "newdir" / "README"), "read me");

    // Invalid deflate data at the start of an entry: no file, exit 1 and the entry named.
    ASSERT_EQ(system(("python3 -c \"import zipfile, struct, os\n"
                      "p = '" + Path("bad.zip") + "'\n"
                      "zipfile.ZipFile(p, 'w', zipfile.ZIP_DEFLATED).writestr('big.bin', 'x' * 400000)\n"
                      "d = bytearray(open(p, 'rb').read())\n"
                      "d[30 + sum(struct.unpack_from('<HH', d, 26))] |= 6\n"
                      "open(p, 'wb').write(bytes(d))\"").c_str()), 0);
    result = KZTestRunCommandIn(m_dir.string(), kTool + "zip extract bad.zip damaged", Path("run"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "path\n");
    const std::string strLastLine = result.err.substr(result.err.rfind('\n', result.err.size() - 2) + 1);
    EXPECT_EQ(strLastLine, "kztool: extraction failed: bad.zip: Could not extract big.bin from bad.zip: damaged data\n");
    EXPECT_FALSE(fs::exists(m_dir / "damaged" / "big.bin"));
}

TEST_F(KZToolZipHttpTest, HttpCommands)
{
    CKZTestHttpServer server(m_dir.string());
    ASSERT_NE(server.Port(), 0);
    ASSERT_EQ(system((kTool + "http get " + server.Url("file.txt") + " " + Path("got.txt") + " 2>/dev/null").c_str()), 0);
    EXPECT_EQ(KZTestReadFile(m_dir / "got.txt"), "payload");
    const std::string info = KZTestRunCommand(kTool + "http info " + server.Url("file.txt"));
    EXPECT_EQ(info.substr(0, 16), "size\tmodified\n7\t") << info;
    EXPECT_NE(system((kTool + "http get " + server.Url("nope") + " " + Path("x") + " 2>/dev/null").c_str()), 0);
}
