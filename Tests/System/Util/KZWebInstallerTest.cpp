// The installer's catalogue rules, state entry and exit actions and stage tables, with transfers
// answered from a local directory.

#include "System/Util/KZWebInstaller.h"

#include "Base/Util/KZThread.h"

#include "Fixtures/KZTestEvents.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestTransferClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// Transfers are copies from a directory standing in for the server.
std::unique_ptr<CKZWebInstaller> NewLocalInstaller(const fs::path& server)
{
    SKZInstallerTiming timing;
    timing.dwStartPauseMs = timing.dwRetryDelayMs = 5;
    return std::unique_ptr<CKZWebInstaller>(
        new CKZWebInstaller(std::unique_ptr<IKZTransferClient>(new CKZDirectoryTransferClient(server)), timing));
}

class KZWebInstallerTest : public CKZTestWithDirectory
{
protected:
    KZWebInstallerTest() : CKZTestWithDirectory("kzwebinstaller") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        fs::create_directories(m_dir / "root");
        fs::create_directories(m_dir / "server");
        Fresh();
    }
    // A new installer, initialised over the (new-install) root.
    void Fresh()
    {
        m_installer = NewLocalInstaller(m_dir / "server");
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(m_installer->Initialize("Data", (m_dir / "root").c_str(), "HTTPS://example.test/"));
        ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override
    {
        m_installer.reset();
        CKZTestWithDirectory::TearDown();
    }
    struct SCatalogue
    {
        int version;
        std::string strRecords; // catalogue_gen.py's JSON
    };
    // Writes catalogues with catalogue_gen.py in one run: server/<i>.ccx for the i-th one.
    void WriteCatalogues(const std::vector<SCatalogue>& catalogues) const
    {
        std::string strJson = "[";
        for (size_t i = 0; i < catalogues.size(); ++i)
            strJson += std::string(i ? ", " : "") + "[\"" + (m_dir / "server" / (std::to_string(i) + ".ccx")).string() +
                       "\", " + std::to_string(catalogues[i].version) + ", " + catalogues[i].strRecords + "]";
        std::ofstream(m_dir / "catalogues.json") << strJson << "]";
        const std::string strCommand =
            "python3 -c \"import json, sys; sys.path.insert(0, '" KZ_SOURCE_DIR "/Tests/Fixtures'); import catalogue_gen as g;"
            " [open(p, 'wb').write(g.write(v, r if isinstance(r, list) else r['records'],"
            " None if isinstance(r, list) else r['count'])) for p, v, r in json.load(open(sys.argv[1]))]\" " +
            (m_dir / "catalogues.json").string();
        ASSERT_EQ(system(strCommand.c_str()), 0);
    }
    // The i-th written catalogue becomes the server's.
    void Serve(size_t index) const
    {
        fs::copy_file(m_dir / "server" / (std::to_string(index) + ".ccx"), m_dir / "server" / "Data.ccx",
                      fs::copy_options::overwrite_existing);
    }
    // A new install as far as its downloads: no full-install zip is on the server.
    void EnterNewInstallDownload()
    {
        if (m_installer->GoToState(CKZWebInstaller::STATE_NEW_INSTALL_PREPARE))
            m_installer->GoToState(CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD);
    }
    void ServeCatalogue(int version, const std::string& strRecords) const
    {
        WriteCatalogues({{version, strRecords}});
        Serve(0);
    }
    std::unique_ptr<CKZWebInstaller> m_installer;
};
} // namespace

TEST_F(KZWebInstallerTest, AddressAndRoot)
{
    EXPECT_EQ(m_installer->GetServer(), "example.test");
    EXPECT_EQ(m_installer->GetScheme(), "https://");
    EXPECT_EQ(m_installer->RemoteUrl("Data/a b%.zip"), "https://example.test/Data/a%20b%25.zip");
    EXPECT_TRUE(m_installer->IsNewInstall());
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_IDLE);
    uint64_t done = 1, total = 1;
    m_installer->GetProgress(&done, &total, nullptr, nullptr);
    EXPECT_EQ(done + total, 0u);
    EXPECT_EQ(m_installer->GetWeightedProgress(), 0.0f);
}

// Only the changes of the table happen; each says whether it did, and a failed installer stays failed.
TEST_F(KZWebInstallerTest, StateChangesFollowTheTable)
{
    ServeCatalogue(260, R"([{"name": "a"}])");
    EXPECT_FALSE(m_installer->GoToState(CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD));
    EXPECT_FALSE(m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED));
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_IDLE);
    EXPECT_TRUE(m_installer->GoToState(CKZWebInstaller::STATE_IDLE)) << "already there";
    EnterNewInstallDownload();
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD);
    EXPECT_FALSE(m_installer->GoToState(CKZWebInstaller::STATE_UPDATE_COMPARE));
    EXPECT_TRUE(m_installer->GoToState(CKZWebInstaller::STATE_FAILED));
    EXPECT_FALSE(m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED));
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
}

TEST_F(KZWebInstallerTest, CatalogueAcceptanceRules)
{
    struct SCase
    {
        const char* szName;
        int version;
        std::string strRecords;
        int32_t expectedCode;
    };
    const SCase cases[] = {
        {"version 257", 257, R"([{"name": "a"}])", CKZWebInstaller::ERROR_CATALOGUE_VERSION},
        {"zip index 65536", 261, R"([{"name": "a", "zip": 65536, "path": "Data/a"}])",
         CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"zip index -1", 261, R"([{"name": "a", "zip": 4294967295, "path": "Data/a"}])",
         CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"path outside Data/", 261, R"([{"name": "a", "path": "PackFiles/a"}])", CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"escaping path", 261, R"([{"name": "a", "path": "Data/../../a"}])", CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"name with a folder", 261, R"([{"name": "x/a", "path": "Data/a"}])", CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"name ..", 261, R"([{"name": "..", "path": "Data/a"}])", CKZWebInstaller::ERROR_CATALOGUE_OPEN},
        {"record cut short", 261, R"({"records": [{"name": "a", "path": "Data/a"}], "count": 2})",
         CKZWebInstaller::ERROR_CATALOGUE_OPEN},
    };
    std::vector<SCatalogue> catalogues;
    for (const SCase& test : cases)
        catalogues.push_back({test.version, test.strRecords});
    WriteCatalogues(catalogues);
    for (size_t i = 0; i < catalogues.size(); ++i)
    {
        const SCase& test = cases[i];
        SCOPED_TRACE(test.szName);
        Fresh();
        Serve(i);
        m_installer->RetrieveCacheFile();
        EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
        EXPECT_EQ(m_installer->GetErrorCode(), test.expectedCode);
        EXPECT_FALSE(m_installer->IsCatalogueLoaded());
    }
}

TEST_F(KZWebInstallerTest, AcceptedCataloguesAndPackCount)
{
    // Older versions carry no path or zip and are read in their own layout.
    WriteCatalogues({{258, R"([{"name": "a", "size": 5, "csize": 3}])"},
                     {259, R"([{"name": "a", "size": 5, "csize": 3}])"},
                     {260, R"([{"name": "a", "size": 5, "csize": 3}])"}});
    for (int version : {258, 259, 260})
    {
        SCOPED_TRACE(version);
        Fresh();
        Serve(static_cast<size_t>(version - 258));
        m_installer->RetrieveCacheFile();
        EXPECT_TRUE(m_installer->IsCatalogueLoaded());
        EXPECT_EQ(m_installer->GetCatalogueVersion(), version);
        EXPECT_EQ(m_installer->GetPackFileCount(), 1u);
    }
    // The highest index decides the pack count; a later record of the same name replaces the earlier.
    Fresh();
    ServeCatalogue(261, R"([{"name": "a", "zip": 65535, "path": "Data/a"}, {"name": "b", "zip": 9, "path": "Data/b"},
                            {"name": "a", "zip": 2, "path": "Data/a"}])");
    m_installer->RetrieveCacheFile();
    EXPECT_TRUE(m_installer->IsCatalogueLoaded());
    EXPECT_EQ(m_installer->GetPackFileCount(), 10u);
    EXPECT_NE(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
}

TEST_F(KZWebInstallerTest, LeavingTheDownloadStateInstallsTheCatalogue)
{
    for (int i : {0, 1, 3})
        std::ofstream(m_dir / "root" / ("Data" + std::to_string(i) + ".install"));
    // A version-260 catalogue names no packs, so none are looked at.
    ServeCatalogue(260, R"([{"name": "a"}])");
    EnterNewInstallDownload();
    m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED);
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_INSTALLED);
    EXPECT_EQ(KZTestReadFile(m_dir / "root" / "Data.ccx"), KZTestReadFile(m_dir / "server" / "Data.ccx"));
    EXPECT_FALSE(fs::exists(m_dir / "root" / "Data0.install"));
    EXPECT_FALSE(fs::exists(m_dir / "root" / "Data1.install"));
    EXPECT_TRUE(fs::exists(m_dir / "root" / "Data3.install")) << "the first missing marker ends the sweep";
    EXPECT_FALSE(fs::exists(m_dir / "root" / "Data.ccx.tmp"));
}

TEST_F(KZWebInstallerTest, RefusedOrUninstallableCatalogueFailsTheRun)
{
    ServeCatalogue(257, R"([{"name": "a"}])");
    EnterNewInstallDownload();
    m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED);
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
    EXPECT_EQ(m_installer->GetErrorCode(), CKZWebInstaller::ERROR_CATALOGUE_VERSION);
    EXPECT_FALSE(fs::exists(m_dir / "root" / "Data.ccx"));
    m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED);
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED) << "a failed installer stays failed";

    // A catalogue naming a file in pack 0, and no pack installed: code 6, no catalogue.
    Fresh();
    ServeCatalogue(261, R"([{"name": "a", "path": "Data/a"}])");
    EnterNewInstallDownload();
    m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED);
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
    EXPECT_EQ(m_installer->GetErrorCode(), CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_FALSE(fs::exists(m_dir / "root" / "Data.ccx"));

    // Data.ccx cannot be replaced (a directory holds its place): code 6.
    Fresh();
    fs::create_directories(m_dir / "root" / "Data.ccx" / "inside");
    ServeCatalogue(260, R"([{"name": "a"}])");
    ::testing::internal::CaptureStdout();
    EnterNewInstallDownload();
    m_installer->GoToState(CKZWebInstaller::STATE_INSTALLED);
    const std::string strOutput = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_installer->GetState(), CKZWebInstaller::STATE_FAILED);
    EXPECT_EQ(m_installer->GetErrorCode(), CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_NE(strOutput.find("Could not install the catalogue"), std::string::npos) << strOutput;
}

// An installation whose catalogue has the older name Data.cch is an update when its pack files hold
// as many files as that catalogue lists.
TEST_F(KZWebInstallerTest, OlderCatalogueNameCountsItsOwnFiles)
{
    const fs::path expected = m_dir / "expected";
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + (m_dir / "server").string() +
                      " " + expected.string() + " > /dev/null")
                         .c_str()),
              0);
    fs::copy(expected / "PackFiles", m_dir / "root" / "PackFiles", fs::copy_options::recursive);
    fs::copy_file(m_dir / "server" / "Data.ccx", m_dir / "root" / "Data.cch");
    CKZTestEventRecorder events;
    Fresh();
    EXPECT_FALSE(m_installer->IsNewInstall());
    EXPECT_TRUE(m_installer->IsCatalogueLoaded());
    EXPECT_EQ(m_installer->GetPackFileCount(), 2u);
    EXPECT_EQ(events.Count(), 0);
}

TEST_F(KZWebInstallerTest, StageTables)
{
    std::map<std::string, CKZWebInstallerFile*> files;
    CKZWebInstallerFile a, b, c;
    a.m_dwZipIndex = 0;
    a.m_dwStage = 0;
    b.m_dwZipIndex = 1;
    b.m_dwStage = 1;
    c.m_dwZipIndex = 1;
    c.m_dwStage = 2;
    files["a"] = &a;
    std::map<int32_t, int32_t> zipStages;
    CKZWebInstallerFile::GetDownloadStageZipMap(files, zipStages);
    EXPECT_TRUE(zipStages.empty()) << "one zip carries no stage information";
    files["b"] = &b;
    files["c"] = &c;
    CKZWebInstallerFile::GetDownloadStageZipMap(files, zipStages);
    EXPECT_EQ(zipStages, (std::map<int32_t, int32_t>{{0, 0}, {1, 2}})) << "the last file in name order decides";

    EXPECT_EQ(m_installer->GetZipDownloadStage(7), 4294967295u);
    EXPECT_FALSE(m_installer->IsDownloadStageInfoAvailable());
    EXPECT_EQ(m_installer->GetDownloadStageInSyncCount(), 0u);
    uint64_t done = 1, total = 1;
    m_installer->GetDownloadStageProgress(0, &done, &total);
    EXPECT_EQ(done + total, 0u);
}

TEST_F(KZWebInstallerTest, CompareFileTimeHasTwoSecondsOfTolerance)
{
    SKZFileTime a, b, c, d;
    UnixTimeToFileTime(1000, &a);
    UnixTimeToFileTime(1002, &b);
    UnixTimeToFileTime(1003, &c);
    UnixTimeToFileTime(997, &d);
    EXPECT_EQ(CKZWebInstaller::CompareFileTime(&a, &b), 0);
    EXPECT_EQ(CKZWebInstaller::CompareFileTime(&c, &a), 1);
    EXPECT_EQ(CKZWebInstaller::CompareFileTime(&d, &a), -1);
}
