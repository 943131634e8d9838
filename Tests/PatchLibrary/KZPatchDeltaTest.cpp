// Updates that fetch deltas instead of update zips, through the exported C functions over loopback.
// The server trees come from Tests/Fixtures/server_tree_gen.py, whose deltas the zstd program makes
// and whose index the generator writes itself: client version 1 is installed, version 2 keeps most
// bytes of its changed files, and file0_0.bin and file1_1.bin (the latter moving to another pack)
// have deltas.

#include "PatchLibrary/KZPatchRunFixture.h"

#include "System/KZDeltaIndex.h"
#include "System/Util/KZFileTimeCache.h"

#include <ctime>
#include <fstream>

using namespace kzpatchrun;

namespace
{
const std::string kGenerator = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";
const std::string kShape = " --packs 4 --files 3 --edits";

class KZPatchDeltaTest : public CKZPatchRunFixture
{
public:
    using CKZPatchRunFixture::m_serverDir;

    void SetUp() override
    {
        CKZPatchRunFixture::SetUp();
        KZTestRunCommand(kGenerator + (m_base / "old/s").string() + " " + (m_base / "old/e").string() + kShape +
                         " --client 1 --install " + m_project.string());
        Generate(kShape + " --client 2 --deltas 1");
        std::string strWhy;
        ASSERT_TRUE(m_index.Parse(KZTestReadFile(m_serverDir / KZInstallLayout::kDeltaIndexName), strWhy)) << strWhy;
        ASSERT_EQ(m_index.Deltas().size(), 2u);
    }
    void TearDown() override
    {
        // Keys are taken back only before a run: the next test must start without them.
        KZPatch::ResetForTesting();
        EXPECT_TRUE(kzpatch_set_trusted_keys(nullptr));
        CKZPatchRunFixture::TearDown();
    }

    const SKZDelta& DeltaOf(const std::string& strName) const
    {
        for (const auto& entry : m_index.Deltas())
            if (entry.second.strName == strName)
                return entry.second;
        throw std::runtime_error("no delta for " + strName);
    }
    fs::path DeltaFile(const std::string& strName) const { return m_serverDir / DeltaOf(strName).ServerPath(); }
    uint64_t SizeOf(const std::string& strPath) const { return fs::file_size(m_serverDir / strPath); }

    // The run installs version 2 with exact download totals: what was fetched, each thing once.
    SRunResult ExpectInstalled(const std::vector<std::string>& vecFetched)
    {
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_DONE) << kzpatch_get_error_text(result.errorCode);
        EXPECT_EQ(KZTestRunCommand(kGenerator + "--check " + m_project.string() + kShape + " --client 2 2>&1"), "ok\n");
        EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"));
        // The download total holds the pack merge's bytes: every file of the catalogue.
        CKZFileTimeCache catalogue;
        EXPECT_TRUE(catalogue.Initialize((m_serverDir / "Data.ccx").c_str(), nullptr, nullptr));
        uint64_t qwExpected = 0;
        for (const auto& entry : catalogue.GetRawData())
            qwExpected += entry.second->m_dwSize;
        for (const std::string& strPath : vecFetched)
        {
            EXPECT_EQ(Requests("/" + strPath), 1) << strPath;
            qwExpected += SizeOf(strPath);
        }
        EXPECT_EQ(result.downloadDone, result.downloadTotal);
        EXPECT_EQ(result.downloadTotal, qwExpected);
        EXPECT_EQ(result.filesDone, result.filesTotal);
        EXPECT_TRUE(result.progressInRange);
        EXPECT_TRUE(fs::is_empty(m_project / "Data"));
        EXPECT_FALSE(fs::exists(m_project / KZInstallLayout::kDeltaIndexName));
        return result;
    }
    std::vector<std::string> FetchedWithDeltas() const
    {
        return {DeltaOf("file0_0.bin").ServerPath(), DeltaOf("file1_1.bin").ServerPath(), "Data/file0_1.bin.zip",
                "Data/new_1.bin.zip"};
    }
    // file0_0.bin comes as its update zip after its delta failed.
    std::vector<std::string> FetchedWithoutFirstDelta() const
    {
        return {"Data/file0_0.bin.zip", DeltaOf("file1_1.bin").ServerPath(), "Data/file0_1.bin.zip",
                "Data/new_1.bin.zip"};
    }

    CKZDeltaIndex m_index;
};

// A delta that fails anywhere, from its transfer to its result, gives way to the file's update zip.
struct SDeltaFault
{
    const char* szName;
    std::function<void(KZPatchDeltaTest&)> spoil;
    bool bServerFails; // the server answers 500 for the delta
};
} // namespace

TEST_F(KZPatchDeltaTest, ChangedFilesComeAsDeltasAndMergeIntoTheirPacks)
{
    Serve();
    ExpectInstalled(FetchedWithDeltas());
    EXPECT_EQ(Requests("/Data.deltas"), 1);
    EXPECT_EQ(Requests("/Data/file0_0.bin.zip"), 0);
    EXPECT_EQ(Requests("/Data/file1_1.bin.zip"), 0);
}

TEST_F(KZPatchDeltaTest, AFailedDeltaGivesWayToTheUpdateZip)
{
    const SDeltaFault faults[] = {
        {"the delta is missing", [](KZPatchDeltaTest& t) { fs::remove(t.DeltaFile("file0_0.bin")); }, false},
        {"the delta's server fails", [](KZPatchDeltaTest&) {}, true},
        {"the delta is cut short",
         [](KZPatchDeltaTest& t) { fs::resize_file(t.DeltaFile("file0_0.bin"), fs::file_size(t.DeltaFile("file0_0.bin")) / 2); },
         false},
        {"the delta is garbage",
         [](KZPatchDeltaTest& t) {
             std::ofstream(t.DeltaFile("file0_0.bin"), std::ios::binary)
                 << std::string(fs::file_size(t.DeltaFile("file0_0.bin")), 'x');
         },
         false},
        {"the delta is another file's", [](KZPatchDeltaTest& t) {
             fs::copy_file(t.DeltaFile("file1_1.bin"), t.DeltaFile("file0_0.bin"), fs::copy_options::overwrite_existing);
         }, false},
        // A sound frame of the record's size that does not need the base: only the CRC-32 tells.
        {"the delta gives other bytes of the record's size", [](KZPatchDeltaTest& t) {
             const fs::path other = t.m_serverDir / "other";
             std::ofstream(other, std::ios::binary) << std::string(t.DeltaOf("file0_0.bin").dwTargetSize, 'y');
             KZTestRunCommand("zstd -q -f " + other.string() + " -o " + t.DeltaFile("file0_0.bin").string());
             fs::remove(other);
         }, false},
    };
    for (const SDeltaFault& fault : faults)
    {
        SCOPED_TRACE(fault.szName);
        SetUp();
        fault.spoil(*this);
        const std::string strDelta = "/" + DeltaOf("file0_0.bin").ServerPath();
        if (fault.bServerFails)
            Serve({"GET:" + strDelta + ":fail:500:0"});
        else
            Serve();
        ExpectInstalled(FetchedWithoutFirstDelta());
        EXPECT_EQ(Requests(strDelta), 1);
        KZPatch::ResetForTesting();
        m_server.reset();
    }
}

// Without a usable index every changed file comes whole, as from a server that has no deltas.
TEST_F(KZPatchDeltaTest, AnUnusableIndexMeansUpdateZips)
{
    const std::vector<std::string> vecZips = {"Data/file0_0.bin.zip", "Data/file1_1.bin.zip", "Data/file0_1.bin.zip",
                                              "Data/new_1.bin.zip"};
    for (const char* szIndex : {"", "kzpatch-delta-index 2\npublication 1\n", "kzpatch-delta-index 1\npublication 1"})
    {
        SCOPED_TRACE(szIndex);
        SetUp();
        if (*szIndex)
            std::ofstream(m_serverDir / KZInstallLayout::kDeltaIndexName, std::ios::binary) << szIndex;
        else
            fs::remove(m_serverDir / KZInstallLayout::kDeltaIndexName);
        Serve();
        ExpectInstalled(vecZips);
        KZPatch::ResetForTesting();
        m_server.reset();
    }
}

// Only the update zip's failures count towards the five refused tries of an entry: a refused delta
// and four refused zips still leave the fifth zip its try.
TEST_F(KZPatchDeltaTest, OnlyTheUpdateZipsFailuresCountTowardsTheTries)
{
    fs::remove(DeltaFile("file0_0.bin"));
    Serve({"GET:/Data/file0_0.bin.zip:fail:404:4"});
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << kzpatch_get_error_text(result.errorCode);
    EXPECT_EQ(Requests("/Data/file0_0.bin.zip"), 5);
    EXPECT_EQ(Requests("/" + DeltaOf("file0_0.bin").ServerPath()), 1);
}

// In a signed release the deltas and the index are checked like every other file, and the result
// against the signed index's SHA-256.
TEST_F(KZPatchDeltaTest, SignedReleasesCheckDeltasAndResults)
{
    SignTree(m_serverDir, 1, time(nullptr) + 24 * 3600, Seed(1));
    ASSERT_TRUE(kzpatch_set_trusted_keys(PublicText(Seed(1)).c_str()));
    Serve();
    ExpectInstalled(FetchedWithDeltas());
    KZPatch::ResetForTesting();
    m_server.reset();

    // A delta changed after signing is refused as it arrives.
    SetUp();
    SignTree(m_serverDir, 1, time(nullptr) + 24 * 3600, Seed(1));
    fs::copy_file(DeltaFile("file1_1.bin"), DeltaFile("file0_0.bin"), fs::copy_options::overwrite_existing);
    Serve();
    ExpectInstalled(FetchedWithoutFirstDelta());
    KZPatch::ResetForTesting();
    m_server.reset();

    // A signed index is trusted as far as its digests: a result that differs from one is refused
    // even when its CRC-32 matches (the index's digest is wrong here, and signed).
    SetUp();
    std::string strIndex = KZTestReadFile(m_serverDir / KZInstallLayout::kDeltaIndexName);
    const std::string strDigest = KZSignature::ToHex(DeltaOf("file0_0.bin").targetDigest);
    strIndex.replace(strIndex.find(strDigest), 64, std::string(64, '0'));
    std::ofstream(m_serverDir / KZInstallLayout::kDeltaIndexName, std::ios::binary) << strIndex;
    SignTree(m_serverDir, 1, time(nullptr) + 24 * 3600, Seed(1));
    Serve();
    ExpectInstalled(FetchedWithoutFirstDelta());
}
