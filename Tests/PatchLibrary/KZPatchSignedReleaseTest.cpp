// Signed releases through the exported C functions over loopback: with trusted keys a run installs
// only what the publisher signed, and each attack on the server's files ends the run with the
// installation exactly as it was, in a new install and in an update.

#include "PatchLibrary/KZPatchRunFixture.h"

#include "Base/Hash/KZSignature.h"
#include "System/KZInstallLayout.h"
#include "System/KZReleaseManifest.h"

#include <ctime>
#include <fstream>
#include <map>

using namespace kzpatchrun;

namespace
{
enum class ERunKind
{
    NewInstall, // an empty project, client version 2 on the server
    Update,     // client version 1 installed, version 2 on the server
};

const char* KindName(ERunKind kind)
{
    return kind == ERunKind::NewInstall ? "new install" : "update";
}

const std::string kGenerator = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";
const std::string kShape = " --packs 4 --files 3";
const int64_t kDay = 24 * 3600;

using kzpatchrun::PublicText;
using kzpatchrun::Seed;

class KZPatchSignedReleaseTest : public CKZPatchRunFixture
{
public:
    // The attacks below change the project and the server's tree.
    using CKZPatchRunFixture::m_base;
    using CKZPatchRunFixture::m_project;
    using CKZPatchRunFixture::m_serverDir;

    void TearDown() override
    {
        KZPatch::ResetForTesting();
        kzpatch_set_trusted_keys(nullptr);
        CKZPatchRunFixture::TearDown();
    }

    // A fresh project (empty, or holding client version 1) and a server with version 2, signed as
    // release 7 with the first key, which the run trusts.
    void Prepare(ERunKind kind)
    {
        m_server.reset();
        KZPatch::ResetForTesting();
        for (const fs::path& dir : {m_project, m_serverDir, m_expected, m_base / "old"})
            fs::remove_all(dir);
        fs::create_directories(m_project);
        m_kind = kind;
        if (kind == ERunKind::Update)
        {
            KZTestRunCommand(kGenerator + (m_base / "old/s").string() + " " + (m_base / "old/e").string() + kShape +
                             " --client 1 --install " + m_project.string());
            fs::remove_all(m_base / "old");
        }
        Generate(kShape + " --client 2");
        Sign(m_serverDir, 7, time(nullptr) + 30 * kDay, Seed(1));
        ASSERT_TRUE(kzpatch_set_trusted_keys(PublicText(Seed(1)).c_str()));
    }
    static void Sign(const fs::path& tree, uint64_t qwRelease, int64_t expires, const KZSignature::SecretSeed& seed)
    {
        kzpatchrun::SignTree(tree, qwRelease, expires, seed);
    }
    fs::path Manifest() const { return m_serverDir / KZInstallLayout::kManifestName; }

    // Every file of the project with its bytes, but the folder lock a run leaves.
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(m_project))
        {
            const std::string strName = entry.path().lexically_relative(m_project).generic_string();
            if (entry.is_regular_file() && strName != KZInstallLayout::kLockName)
                files[strName] = KZTestReadFile(entry.path());
        }
        return files;
    }
    // The catalogue and the packs, as an update must leave them when it fails.
    std::map<std::string, std::string> Installation() const
    {
        std::map<std::string, std::string> files = Snapshot();
        for (auto it = files.begin(); it != files.end();)
            it = it->first == "Data.ccx" || it->first.rfind("PackFiles/", 0) == 0 ? std::next(it) : files.erase(it);
        return files;
    }
    // One run that must fail with the code. A release refused at init leaves every file of the
    // project as it was; a run that got further installs nothing but the publisher's files (a new
    // install may keep the signed zips it unpacked) and, in an update, leaves the catalogue and the
    // packs as they were.
    void ExpectRefused(int32_t errorCode, bool bAtInit)
    {
        const auto before = Snapshot();
        const auto installed = Installation();
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_FAILED);
        EXPECT_EQ(result.errorCode, errorCode) << kzpatch_get_error_text(result.errorCode);
        if (bAtInit)
        {
            EXPECT_TRUE(Snapshot() == before) << "the project is byte for byte as before";
        }
        if (m_kind == ERunKind::Update)
        {
            EXPECT_TRUE(Installation() == installed) << "the catalogue and the packs are as before";
        }
        for (const auto& file : Snapshot())
        {
            EXPECT_EQ(file.second.find("FORGED"), std::string::npos) << file.first;
            EXPECT_EQ(file.second.find("evil client"), std::string::npos) << file.first;
            if (file.first.rfind("PackFiles/", 0) == 0 && !before.count(file.first))
            {
                EXPECT_EQ(file.second, KZTestReadFile(m_expected / file.first)) << file.first;
            }
        }
        EXPECT_FALSE(fs::exists(m_project / KZInstallLayout::kAcceptedReleaseName) &&
                     KZTestReadFile(m_project / KZInstallLayout::kAcceptedReleaseName) == "7\n");
    }
    void ExpectInstalled(const std::string& strRelease)
    {
        const SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        EXPECT_EQ(KZTestRunCommand(kGenerator + "--check " + m_project.string() + kShape + " --client 2 2>&1"), "ok\n");
        EXPECT_EQ(KZTestReadFile(m_project / KZInstallLayout::kAcceptedReleaseName), strRelease + "\n");
    }

    ERunKind m_kind = ERunKind::NewInstall;
    std::vector<std::string> m_vecRules;
};

struct SAttack
{
    const char* szName;
    std::function<void(KZPatchSignedReleaseTest&, ERunKind)> attack;
    int32_t newInstallCode, updateCode;
    // The file the run asks for more than once before it gives up (empty: none).
    const char* szRetried;
    bool bAtInit; // refused before the run touches the project
};
} // namespace

// Signed by the trusted key: both kinds of run install the release and record its number.
TEST_F(KZPatchSignedReleaseTest, SignedReleaseInstalls)
{
    for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
    {
        SCOPED_TRACE(KindName(kind));
        Prepare(kind);
        Serve();
        ExpectInstalled("7");
        EXPECT_EQ(Requests("/Data.manifest"), 1);
    }
}

// A download broken off and continued is checked as a whole file: the digest taken as bytes arrive
// covers only the continuation.
TEST_F(KZPatchSignedReleaseTest, ContinuedDownloadsAreCheckedWhole)
{
    for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
    {
        SCOPED_TRACE(KindName(kind));
        Prepare(kind);
        const std::string strPath = kind == ERunKind::NewInstall ? "/Data1.zip" : "/Data/file0_0.bin.zip";
        const fs::path log = m_base / "requests.log";
        fs::remove(log);
        Serve({"GET:" + strPath + ":cut:100:1"}, {"--log", log.string()});
        ExpectInstalled("7");
        EXPECT_EQ(Requests(strPath), 2);
        EXPECT_NE(KZTestReadFile(log).find("\"Range\", \"bytes=100-\""), std::string::npos);
    }
}

// Every attack the checks answer, each ending at once or after the bounded tries, with the project
// as it was.
TEST_F(KZPatchSignedReleaseTest, AttacksEndWithTheInstallationAsItWas)
{
    const SAttack attacks[] = {
        // Arbitrary installation: content a size and CRC-32 check would take for the record's.
        {"replaced zip, right size and CRC-32",
         [](KZPatchSignedReleaseTest& test, ERunKind kind) {
             if (kind == ERunKind::Update)
                 KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/crc_forge_zip.py " +
                                  (test.m_serverDir / "Data/file0_0.bin.zip").string() + " pack0/file0_0.bin");
             else
             {
                 std::fstream zip(test.m_serverDir / "Data0.zip", std::ios::in | std::ios::out | std::ios::binary);
                 zip.seekp(100);
                 zip.put('\x5a');
             }
         },
         CKZWebInstaller::ERROR_PACK_UPDATE, CKZWebInstaller::ERROR_PACK_UPDATE, nullptr, false},
        {"replaced client zip",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             KZTestRunCommand("cd " + test.m_base.string() + " && mkdir -p evil/TVKClient.app && echo evil client >" +
                              "evil/TVKClient.app/run && cd evil && rm -f " +
                              (test.m_serverDir / "TVKClientOSX.zip").string() + " && zip -qr " +
                              (test.m_serverDir / "TVKClientOSX.zip").string() + " TVKClient.app");
         },
         KZ_PATCH_ERROR_NONE, KZ_PATCH_ERROR_NONE, "/TVKClientOSX.zip", false},
        {"older signed release (rollback)",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             std::ofstream(test.m_project / KZInstallLayout::kAcceptedReleaseName) << "8\n";
         },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        {"expired manifest (freeze)",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             Sign(test.m_serverDir, 7, time(nullptr) - 1, Seed(1));
         },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        // Mix and match: the catalogue of the release before beside this release's manifest.
        {"catalogue of another release",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             const fs::path other = test.m_base / "other";
             KZTestRunCommand(kGenerator + (other / "s").string() + " " + (other / "e").string() + kShape +
                              " --client 1");
             fs::copy_file(other / "s/Data.ccx", test.m_serverDir / "Data.ccx", fs::copy_options::overwrite_existing);
             fs::remove_all(other);
         },
         CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD, CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD, "/Data.ccx", false},
        {"endless manifest",
         [](KZPatchSignedReleaseTest& test, ERunKind) { test.m_vecRules = {"GET:/Data.manifest:endless"}; },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        {"manifest signed by an unknown key",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             Sign(test.m_serverDir, 7, time(nullptr) + kDay, Seed(100));
         },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        {"truncated manifest",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             fs::resize_file(test.Manifest(), fs::file_size(test.Manifest()) - 40);
         },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        {"manifest with a flipped byte",
         [](KZPatchSignedReleaseTest& test, ERunKind) {
             std::fstream manifest(test.Manifest(), std::ios::in | std::ios::out | std::ios::binary);
             manifest.seekg(60);
             const char c = static_cast<char>(manifest.get());
             manifest.seekp(60);
             manifest.put(static_cast<char>(c ^ 1));
         },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        {"no manifest",
         [](KZPatchSignedReleaseTest& test, ERunKind) { fs::remove(test.Manifest()); },
         KZ_PATCH_ERROR_NOT_TRUSTED, KZ_PATCH_ERROR_NOT_TRUSTED, nullptr, true},
        // A file of the tree the release does not list is never taken.
        {"zip the release does not list",
         [](KZPatchSignedReleaseTest& test, ERunKind kind) {
             const std::string strName = kind == ERunKind::Update ? "Data/new_1.bin.zip" : "Data0.zip";
             fs::rename(test.m_serverDir / strName, test.m_base / "aside");
             Sign(test.m_serverDir, 7, time(nullptr) + kDay, Seed(1));
             fs::rename(test.m_base / "aside", test.m_serverDir / strName);
         },
         CKZWebInstaller::ERROR_PACK_UPDATE, CKZWebInstaller::ERROR_PACK_UPDATE, nullptr, false},
    };
    for (const SAttack& attack : attacks)
        for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
        {
            SCOPED_TRACE(std::string(attack.szName) + ", " + KindName(kind));
            Prepare(kind);
            m_vecRules.clear();
            attack.attack(*this, kind);
            Serve(m_vecRules);
            const auto start = Clock::now();
            ExpectRefused(kind == ERunKind::NewInstall ? attack.newInstallCode : attack.updateCode, attack.bAtInit);
            EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 20.0);
            if (attack.szRetried)
            {
                EXPECT_GT(Requests(attack.szRetried), 1) << "a file that fails its check is fetched again";
            }
        }
}

// Without keys the forged update zip passes the size and CRC-32 checks and is installed: the attack
// above is real, and only the signed release stops it.
TEST_F(KZPatchSignedReleaseTest, WithoutKeysTheForgedZipIsInstalled)
{
    Prepare(ERunKind::Update);
    ASSERT_TRUE(kzpatch_set_trusted_keys(nullptr));
    KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/crc_forge_zip.py " +
                     (m_serverDir / "Data/file0_0.bin.zip").string() + " pack0/file0_0.bin");
    Serve();
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE);
    EXPECT_NE(KZTestRunCommand(kGenerator + "--check " + m_project.string() + kShape + " --client 2 2>&1"), "ok\n");
}

// A forged update zip is asked for five times, like any file that keeps failing, and never reaches
// the packs.
TEST_F(KZPatchSignedReleaseTest, ForgedUpdateZipIsTriedFiveTimes)
{
    Prepare(ERunKind::Update);
    KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/crc_forge_zip.py " +
                     (m_serverDir / "Data/file0_0.bin.zip").string() + " pack0/file0_0.bin");
    Serve();
    ExpectRefused(CKZWebInstaller::ERROR_PACK_UPDATE, false);
    EXPECT_EQ(Requests("/Data/file0_0.bin.zip"), static_cast<int>(CKZRetryPolicy::kEntry.dwRefused));
}

// A publisher moves to a new key: a launcher trusting both installs releases signed with either,
// and a release number lower than the one installed is refused afterwards.
TEST_F(KZPatchSignedReleaseTest, KeyRotatedThroughTwoTrustedKeys)
{
    Prepare(ERunKind::NewInstall);
    const std::string strBoth = "# old key\n" + PublicText(Seed(1)) + "\n# new key\n" + PublicText(Seed(50)) + "\n";
    ASSERT_TRUE(kzpatch_set_trusted_keys(strBoth.c_str()));
    Sign(m_serverDir, 9, time(nullptr) + kDay, Seed(50));
    Serve();
    ExpectInstalled("9");
    KZPatch::ResetForTesting();

    // The same tree signed again as release 8 with the old key: older than what is installed.
    Sign(m_serverDir, 8, time(nullptr) + kDay, Seed(1));
    ExpectRefused(KZ_PATCH_ERROR_NOT_TRUSTED, true);
    EXPECT_EQ(KZTestReadFile(m_project / KZInstallLayout::kAcceptedReleaseName), "9\n");
}

// Keys are taken in status 0 only, and a text that is not keys changes nothing.
TEST_F(KZPatchSignedReleaseTest, TrustedKeysAreCheckedWhenSet)
{
    EXPECT_FALSE(kzpatch_set_trusted_keys("not a key"));
    EXPECT_FALSE(kzpatch_set_trusted_keys((PublicText(Seed(1)) + "0").c_str()));
    EXPECT_TRUE(kzpatch_set_trusted_keys(""));
    EXPECT_STREQ(kzpatch_get_error_text(KZ_PATCH_ERROR_NOT_TRUSTED), "not trusted");
    Prepare(ERunKind::NewInstall);
    Serve({"ANY:*:delay:300"});
    ASSERT_TRUE(kzpatch_init(m_project.c_str(), m_server->Host().c_str()));
    EXPECT_FALSE(kzpatch_set_trusted_keys(PublicText(Seed(2)).c_str()));
    EXPECT_TRUE(WaitUntil([] { return kzpatch_get_status() != KZ_PATCH_INITIALIZING; }));
}
