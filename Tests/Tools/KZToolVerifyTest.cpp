// kztool verify on installations unpacked by Info-ZIP from trees that kzpublish wrote.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
const std::string kTool = KZ_BINARY_DIR "/kztool ";

class KZToolVerifyTest : public CKZTestWithDirectory
{
protected:
    KZToolVerifyTest() : CKZTestWithDirectory("kztoolverify") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        fs::create_directories(m_dir / "app");
        std::ofstream(m_dir / "app" / "Info.plist") << "app";
        for (const char* szClient : {"v1", "v2"})
        {
            fs::create_directories(m_dir / szClient / "maps");
            std::ofstream(m_dir / szClient / "maps" / "b.map") << std::string(3000, 'b');
            std::ofstream(m_dir / szClient / "c.txt") << "ccc";
        }
        std::ofstream(m_dir / "v1" / "maps" / "a.map") << std::string(5000, 'a');
        std::ofstream(m_dir / "v2" / "z.bin") << "new";
        for (const char* szClient : {"v1", "v2"})
            ASSERT_EQ(Run(std::string(KZ_BINARY_DIR "/kzpublish ") + szClient + " srv-" + szClient +
                          " --app app --zip-size 4000")
                          .status,
                      0);
        // What a new install leaves: every full-install zip unpacked, and the catalogue.
        ASSERT_EQ(Run("mkdir project && for z in srv-v1/Data[0-9]*.zip; do unzip -q -o $z -d project; done && "
                      "cp srv-v1/Data.ccx project/")
                      .status,
                  0);
    }
    // Rewrites pack 0 with every internal path passed through a Python expression of `p`.
    void RepathPackZero(const std::string& strExpression)
    {
        const fs::path script = m_dir / "repath.py";
        std::ofstream(script) << "import sys\nsys.path.insert(0, '" KZ_SOURCE_DIR "/Tests/Fixtures')\nimport csa_gen\n"
                                 "pack = 'project/PackFiles/p_00000000.csa'\nc = csa_gen.load(pack)\nd = c['data']\n"
                                 "csa_gen.write(pack, {'files': [{'path': (lambda p: "
                              << strExpression << ")(f['path']), 'hex': d[f['offset']:f['offset'] + f['length']].hex()}"
                                                  " for f in c['files']]})\n";
        ASSERT_EQ(Run("python3 repath.py").status, 0);
    }
    SKZTestCommandResult Run(const std::string& strCommand)
    {
        return KZTestRunCommandIn(m_dir.string(), strCommand, Path("run"));
    }
};
}

TEST_F(KZToolVerifyTest, CleanDamagedMissingAndExtra)
{
    SKZTestCommandResult result = Run(kTool + "verify project");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "problem\tpath\texpected\tactual\n");
    result = Run(kTool + "verify project --json");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"project\":\"project\",\"files\":3,\"clean\":true,\"problems\":[]}\n");

    // A flipped byte inside the data of the pack that holds a.map (5000 'a' bytes).
    const fs::path pack = m_dir / "project" / "PackFiles" / "p_00000000.csa";
    std::string strBytes = KZTestReadFile(pack);
    const size_t at = strBytes.find(std::string(5000, 'a'));
    ASSERT_NE(at, std::string::npos);
    strBytes[at + 2500] = 'x';
    std::ofstream(pack, std::ios::binary | std::ios::trunc) << strBytes;
    result = Run(kTool + "verify project");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.substr(result.out.find('\n') + 1, 25), "checksum\tData/maps/a.map\t") << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;

    // The packs of version 1 under the catalogue of version 2: z.bin is missing, a.map extra.
    fs::copy_file(m_dir / "srv-v2" / "Data.ccx", m_dir / "project" / "Data.ccx", fs::copy_options::overwrite_existing);
    result = Run(kTool + "verify project --json");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "{\"project\":\"project\",\"files\":3,\"clean\":false,\"problems\":["
                          "{\"problem\":\"missing\",\"path\":\"Data/z.bin\",\"expected\":\"\",\"actual\":\"\"},"
                          "{\"problem\":\"extra\",\"path\":\"Data/maps/a.map\",\"expected\":\"\",\"actual\":\"5000\"}]}\n");

}

// Packed files lie at the record path less "Data/"; the form our 1.0.0 wrote ("Data\...") passes too,
// any other path is a problem.
TEST_F(KZToolVerifyTest, InternalPaths)
{
    RepathPackZero(R"('Data\\' + p)");
    SKZTestCommandResult result = Run(kTool + "verify project");
    EXPECT_EQ(result.status, 0) << result.out;
    RepathPackZero(R"('elsewhere\\' + p[5:])");
    result = Run(kTool + "verify project");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("path\tData/maps/a.map\tmaps\\a.map\telsewhere\\maps\\a.map\n"), std::string::npos)
        << result.out;
}

TEST_F(KZToolVerifyTest, NoInstallation)
{
    SKZTestCommandResult result = Run(kTool + "verify nowhere");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: no such file: nowhere/Data.ccx\n");
    EXPECT_EQ(Run(kTool + "verify project --xml").status, 2);
}

// With a signed manifest the installed catalogue must be the release's; the installed release is shown.
TEST_F(KZToolVerifyTest, AgainstASignedRelease)
{
    for (const char* szKey : {"k", "other"})
        ASSERT_EQ(Run(kTool + "key generate " + szKey + ".secret " + szKey + ".public").status, 0);
    for (const char* szClient : {"v1", "v2"})
        ASSERT_EQ(Run(std::string(KZ_BINARY_DIR "/kzpublish ") + szClient + " srv-" + szClient + " --previous srv-" +
                      szClient + " --zip-size 4000 --sign-key k.secret")
                      .status,
                  0);
    fs::copy_file(m_dir / "srv-v1" / "Data.ccx", m_dir / "project" / "Data.ccx", fs::copy_options::overwrite_existing);
    SKZTestCommandResult result = Run(kTool + "verify project --manifest srv-v1/Data.manifest --key k.public");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "problem\tpath\texpected\tactual\n");
    EXPECT_EQ(result.err, "kztool: checked against release 1, 3 files checked, 0 problems\n");

    std::ofstream(m_dir / "project" / "Data.release") << "1\n";
    result = Run(kTool + "verify project --manifest srv-v1/Data.manifest --key k.public --json");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"project\":\"project\",\"files\":3,\"release\":1,\"manifest_release\":1,\"clean\":true,"
                          "\"problems\":[]}\n");
    EXPECT_EQ(Run(kTool + "verify project").err, "kztool: release 1 installed, 3 files checked, 0 problems\n");

    // Version 2's release does not hold version 1's catalogue; another key did not sign it.
    result = Run(kTool + "verify project --manifest srv-v2/Data.manifest --key k.public");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;
    EXPECT_EQ(result.out.find("catalogue\tData.ccx\t" + std::to_string(fs::file_size(m_dir / "srv-v2" / "Data.ccx")) +
                              " "),
              result.out.find('\n') + 1)
        << result.out;
    result = Run(kTool + "verify project --manifest srv-v1/Data.manifest --key other.public");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("\nsignature\tsrv-v1/Data.manifest\tother.public\t"), std::string::npos) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;

    EXPECT_EQ(Run(kTool + "verify project --manifest srv-v1/Data.manifest").status, 2);
    EXPECT_EQ(Run(kTool + "verify project --key k.public").status, 2);
    result = Run(kTool + "verify project --manifest nowhere --key k.public");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: no such file: nowhere\n");
}
