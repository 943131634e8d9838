// Updates of an installed client through the exported C functions against the fixture server over
// loopback, on client versions written by Tests/Fixtures/server_tree_gen.py.

#include "PatchLibrary/KZPatchRunFixture.h"

#include <fstream>
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

// The update zips of a slot come over one kept connection, not one connection per file.
TEST_F(KZPatchUpdateTest, UpdateZipsShareTheSlotsConnections)
{
    Generate("--packs 2 --files 10");
    Serve({}, {"--keep-alive"});
    InstallFresh();
    Generate("--packs 2 --files 10 --seed 2");
    const int before = Requests("/_connections", "ANY");
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(result.filesTotal, 20u);
    ExpectPackContents(2);
    // Two slots, the catalogue, the client application and the counting requests: far below 20.
    EXPECT_LE(Requests("/_connections", "ANY") - before, 8);
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
    EXPECT_EQ(Requests("/Data.ccx") - before, static_cast<int>(CKZRetryPolicy::kExchange.dwUnanswered));
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

namespace
{
// Client versions 1, 2 and 3 of the generator, installed directly or published on the server.
class KZPatchUpdateVersionsTest : public KZPatchUpdateTest
{
protected:
    static constexpr const char* kShape = " --packs 4 --files 3";
    // The server publishes client version `client` (and nothing of an earlier one).
    void Publish(int client, const std::string& strOptions = "")
    {
        fs::remove_all(m_serverDir);
        fs::remove_all(m_expected);
        fs::create_directories(m_serverDir);
        Generate(std::string(kShape) + " --client " + std::to_string(client) + " " + strOptions);
    }
    // A complete installation of client version `client`, written directly into the project.
    void InstallDirectly(int client, const std::string& strOptions = "")
    {
        const fs::path scratch = m_base / "scratch";
        KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + (scratch / "s").string() +
                         " " + (scratch / "e").string() + kShape + " --client " + std::to_string(client) +
                         " --install " + m_project.string() + " " + strOptions);
        fs::remove_all(scratch);
    }
    // The generator's reader: the project holds exactly client version `client`.
    std::string Check(int client, const std::string& strOptions = "") const
    {
        return KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py --check " +
                                m_project.string() + kShape + " --client " + std::to_string(client) + " " +
                                strOptions + " 2>&1");
    }
    std::string PackName(int pack) const { return CKZPackFileArchive::CreateFileName(pack, "p", "csa"); }
    // Pack data and header files, with bytes and time, of the given packs.
    std::map<std::string, SFileState> PackStates(const std::vector<int>& vecPacks) const
    {
        std::map<std::string, SFileState> all = PackFileStates(), states;
        for (int pack : vecPacks)
            for (const char* szSuffix : {"", "header"})
                states[PackName(pack) + szSuffix] = all[PackName(pack) + szSuffix];
        return states;
    }
};
} // namespace

// Installations written by the generator, not by the library, with the packs' internal paths as the
// design lays them and in the form our 1.0.0 wrote: a no-op update fetches and rewrites nothing, then
// v1 -> v2 -> v3 in one process (destroy and init between) fetch only what changed. Packs that an
// update rebuilds get the design's paths; the others keep theirs.
TEST_F(KZPatchUpdateVersionsTest, UpdatesFetchOnlyWhatChanged)
{
    for (const char* szForm : {"design", "1.0"})
    {
        SCOPED_TRACE(szForm);
        const std::string strForm = std::string(" --pack-paths ") + szForm;
        KZPatch::ResetForTesting();
        fs::remove_all(m_project);
        fs::create_directories(m_project);
        InstallDirectly(1, strForm);
        Publish(1);
        Serve();
        auto untouched = PackFileStates();
        SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        EXPECT_FALSE(KZPatch::GetWebInstaller()->IsNewInstall());
        EXPECT_EQ(result.filesTotal, 0u);
        EXPECT_TRUE(PackFileStates() == untouched) << "a no-op update rewrites no pack";
        KZPatch::ResetForTesting();

        Publish(2);
        untouched = PackStates({3});
        result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        EXPECT_FALSE(KZPatch::GetWebInstaller()->IsNewInstall());
        ExpectExactTotals(result);
        EXPECT_EQ(Check(2, " --pack-paths 1.0"), "ok\n");
        EXPECT_TRUE(PackStates({3}) == untouched) << "a pack no file of the update touches is not rewritten";
        for (int pack : {0, 1, 2})
            for (const std::string& strFile : PackedFiles(m_project / "PackFiles" / PackName(pack)))
                EXPECT_NE(strFile.rfind("Data\\", 0), 0u) << "a rebuilt pack holds the design's paths: " << strFile;
        EXPECT_TRUE(fs::is_empty(m_project / "Data"));
        EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"));
        // Changed, changed-and-moved, added and re-pathed files are fetched once; a file that only
        // moves pack, and every unchanged file, not at all.
        const std::vector<std::string> vecFetched = {"file0_0.bin", "file0_1.bin", "file1_1.bin", "new_1.bin"};
        for (const char* szName : {"file0_0.bin", "file0_1.bin", "file1_1.bin", "new_1.bin", "file1_0.bin",
                                   "file1_2.bin", "file2_0.bin", "file3_2.bin"})
            EXPECT_EQ(Requests("/Data/" + std::string(szName) + ".zip"),
                      std::count(vecFetched.begin(), vecFetched.end(), szName) ? 1 : 0)
                << szName;
        EXPECT_EQ(result.filesTotal, vecFetched.size());
        ASSERT_TRUE(kzpatch_destroy());
        ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_IDLE; }));

        untouched = PackStates({0, 1, 3});
        Publish(3);
        result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        ExpectExactTotals(result);
        EXPECT_EQ(Check(3, " --pack-paths 1.0"), "ok\n");
        EXPECT_TRUE(PackStates({0, 1, 3}) == untouched);
        EXPECT_EQ(result.filesTotal, 2u) << "file2_0.bin and new_3.bin";
    }
}

// Content that does not match its catalogue checksum never reaches the packs.
TEST_F(KZPatchUpdateVersionsTest, WrongContentIsNeverMerged)
{
    InstallDirectly(1);
    const auto before = PackFileStates();
    const std::string strCatalogue = KZTestReadFile(m_project / "Data.ccx");
    Publish(2, "--corrupt file0_0.bin");
    Serve();
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_EQ(Requests("/Data/file0_0.bin.zip"), static_cast<int>(CKZRetryPolicy::kEntry.dwRefused));
    EXPECT_LE(result.downloadDone, result.downloadTotal) << "the refused file's download is taken back";
    EXPECT_TRUE(PackFileStates() == before);
    EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), strCatalogue);
}

// A catalogue that names one file twice promises one file more than any pack can hold.
TEST_F(KZPatchUpdateVersionsTest, DuplicatedRecordFailsTheCountCheck)
{
    InstallDirectly(1);
    Publish(2, "--duplicate file3_0.bin");
    Serve();
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
}

// Scrambled catalogue strings and scrambled or old-layout pack headers read as plain ones do.
TEST_F(KZPatchUpdateVersionsTest, EncodingsOfTheInstallation)
{
    for (const char* szOptions : {"--scramble-strings", "--pack-headers scrambled", "--pack-headers old"})
    {
        SCOPED_TRACE(szOptions);
        KZPatch::ResetForTesting();
        fs::remove_all(m_project);
        fs::create_directories(m_project);
        InstallDirectly(1, szOptions);
        Publish(2, szOptions);
        Serve();
        const SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        EXPECT_FALSE(KZPatch::GetWebInstaller()->IsNewInstall());
        EXPECT_EQ(result.filesTotal, 4u);
        EXPECT_EQ(Check(2), "ok\n");
    }
}

// Packs that do not hold the local catalogue's file count cannot be updated: installed afresh.
TEST_F(KZPatchUpdateVersionsTest, PackCountMismatchInstallsAfresh)
{
    InstallDirectly(1);
    fs::remove(m_project / "PackFiles" / (PackName(3) + "header"));
    Publish(2);
    Serve();
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_TRUE(KZPatch::GetWebInstaller()->IsNewInstall());
    EXPECT_EQ(Check(2), "ok\n");
}

// A file fetched under its own name carries the server's time, so the next update finds it in sync
// by size and time and does not fetch it again.
TEST_F(KZPatchUpdateVersionsTest, OwnNameFileKeepsTheServerTime)
{
    InstallDirectly(1);
    Publish(1);
    std::ofstream(m_serverDir / "extra.txt") << "an extra file";
    Serve();
    for (int run = 0; run < 2; ++run)
    {
        SCOPED_TRACE(run);
        CKZWebInstaller installer(nullptr, FastTiming());
        ASSERT_TRUE(installer.Initialize("Data", m_project.c_str(), m_server->Host().c_str()));
        ASSERT_FALSE(installer.IsNewInstall());
        installer.AddCustomFile("extra.txt", 0, 0, nullptr);
        ASSERT_TRUE(installer.Install());
        ASSERT_TRUE(WaitUntil([&] { return installer.GetState() >= CKZWebInstaller::STATE_INSTALLED; }));
        EXPECT_EQ(installer.GetState(), CKZWebInstaller::STATE_INSTALLED);
        EXPECT_EQ(KZTestReadFile(m_project / "extra.txt"), "an extra file");
        const auto serverTime = std::chrono::floor<std::chrono::seconds>(
            fs::last_write_time(m_serverDir / "extra.txt"));
        EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(m_project / "extra.txt")),
                  serverTime);
    }
    EXPECT_EQ(Requests("/extra.txt"), 1);
}

// The progress getters never wait for the pack merge: they answer while a 150 MB pack is rebuilt.
TEST_F(KZPatchUpdateVersionsTest, GettersAnswerWhileAPackIsRebuilt)
{
    // The big file changes (one byte longer), so its pack is rebuilt rather than appended to: an
    // append of a few small files would end before any getter could see it.
    const std::string strBig = "--big-file 150000001";
    Publish(1, "--big-file 150000000 --install " + m_project.string());
    Publish(2, strBig);
    Serve();
    double maxMs = 0;
    int mergeSamples = 0;
    const SRunResult result = RunLocal([&] {
        const auto start = Clock::now();
        const uint64_t qwDone = kzpatch_get_current_bytes();
        const uint64_t qwTotal = kzpatch_get_total_bytes();
        const uint32_t dwFiles = kzpatch_get_current_files();
        const uint32_t dwTotalFiles = kzpatch_get_total_files();
        kzpatch_get_current_download_bytes();
        kzpatch_get_total_download_bytes();
        maxMs = std::max(maxMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        // Every file is in and the packs are not yet complete.
        if (dwTotalFiles > 0 && dwFiles == dwTotalFiles && qwDone < qwTotal)
            ++mergeSamples;
    });
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_GT(mergeSamples, 0);
    EXPECT_LT(maxMs, 50.0);
    ExpectExactTotals(result);
    EXPECT_EQ(Check(2, strBig), "ok\n");
}

// A name without an extension is a name: an unchanged one is found in sync, a changed one fetched.
TEST_F(KZPatchUpdateVersionsTest, NamesWithoutAnExtension)
{
    const std::string strBare = "--bare file3_0.bin --bare file0_0.bin";
    InstallDirectly(1, strBare);
    Publish(2, strBare);
    Serve();
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(Check(2, strBare), "ok\n");
    EXPECT_EQ(Requests("/Data/file3_0.zip"), 0);
    EXPECT_EQ(Requests("/Data/file0_0.zip"), 1);
    EXPECT_EQ(result.filesTotal, 4u);
}
