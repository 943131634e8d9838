// kztool delta make and apply against the zstd tool in both directions, damaged deltas that leave no
// output, and the older kzpatch_patch deltas that still apply.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace
{
const std::string kTool = KZ_BINARY_DIR "/kztool ";

class KZToolDeltaTest : public CKZTestWithDirectory
{
protected:
    KZToolDeltaTest() : CKZTestWithDirectory("kztooldelta") {}

    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        if (system("zstd --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "the zstd tool is not installed";
        // Tables between random runs; the new file has a run inserted and one overwritten.
        std::mt19937 rng(5);
        std::string strOld;
        while (strOld.size() < (1u << 20))
        {
            strOld += "record " + std::to_string(rng() % 1000) + "\tscore " + std::to_string(rng() % 100) + "\n";
            if (rng() % 64 == 0)
                for (int i = 0; i < 2000; ++i)
                    strOld += static_cast<char>(rng());
        }
        m_strNew = strOld;
        m_strNew.insert(300000, std::string(5000, 'i'));
        for (size_t i = 600000; i < 610000; ++i)
            m_strNew[i] = static_cast<char>(rng());
        std::ofstream(Path("old"), std::ios::binary) << strOld;
        std::ofstream(Path("new"), std::ios::binary) << m_strNew;
    }

    SKZTestCommandResult Run(const std::string& strCommand)
    {
        return KZTestRunCommandIn(m_dir.string(), strCommand, Path("run"));
    }

    // A failure of one line on stderr that leaves out.bin as it was and no file beside it.
    void ExpectFailureLeavingNoOutput(const std::string& strArgs, const std::string& strMessage)
    {
        const std::vector<std::string> vecBefore = KZTestTree(m_dir);
        const SKZTestCommandResult result = Run(kTool + strArgs);
        EXPECT_EQ(result.status, 1) << strArgs;
        EXPECT_EQ(result.err.rfind("kztool: " + strMessage, 0), 0u) << strArgs << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(KZTestTree(m_dir), vecBefore) << strArgs;
    }

    std::string m_strNew;
};
} // namespace

TEST_F(KZToolDeltaTest, OursReadByZstdAndZstdsReadByUs)
{
    SKZTestCommandResult result = Run(kTool + "delta make old new ours.delta");
    ASSERT_EQ(result.status, 0) << result.err;
    const uintmax_t delta = fs::file_size(m_dir / "ours.delta");
    EXPECT_LT(delta, m_strNew.size() / 20);
    EXPECT_EQ(result.out.rfind("old\tnew\tdelta\tpercent\n1", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\t" + std::to_string(m_strNew.size()) + "\t" + std::to_string(delta) + "\t"),
              std::string::npos)
        << result.out;
    ASSERT_EQ(Run("zstd -q -d --long=31 --patch-from=old ours.delta -o ours.out").status, 0);
    EXPECT_TRUE(KZTestReadFile(m_dir / "ours.out") == m_strNew);

    ASSERT_EQ(Run("zstd -q --patch-from=old -19 --long new -o theirs.delta").status, 0);
    result = Run(kTool + "delta apply old theirs.delta theirs.out");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "old\tdelta\tnew\n" + std::to_string(fs::file_size(m_dir / "old")) + "\t" +
                              std::to_string(fs::file_size(m_dir / "theirs.delta")) + "\t" +
                              std::to_string(m_strNew.size()) + "\n");
    EXPECT_TRUE(KZTestReadFile(m_dir / "theirs.out") == m_strNew);

    // The lowest level, over an existing file.
    ASSERT_EQ(Run(kTool + "delta make old new theirs.delta --level 1").status, 0);
    ASSERT_EQ(Run(kTool + "delta apply old theirs.delta theirs.out").status, 0);
    EXPECT_TRUE(KZTestReadFile(m_dir / "theirs.out") == m_strNew);
    EXPECT_EQ(KZTestTree(m_dir), (std::vector<std::string>{"new", "old", "ours.delta", "ours.out", "theirs.delta",
                                                           "theirs.out"}));
    for (const char* szLevel : {"0", "20", "x"})
        EXPECT_EQ(Run(kTool + "delta make old new x.delta --level " + szLevel).status, 2) << szLevel;
}

TEST_F(KZToolDeltaTest, DamagedDeltasAndWrongBasesLeaveNoOutput)
{
    ASSERT_EQ(Run(kTool + "delta make old new good.delta").status, 0);
    const std::string strDelta = KZTestReadFile(m_dir / "good.delta");
    std::ofstream(Path("cut.delta"), std::ios::binary) << strDelta.substr(0, strDelta.size() - 3);
    std::string strFlipped = strDelta;
    strFlipped[strDelta.size() / 2] ^= 0x40;
    std::ofstream(Path("flipped.delta"), std::ios::binary) << strFlipped;
    std::ofstream(Path("out.bin")) << "earlier output";

    ExpectFailureLeavingNoOutput("delta apply old cut.delta out.bin", "cannot apply cut.delta: ");
    ExpectFailureLeavingNoOutput("delta apply old flipped.delta out.bin", "cannot apply flipped.delta: ");
    ExpectFailureLeavingNoOutput("delta apply new good.delta out.bin", "cannot apply good.delta: ");
    fs::remove(m_dir / "out.bin");
    ExpectFailureLeavingNoOutput("delta apply old cut.delta out.bin", "cannot apply cut.delta: ");
    ExpectFailureLeavingNoOutput("delta make old new nowhere/out.bin",
                                 "cannot write nowhere/out.bin: No such file or directory");
}

TEST_F(KZToolDeltaTest, OlderFormatStillApplies)
{
    for (const char* szName : {"small", "text", "lead"})
    {
        const std::string strFixture = KZ_SOURCE_DIR "/Tests/Fixtures/jdiff/" + std::string(szName);
        const SKZTestCommandResult result =
            Run(kTool + "delta apply " + strFixture + ".old " + strFixture + ".jdf " + szName + ".out");
        ASSERT_EQ(result.status, 0) << szName << ": " << result.err;
        EXPECT_EQ(result.out, "result\tmeaning\n0\toutput written completely\n");
        EXPECT_TRUE(KZTestReadFile(m_dir / (std::string(szName) + ".out")) == KZTestReadFile(strFixture + ".new"))
            << szName;
    }
}
