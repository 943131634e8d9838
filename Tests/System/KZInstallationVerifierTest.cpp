// The verifier on installations written by the server-tree generator: clean ones in both internal
// path forms, and the packs of client version 1 under the catalogue of version 2, where each depth
// sees what it looks at and nothing more.

#include "System/KZInstallationVerifier.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "System/KZPackIndex.h"
#include "System/Util/KZFileTimeCache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
typedef CKZInstallationVerifier Verifier;

class KZInstallationVerifierTest : public CKZTestWithDirectory
{
protected:
    KZInstallationVerifierTest() : CKZTestWithDirectory("kzverifier") {}

    // Server tree "srv<client>" of a four-pack client; with an installation "inst" beside it.
    void Generate(int client, const std::string& strInstall = "", const std::string& strOptions = "")
    {
        const std::string strServer = "srv" + std::to_string(client);
        std::string strCommand = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + strServer + " exp" +
                                 std::to_string(client) + " --packs 4 --client " + std::to_string(client) + " " + strOptions;
        if (!strInstall.empty())
            strCommand += " --install " + strInstall;
        ASSERT_EQ(KZTestRunCommandIn(m_dir.string(), strCommand, Path("gen")).status, 0);
    }
    std::string Packs(const std::string& strInstall) const { return Path(strInstall) + "/PackFiles/"; }
    // Every problem as "problem path expected actual", one a line.
    std::string Problems(int client, const std::string& strInstall, Verifier::EDepth depth)
    {
        CKZFileTimeCache catalogue;
        EXPECT_TRUE(catalogue.Initialize(Path("srv" + std::to_string(client) + "/Data.ccx").c_str(), nullptr, nullptr));
        const Verifier::SResult result = Verifier::VerifyPackDirectory(catalogue, Packs(strInstall), depth);
        EXPECT_EQ(result.IsClean(), result.m_Problems.empty());
        std::string strOut;
        for (const Verifier::SProblem& problem : result.m_Problems)
            strOut += std::string(Verifier::GetProblemName(problem.m_eProblem)) + " " + problem.m_strPath + " " +
                      problem.m_strExpected + " " + problem.m_strActual + "\n";
        return strOut;
    }
};
} // namespace

TEST_F(KZInstallationVerifierTest, InstallationsHoldTheirCatalogueAtEveryDepth)
{
    Generate(1, "inst");
    Generate(1, "old", "--pack-paths 1.0");
    for (const char* szInstall : {"inst", "old"})
    {
        for (Verifier::EDepth depth : {Verifier::DEPTH_COUNT, Verifier::DEPTH_NAMES, Verifier::DEPTH_LISTING,
                                       Verifier::DEPTH_CONTENT})
            EXPECT_EQ(Problems(1, szInstall, depth), "") << szInstall << " at depth " << depth;
        EXPECT_TRUE(Verifier::HoldsFileCount(Packs(szInstall), 12));
        EXPECT_FALSE(Verifier::HoldsFileCount(Packs(szInstall), 11));
    }
    // The installer's form of the directory, without the last separator.
    EXPECT_TRUE(Verifier::HoldsFileCount(Path("inst") + "/PackFiles", 12));
    // No packs hold no files; a catalogue without files needs none.
    EXPECT_FALSE(Verifier::HoldsFileCount(Path("nowhere/"), 12));
    EXPECT_TRUE(Verifier::HoldsFileCount(Path("nowhere/"), 0));
    EXPECT_EQ(Problems(1, "nowhere", Verifier::DEPTH_COUNT), "count  12 0\n");
}

// Version 2 changes two files' bytes (and sizes), moves one to another path, drops one and adds
// one; another moves pack, which no depth counts. Twelve files before and after.
TEST_F(KZInstallationVerifierTest, EachDepthSeesWhatItLooksAt)
{
    Generate(1, "inst");
    Generate(2);
    EXPECT_EQ(Problems(2, "inst", Verifier::DEPTH_COUNT), "");
    EXPECT_EQ(Problems(2, "inst", Verifier::DEPTH_NAMES), "missing new_1.bin  \nextra file0_2.bin  1060\n");
    const std::string strListing = "size Data/pack0/file0_0.bin 2216 750\n"
                                   "path Data/moved/file0_1.bin moved\\file0_1.bin pack0\\file0_1.bin\n"
                                   "size Data/pack1/file1_1.bin 2009 240\n"
                                   "missing Data/pack1/new_1.bin  \n"
                                   "extra Data/pack0/file0_2.bin  1060\n";
    EXPECT_EQ(Problems(2, "inst", Verifier::DEPTH_LISTING), strListing);
    EXPECT_EQ(Problems(2, "inst", Verifier::DEPTH_CONTENT), strListing);

    // One flipped byte in the data of file2_1.bin is a matter of content alone.
    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    ASSERT_TRUE(index.Open(CKZPath(Packs("inst"))));
    const SKZPackedFile* pPacked = index.GetPackedFileByInternalRelativePath("pack2\\file2_1.bin");
    ASSERT_NE(pPacked, nullptr);
    const fs::path pack = Packs("inst") + "p_00000002.csa";
    std::string strBytes = KZTestReadFile(pack);
    strBytes[pPacked->m_dwOffset + 7] ^= 0x01;
    index.Close();
    std::ofstream(pack, std::ios::binary | std::ios::trunc) << strBytes;
    EXPECT_EQ(Problems(1, "inst", Verifier::DEPTH_LISTING), "");
    const std::string strContent = Problems(1, "inst", Verifier::DEPTH_CONTENT);
    EXPECT_EQ(strContent.compare(0, 32, "checksum Data/pack2/file2_1.bin "), 0) << strContent;
    EXPECT_EQ(std::count(strContent.begin(), strContent.end(), '\n'), 1) << strContent;

    // Without pack 3's header the discovery ends at pack 2.
    fs::remove(Packs("inst") + "p_00000003.csaheader");
    EXPECT_EQ(Problems(1, "inst", Verifier::DEPTH_COUNT), "count  12 9\n");
    EXPECT_FALSE(Verifier::HoldsFileCount(Packs("inst"), 12));
}
