// Updates of an installed client through the exported C functions against the fixture server over
// loopback, on client versions written by Tests/Fixtures/server_tree_gen.py.

#include "PatchLibrary/KZPatchRunFixture.h"

#include <map>

using namespace kzpatchrun;

namespace
{
// A file's bytes and modification time.
struct SFileState
{
    std::string strBytes;
    fs::file_time_type time;
    bool operator==(const SFileState& other) const { return strBytes == other.strBytes && time == other.time; }
};

class KZPatchUpdateTest : public CKZPatchRunFixture
{
protected:
    // A completed new install of the tree on the server.
    void InstallFresh()
    {
        const SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        KZPatch::ResetForTesting();
    }
    // Every file of the pack directory with its bytes and time.
    std::map<std::string, SFileState> PackFileStates() const
    {
        std::map<std::string, SFileState> states;
        for (const auto& entry : fs::directory_iterator(m_project / "PackFiles"))
            states[entry.path().filename().string()] = {KZTestReadFile(entry.path()), fs::last_write_time(entry.path())};
        return states;
    }
    // The packed files of one pack as path, length and checksum, in path order: a rebuilt pack holds
    // the same files as the published one, though not necessarily in the same order.
    static std::vector<std::string> PackedFiles(const fs::path& pack)
    {
        std::istringstream listing(
            KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py read " + pack.string()));
        std::vector<std::string> vecFiles;
        for (std::string strLine; std::getline(listing, strLine);)
        {
            char path[512] = {0};
            unsigned index = 0, offset = 0, length = 0, low = 0, high = 0;
            char checksum[16] = {0};
            if (sscanf(strLine.c_str(), "file\t%u\t%u\t%u\t%15s\t%u\t%u\t%511s", &index, &offset, &length, checksum,
                       &low, &high, path) == 7)
                vecFiles.push_back(std::string(path) + " " + std::to_string(length) + " " + checksum);
            else if (strLine.rfind("error", 0) == 0)
                vecFiles.push_back(strLine);
        }
        std::sort(vecFiles.begin(), vecFiles.end());
        return vecFiles;
    }
    // The installed packs hold exactly the published ones' files, and no other pack exists.
    void ExpectPackContents(int packCount) const
    {
        for (int pack = 0; pack < packCount; ++pack)
        {
            const std::string strName = CKZPackFileArchive::CreateFileName(pack, "p", "csa");
            EXPECT_EQ(PackedFiles(m_project / "PackFiles" / strName), PackedFiles(m_expected / "PackFiles" / strName))
                << strName;
        }
        EXPECT_FALSE(fs::exists(m_project / "PackFiles" / CKZPackFileArchive::CreateFileName(packCount, "p", "csa")));
        EXPECT_TRUE(fs::is_empty(m_project / "Data"));
        EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"));
    }
    static void ExpectExactTotals(const SRunResult& result)
    {
        EXPECT_TRUE(result.progressInRange);
        EXPECT_EQ(result.filesDone, result.filesTotal);
        EXPECT_EQ(result.bytesDone, result.bytesTotal);
        EXPECT_EQ(result.downloadDone, result.downloadTotal);
        EXPECT_EQ(KZPatch::GetWebInstaller()->GetWeightedProgress(), 1.0f);
    }
};
} // namespace

TEST_F(KZPatchUpdateTest, NoOpUpdateFetchesAndRewritesNothing)
{
    Generate("--packs 3 --files 3");
    Serve();
    InstallFresh();
    const auto before = PackFileStates();
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_FALSE(KZPatch::GetWebInstaller()->IsNewInstall());
    EXPECT_EQ(result.filesTotal, 0u);
    ExpectExactTotals(result);
    EXPECT_TRUE(PackFileStates() == before);
    for (int pack = 0; pack < 3; ++pack)
        for (int file = 0; file < 3; ++file)
            EXPECT_EQ(Requests("/Data/file" + std::to_string(pack) + "_" + std::to_string(file) + ".bin.zip"), 0);
    ExpectPackContents(3);
}

// With the real pauses of the plain installer: every file's content changes.
TEST_F(KZPatchUpdateTest, EveryFileChanged)
{
    KZPatch::SetInstallerFactory(nullptr);
    Generate("--packs 2 --files 3");
    Serve();
    InstallFresh();
    Generate("--packs 2 --files 3 --seed 2");
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(result.filesTotal, 6u);
    ExpectExactTotals(result);
    ExpectPackContents(2);
    EXPECT_EQ(Requests("/Data/file1_2.bin.zip"), 1);
}

// A 404, a 500 and a cut-off body each cost one more request of that file only.
TEST_F(KZPatchUpdateTest, FailedTransfersAreFetchedAgain)
{
    Generate("--packs 3 --files 3");
    Serve({"GET:/Data/file0_0.bin.zip:fail:404:1", "GET:/Data/file1_1.bin.zip:fail:500:1",
           "GET:/Data/file2_2.bin.zip:cut:10:1"});
    InstallFresh();
    Generate("--packs 3 --files 3 --seed 2");
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    ExpectExactTotals(result);
    ExpectPackContents(3);
    for (int pack = 0; pack < 3; ++pack)
        for (int file = 0; file < 3; ++file)
            EXPECT_EQ(Requests("/Data/file" + std::to_string(pack) + "_" + std::to_string(file) + ".bin.zip"),
                      pack == file ? 2 : 1)
                << pack << " " << file;
}

// A loose file with a catalogue entry's name and bytes says nothing about the packed copy.
TEST_F(KZPatchUpdateTest, LooseFileDoesNotStandInForThePackedCopy)
{
    Generate("--packs 2 --files 2");
    Serve();
    InstallFresh();
    Generate("--packs 2 --files 2 --seed 2");
    fs::create_directories(m_project / "TVKClient.app" / "Contents" / "Resources");
    KZTestRunCommand("cd " + (m_project / "TVKClient.app" / "Contents" / "Resources").string() + " && unzip -qj " +
                     (m_serverDir / "Data" / "file0_1.bin.zip").string());
    ASSERT_TRUE(fs::exists(m_project / "TVKClient.app" / "Contents" / "Resources" / "file0_1.bin"));
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(Requests("/Data/file0_1.bin.zip"), 1);
    ExpectPackContents(2);
}

TEST_F(KZPatchUpdateTest, OldServerCataloguesInstallAfreshOrFail)
{
    Generate("--packs 2 --files 2");
    Serve();
    InstallFresh();
    const std::string strInstalledCatalogue = KZTestReadFile(m_project / "Data.ccx");
    const auto before = PackFileStates();

    // 257 cannot be read at all: the run fails and the installation stays as it is.
    Generate("--packs 2 --files 2 --version 257");
    SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_CATALOGUE_VERSION);
    EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), strInstalledCatalogue);
    EXPECT_TRUE(PackFileStates() == before);
    KZPatch::ResetForTesting();

    // 260 has no pack paths to merge by: the client is installed afresh.
    Generate("--packs 2 --files 2 --version 260 --seed 2");
    result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_TRUE(KZPatch::GetWebInstaller()->IsNewInstall());
    ExpectPacksInstalled({0, 1});
    EXPECT_EQ(Requests("/Data0.zip"), 2);
}

TEST_F(KZPatchUpdateTest, CatalogueUnreachable)
{
    Generate("--packs 1 --files 2");
    Serve({"GET:/Data.ccx:fail:500:0"});
    // The install needs the catalogue too: install from a second server on the same tree.
    {
        CKZTestHttpServer installServer(m_serverDir.string(), {});
        const SRunResult installed = Run(installServer.Host());
        ASSERT_EQ(installed.status, KZ_PATCH_DONE);
        KZPatch::ResetForTesting();
    }
    const int before = Requests("/Data.ccx");
    SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD);
    EXPECT_EQ(Requests("/Data.ccx") - before, 2);
    KZPatch::ResetForTesting();

    // Nothing listens on a port that was just closed.
    std::string strDead;
    {
        CKZTestHttpServer closed(m_serverDir.string(), {});
        strDead = closed.Host();
    }
    result = Run(strDead);
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD);
    EXPECT_TRUE(fs::exists(m_project / "Data.ccx"));
}
