// Faults of the server, of its content and of the local disk, each through the exported C functions
// over loopback, in a new install and in an update: every run ends within the fixture's bound in
// the published installation or with its error code, and writes nothing beside the install root.

#include "PatchLibrary/KZPatchRunFixture.h"

#include "Fixtures/KZFaultyWrites.h"

#include <fstream>
#include <map>
#include <sys/mount.h>

using namespace kzpatchrun;

namespace
{
enum class ERunKind
{
    NewInstall, // an empty project, client version 1 on the server
    Update,     // client version 1 installed, version 2 on the server
};

const char* KindName(ERunKind kind)
{
    return kind == ERunKind::NewInstall ? "new install" : "update";
}

const std::string kGenerator = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";
const std::string kHostileZip = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/hostile_zip_gen.py ";

class KZPatchFaultsTest : public CKZPatchRunFixture
{
protected:
    void TearDown() override
    {
        KZInternet::SetStallTimeout(60);
        KZInternet::SetSlowTransferFloor(1024);
        if (m_bMounted)
            umount2(m_project.c_str(), MNT_DETACH);
        CKZPatchRunFixture::TearDown();
    }

    static std::string Shape(ERunKind kind)
    {
        return kind == ERunKind::NewInstall ? " --packs 2 --files 3 --client 1" : " --packs 4 --files 3 --client 2";
    }
    // A fresh project and server for the kind of run; the server is not started.
    void Prepare(ERunKind kind, const std::string& strOptions = "")
    {
        m_server.reset();
        KZPatch::ResetForTesting();
        if (m_bMounted)
            umount2(m_project.c_str(), MNT_DETACH);
        m_bMounted = false;
        for (const fs::path& dir : {m_project, m_serverDir, m_expected, m_base / "old"})
            fs::remove_all(dir);
        fs::create_directories(m_project);
        m_kind = kind;
        m_strOptions = strOptions;
        if (kind == ERunKind::Update)
            InstallVersionOne();
        Generate(Shape(kind) + " " + strOptions);
    }
    void InstallVersionOne()
    {
        KZTestRunCommand(kGenerator + (m_base / "old/s").string() + " " + (m_base / "old/e").string() +
                         " --packs 4 --files 3 --client 1 " + m_strOptions + " --install " + m_project.string());
        fs::remove_all(m_base / "old");
    }
    std::string Check() const
    {
        return KZTestRunCommand(kGenerator + "--check " + m_project.string() + Shape(m_kind) + " " + m_strOptions +
                                " 2>&1");
    }
    // Every file beside the project, with its size and time: what a run must leave alone.
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> Outside() const
    {
        std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> files;
        for (auto it = fs::recursive_directory_iterator(m_base); it != fs::recursive_directory_iterator(); ++it)
        {
            if (it->path() == m_project)
            {
                it.disable_recursion_pending();
                continue;
            }
            files[it->path().string()] = {it->is_regular_file() ? it->file_size() : 0, it->last_write_time()};
        }
        return files;
    }
    // The bytes of every file below a directory.
    static uintmax_t TreeBytes(const fs::path& dir)
    {
        uintmax_t qwBytes = 0;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator();
             it.increment(error))
            if (it->is_regular_file(error))
                qwBytes += it->file_size(error);
        return qwBytes;
    }
    // The installation a failed update must leave as it was: catalogue and pack files.
    std::map<std::string, std::string> Installation() const
    {
        std::map<std::string, std::string> files;
        files["Data.ccx"] = KZTestReadFile(m_project / "Data.ccx");
        if (fs::exists(m_project / "PackFiles"))
            for (const auto& entry : fs::directory_iterator(m_project / "PackFiles"))
                files[entry.path().filename().string()] = KZTestReadFile(entry.path());
        return files;
    }
    // Runs once and checks the outcome: the published client, or the failure with its code (and, in
    // an update, the installation untouched).
    void RunExpecting(KZPatchStatus status, int32_t errorCode)
    {
        const auto outside = Outside();
        const auto installed = Installation();
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, status) << result.errorCode;
        if (status == KZ_PATCH_DONE)
        {
            EXPECT_EQ(Check(), "ok\n");
            EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"));
            ExpectNoLeftovers();
        }
        else
        {
            EXPECT_EQ(result.errorCode, errorCode);
            if (m_kind == ERunKind::Update)
            {
                EXPECT_TRUE(Installation() == installed) << "a failed update leaves the installation as it was";
            }
        }
        EXPECT_TRUE(Outside() == outside) << "nothing is written beside the install root";
    }
    // A size-limited file system over the project; false where mounting is refused.
    bool MountSmallDisk(const std::string& strSize)
    {
        fs::create_directories(m_project);
        if (mount("tmpfs", m_project.c_str(), "tmpfs", 0, ("size=" + strSize).c_str()) != 0)
            return false;
        m_bMounted = true;
        return true;
    }
    bool Remount(unsigned long flags, const std::string& strOptions)
    {
        return mount("tmpfs", m_project.c_str(), "tmpfs", MS_REMOUNT | flags, strOptions.c_str()) == 0;
    }

    ERunKind m_kind = ERunKind::NewInstall;
    std::string m_strOptions;
    bool m_bMounted = false;
};

struct SServerFault
{
    const char* szName;
    std::vector<std::string> vecRules; // "%" stands for the path of a file the run fetches
    std::vector<std::string> vecSwitches;
    KZPatchStatus newInstallStatus, updateStatus;
    int32_t errorCode; // of a failed run
};

std::vector<std::string> ForPath(const std::vector<std::string>& vecRules, const std::string& strPath)
{
    std::vector<std::string> vecOut;
    for (std::string strRule : vecRules)
    {
        const size_t at = strRule.find('%');
        if (at != std::string::npos)
            strRule.replace(at, 1, strPath);
        vecOut.push_back(strRule);
    }
    return vecOut;
}
} // namespace

// A misbehaving server, in the download of one full-install zip and of one update zip.
TEST_F(KZPatchFaultsTest, ServerFaults)
{
    KZInternet::SetStallTimeout(1);
    const KZPatchStatus done = KZ_PATCH_DONE, failed = KZ_PATCH_FAILED;
    const SServerFault faults[] = {
        {"404 once", {"GET:%:fail:404:1"}, {}, done, done, 0},
        {"500 twice", {"GET:%:fail:500:2"}, {}, done, done, 0},
        {"body cut short", {"GET:%:cut:10:1"}, {}, done, done, 0},
        {"stalled body", {"GET:%:stall:5000:1"}, {}, done, done, 0},
        // Plain HTTP follows no redirect: a file always redirected is refused, and the run gives up.
        {"redirect", {"GET:%:redirect:/Data.ccx"}, {}, failed, failed, CKZWebInstaller::ERROR_PACK_UPDATE},
        // A zip whose size and time cannot be learnt ends the enumeration short of the catalogue's packs.
        {"no Last-Modified", {"ANY:%:nolm"}, {}, failed, done, CKZWebInstaller::ERROR_PACK_UPDATE},
        {"10% of connections dropped", {"ANY:*:dropshare:10"}, {"--seed", "7"}, done, done, 0},
    };
    for (const SServerFault& fault : faults)
        for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
        {
            SCOPED_TRACE(std::string(fault.szName) + ", " + KindName(kind));
            Prepare(kind);
            Serve(ForPath(fault.vecRules, kind == ERunKind::NewInstall ? "/Data1.zip" : "/Data/file0_0.bin.zip"),
                  fault.vecSwitches);
            RunExpecting(kind == ERunKind::NewInstall ? fault.newInstallStatus : fault.updateStatus, fault.errorCode);
        }
}

// A server that fails every try of a file, with an error or without an answer, ends the run after a
// bounded number of tries instead of holding it forever.
TEST_F(KZPatchFaultsTest, ServerThatAlwaysFailsEndsTheRun)
{
    const struct
    {
        ERunKind kind;
        const char* szPath;
        const char* szRule;
    } cases[] = {
        {ERunKind::NewInstall, "/Data1.zip", ":fail:503:0"},
        {ERunKind::Update, "/Data/file0_0.bin.zip", ":cut:0:0"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(KindName(c.kind)) + c.szRule);
        Prepare(c.kind);
        Serve({std::string("GET:") + c.szPath + c.szRule});
        RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_PACK_UPDATE);
        EXPECT_EQ(Requests(c.szPath), static_cast<int>(CKZRetryPolicy::kEntry.dwUnanswered));
    }
}

// A server that sends without end, announces a file larger than it may be, or trickles below the
// floor: every transfer has a bound, so each run ends on its own, soon, with its disk use within
// what the run announced. (The trickle is scaled down: a window of 1 s instead of 60 s.)
TEST_F(KZPatchFaultsTest, HostileTransfersEndWithinTheirBounds)
{
    const struct
    {
        const char* szName;
        std::vector<std::string> vecRules; // "%" stands for the path of a file the run fetches
        int32_t errorCode;
        int requests; // of that file
        double seconds;
    } cases[] = {
        {"endless catalogue", {"GET:/Data.ccx:endless"}, CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD, -1, 10},
        {"endless zip", {"GET:%:endless"}, CKZWebInstaller::ERROR_PACK_UPDATE,
         static_cast<int>(CKZRetryPolicy::kEntry.dwRefused), 10},
        {"Content-Length 50 GB", {"GET:%:length:50000000000"}, CKZWebInstaller::ERROR_PACK_UPDATE,
         static_cast<int>(CKZRetryPolicy::kEntry.dwRefused), 10},
        {"1 byte every 1.5 s", {"GET:%:drip:1:1500"}, CKZWebInstaller::ERROR_PACK_UPDATE,
         static_cast<int>(CKZRetryPolicy::kEntry.dwUnanswered), 40},
    };
    KZInternet::SetStallTimeout(1);
    for (const auto& c : cases)
        for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
        {
            SCOPED_TRACE(std::string(c.szName) + ", " + KindName(kind));
            Prepare(kind);
            const std::string strPath = kind == ERunKind::NewInstall ? "/Data1.zip" : "/Data/file0_0.bin.zip";
            Serve(ForPath(c.vecRules, strPath));
            // What the run may write: the installation there is and the whole published tree.
            const uintmax_t qwAllowed = TreeBytes(m_project) + TreeBytes(m_serverDir) + (1u << 20);
            uintmax_t qwPeak = 0;
            auto lastSample = Clock::now() - std::chrono::seconds(1);
            const auto start = Clock::now();
            const auto installed = Installation();
            const SRunResult result = RunLocal([&] {
                if (Clock::now() - lastSample < std::chrono::milliseconds(20))
                    return;
                lastSample = Clock::now();
                qwPeak = std::max(qwPeak, TreeBytes(m_project));
            });
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            EXPECT_EQ(result.status, KZ_PATCH_FAILED);
            EXPECT_EQ(result.errorCode, c.errorCode);
            EXPECT_LT(seconds, c.seconds);
            EXPECT_LE(qwPeak, qwAllowed);
            if (c.requests > 0)
            {
                EXPECT_EQ(Requests(strPath), c.requests);
            }
            if (kind == ERunKind::Update)
            {
                EXPECT_TRUE(Installation() == installed);
            }
            printf("hostile transfer\t%s\t%s\t%d/%d\t%.1f s\tpeak %ju bytes (allowed %ju)\n", c.szName,
                   KindName(kind), static_cast<int>(result.status), static_cast<int>(result.errorCode), seconds,
                   qwPeak, qwAllowed);
        }
}

// 10 bytes per second: slow, never stalled; the run waits for it. One small update zip only, since
// every byte costs a tenth of a second.
TEST_F(KZPatchFaultsTest, TenBytesPerSecond)
{
    KZInternet::SetStallTimeout(2);
    KZInternet::SetSlowTransferFloor(10);
    Prepare(ERunKind::Update, "--file-size 1");
    ASSERT_LT(fs::file_size(m_serverDir / "Data/file0_0.bin.zip"), 200u);
    Serve({"GET:/Data/file0_0.bin.zip:slow:10"});
    RunExpecting(KZ_PATCH_DONE, 0);
    EXPECT_EQ(Requests("/Data/file0_0.bin.zip"), 1);
}

// A catalogue record whose file the server lacks: refused every time, the run gives up.
TEST_F(KZPatchFaultsTest, CatalogueListsAFileTheServerLacks)
{
    Prepare(ERunKind::Update);
    fs::remove(m_serverDir / "Data/new_1.bin.zip");
    Serve();
    RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_EQ(Requests("/Data/new_1.bin.zip"), static_cast<int>(CKZRetryPolicy::kEntry.dwRefused));
}

// Catalogues that cannot be read or that point outside the installation are refused before any
// file is fetched.
TEST_F(KZPatchFaultsTest, BrokenAndHostileCatalogues)
{
    const std::string strCatalogueGen = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py ";
    const struct
    {
        const char* szName;
        std::function<void(const fs::path&)> damage;
    } cases[] = {
        {"truncated",
         [](const fs::path& catalogue) { fs::resize_file(catalogue, fs::file_size(catalogue) / 2); }},
        {"path leaving the root", [&](const fs::path& catalogue) {
             KZTestRunCommand(strCatalogueGen + "read " + catalogue.string() + " | sed 's#\"Data/pack0/#\"Data/../../#' >" +
                              catalogue.string() + ".json && " + strCatalogueGen + "write 261 " + catalogue.string() +
                              " @" + catalogue.string() + ".json && rm " + catalogue.string() + ".json");
         }},
        {"zip index 4294967295", [&](const fs::path& catalogue) {
             KZTestRunCommand(strCatalogueGen + "read " + catalogue.string() +
                              " | sed '0,/\"zip\": [0-9]*/s//\"zip\": 4294967295/' >" + catalogue.string() +
                              ".json && " + strCatalogueGen + "write 261 " + catalogue.string() + " @" +
                              catalogue.string() + ".json && rm " + catalogue.string() + ".json");
         }},
    };
    for (const auto& test : cases)
        for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
        {
            SCOPED_TRACE(std::string(test.szName) + ", " + KindName(kind));
            Prepare(kind);
            const std::string strBefore = KZTestReadFile(m_serverDir / "Data.ccx");
            test.damage(m_serverDir / "Data.ccx");
            ASSERT_NE(KZTestReadFile(m_serverDir / "Data.ccx"), strBefore);
            Serve();
            RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_CATALOGUE_OPEN);
            EXPECT_EQ(Requests("/Data0.zip") + Requests("/Data/file0_0.bin.zip"), 0);
        }
}

// Update zips that try to write elsewhere, pose as a link or lie about their size never reach the
// packs, and nothing lands outside the download folder.
TEST_F(KZPatchFaultsTest, HostileUpdateZips)
{
    const fs::path absolute = m_base / "absolute.txt";
    const std::pair<const char*, std::string> zips[] = {
        {"escape", absolute.string()},
        {"symlink", "/etc/passwd"},
        {"huge", ""},
        {"bomb", ""},
    };
    for (const auto& zip : zips)
    {
        SCOPED_TRACE(zip.first);
        Prepare(ERunKind::Update);
        KZTestRunCommand(kHostileZip + zip.first + " " + (m_serverDir / "Data/file0_0.bin.zip").string() +
                         " pack0/file0_0.bin " + zip.second);
        Serve();
        RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_PACK_UPDATE);
        EXPECT_FALSE(fs::exists(absolute));
        EXPECT_FALSE(fs::exists(m_base / "escaped.txt"));
        EXPECT_FALSE(fs::exists(m_project / "escaped.txt"));
        for (const auto& entry : fs::recursive_directory_iterator(m_project / "Data"))
            EXPECT_TRUE(entry.is_directory() || entry.path().filename() != "file0_0.bin") << entry.path();
    }
}

// A full-install zip holding a link entry: it is written as a plain file, never as a link.
TEST_F(KZPatchFaultsTest, LinkEntryInAFullInstallZip)
{
    Prepare(ERunKind::NewInstall);
    KZTestRunCommand(kHostileZip + "symlink " + (m_serverDir / "Data1.zip").string() + " PackFiles/p_00000001.csa " +
                     (m_base / "server").string());
    Serve();
    RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_FALSE(fs::is_symlink(m_project / "PackFiles/p_00000001.csa"));
}

// A disk that fills up, and a disk that fails a write: the run fails with its code within the bound,
// and once the writes go through again the next run ends with the published client. The faults come
// from the write back end, so no file system of the test's own is needed.
TEST_F(KZPatchFaultsTest, DiskFullAndWriteErrors)
{
    const struct
    {
        const char* szName;
        ERunKind kind;
        uint64_t qwRoom;      // bytes that fit before the disk is full
        uint64_t qwFailWrite; // the first write that fails (0: none)
    } cases[] = {
        {"disk full while downloading", ERunKind::NewInstall, 150000, 0},
        {"disk full while unpacking or merging", ERunKind::Update, 300000, 0},
        {"a failing write", ERunKind::NewInstall, ~uint64_t(0), 5},
        {"a failing write", ERunKind::Update, ~uint64_t(0), 5},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.szName) + ", " + KindName(c.kind));
        Prepare(c.kind, "--stored --file-size 60000");
        Serve();
        CKZFaultyWrites faults;
        faults.SetRoom(c.qwRoom);
        faults.FailFromWrite(c.qwFailWrite);
        const auto installed = Installation();
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_FAILED);
        EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
        EXPECT_GT(faults.Refused(), 0u);
        if (c.kind == ERunKind::Update)
        {
            EXPECT_TRUE(Installation() == installed) << "a failed update leaves the installation as it was";
        }
        KZPatch::ResetForTesting();

        faults.SetRoom(~uint64_t(0));
        faults.FailFromWrite(0);
        RunExpecting(KZ_PATCH_DONE, 0);
    }
}

// A disk that fills while a pack is rebuilt: the rebuild's temporaries go, and the catalogue and
// every pack stay byte for byte, so that once there is room the next run fetches only what changed.
TEST_F(KZPatchFaultsTest, FailedRebuildKeepsTheInstallation)
{
    // Pack 0 holds 3 MB that an update appends to; the disk has room for the downloads and their
    // unpacked files (about 500 kB), not for the 300 kB the packs' update then writes.
    Prepare(ERunKind::Update, "--big-file 3000000 --file-size 60000");
    Serve();
    CKZFaultyWrites faults;
    faults.SetRoom(600000);
    RunExpecting(KZ_PATCH_FAILED, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_GT(faults.Refused(), 0u);
    for (const auto& entry : fs::directory_iterator(m_project / "PackFiles"))
        EXPECT_EQ(entry.path().filename().string().rfind("p_tmp", 0), std::string::npos) << entry.path();
    EXPECT_TRUE(fs::is_empty(m_project / "Data"));
    KZPatch::ResetForTesting();

    faults.SetRoom(~uint64_t(0));
    const std::vector<std::string> vecChanged = {"file0_0.bin", "file0_1.bin", "file1_1.bin", "new_1.bin"};
    std::map<std::string, int> before;
    for (const std::string& strName : vecChanged)
        before[strName] = Requests("/Data/" + strName + ".zip");
    RunExpecting(KZ_PATCH_DONE, 0);
    EXPECT_FALSE(KZPatch::GetWebInstaller()->IsNewInstall());
    for (const std::string& strName : vecChanged)
        EXPECT_EQ(Requests("/Data/" + strName + ".zip") - before[strName], 1) << strName;
    EXPECT_EQ(Requests("/Data0.zip") + Requests("/Data/file3_0.bin.zip"), 0);
}

// An install root that cannot be written, and a download folder that is a file: the run fails
// within the bound and leaves everything as it was.
TEST_F(KZPatchFaultsTest, InstallRootNotUsable)
{
    for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
    {
        SCOPED_TRACE(std::string("read-only root, ") + KindName(kind));
        Prepare(kind);
        if (!MountSmallDisk("16m"))
            GTEST_SKIP() << "this machine refuses to mount a small file system";
        if (kind == ERunKind::Update)
            InstallVersionOne();
        ASSERT_TRUE(Remount(MS_RDONLY, ""));
        Serve();
        const auto outside = Outside();
        const auto installed = Installation();
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_FAILED);
        EXPECT_TRUE(Installation() == installed);
        EXPECT_TRUE(Outside() == outside);
    }
    for (ERunKind kind : {ERunKind::NewInstall, ERunKind::Update})
    {
        SCOPED_TRACE(std::string("Data is a file, ") + KindName(kind));
        Prepare(kind);
        fs::remove_all(m_project / "Data");
        std::ofstream(m_project / "Data") << "a file where the download folder goes";
        Serve();
        // Initialization fails: no installer, so no error code.
        RunExpecting(KZ_PATCH_FAILED, 0);
        EXPECT_EQ(KZTestReadFile(m_project / "Data"), "a file where the download folder goes");
    }
}
