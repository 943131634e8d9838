// Launcher control through the exported C functions against the fixture server over loopback: a
// cancel in every status that runs and a rerun that resumes, a pause, reset and a new run in one
// process, the disk space check, one run per folder, the log callback.

#include "PatchLibrary/KZPatchRunFixture.h"

#include "Base/Net/KZInternet.h"
#include "Base/Util/KZKillPoint.h"
#include "Fixtures/KZFaultyWrites.h"
#include "System/Util/KZFolderLock.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <ostream>
#include <set>

using namespace kzpatchrun;

namespace
{
const std::string kGenerator = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";
// A new install whose first zip is 8 MB, so that its transfer dominates every byte count; and an
// update of three packs whose changed files are 100 kB each.
const std::string kNewInstall = " --packs 2 --files 3 --client 1 --big-file 8000000 --stored";
const std::string kUpdateTree = " --packs 4 --files 3 --file-size 100000";
const std::string kUpdate = kUpdateTree + " --client 2";

enum class EPhase
{
    Initialized,  // status 2, before start
    ClientUpdate, // status 3, the client application's zip half sent
    Download,     // status 4, a quarter of the 8 MB zip in
    Unpack,       // status 4, the first entry of a full-install zip unpacked
    Rebuild,      // status 4, the first pack rebuilt of an update
};

struct SCancelCase
{
    EPhase phase;
    const char* szName;
};

void PrintTo(const SCancelCase& cancelCase, std::ostream* pOut)
{
    *pOut << cancelCase.szName;
}

// Cancels the run from the worker thread that passes a named place, once.
std::atomic<const char*> s_cancelAt{nullptr};
std::atomic<bool> s_cancelledAtPlace{false};
void CancelAtPlace(const char* szName)
{
    const char* szAt = s_cancelAt.load();
    if (szAt && strcmp(szAt, szName) == 0 && kzpatch_get_status() == KZ_PATCH_INSTALLING &&
        !s_cancelledAtPlace.exchange(true))
        kzpatch_cancel();
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class KZPatchControlTest : public CKZPatchRunFixture
{
protected:
    void TearDown() override
    {
        KZKillPoint::SetObserver(nullptr);
        s_cancelAt = nullptr;
        s_cancelledAtPlace = false;
        KZInternet::SetStallTimeout(60);
        kzpatch_set_log_callback(nullptr, nullptr);
        CKZPatchRunFixture::TearDown();
    }

    // The body bytes the server has sent since it started.
    int BytesSent() const { return Requests("/_bytes", "ANY"); }
    bool InitLocal()
    {
        return kzpatch_init(m_project.c_str(), m_server->Host().c_str()) &&
               WaitUntil([] { return kzpatch_get_status() != KZ_PATCH_INITIALIZING; }) &&
               kzpatch_get_status() == KZ_PATCH_INITIALIZED;
    }
    // The server tree of the shape; an update also installs version 1 of its tree into the project.
    void Prepare(const std::string& strShape, bool bUpdate)
    {
        if (bUpdate)
        {
            KZTestRunCommand(kGenerator + (m_base / "old/s").string() + " " + (m_base / "old/e").string() +
                             kUpdateTree + " --client 1 --install " + m_project.string());
            fs::remove_all(m_base / "old");
        }
        Generate(strShape);
    }
    std::string Check(const std::string& strShape) const
    {
        return KZTestRunCommand(kGenerator + "--check " + m_project.string() + strShape + " 2>&1");
    }
    // Body bytes an uninterrupted run of the same tree takes, in a copy of the project as it was.
    int BaselineBytes(const fs::path& copy)
    {
        const fs::path project = m_project;
        m_project = copy;
        const int before = BytesSent();
        const SRunResult result = RunLocal();
        m_project = project;
        EXPECT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        KZPatch::ResetForTesting();
        return BytesSent() - before;
    }
};

class KZPatchCancelTest : public KZPatchControlTest, public ::testing::WithParamInterface<SCancelCase>
{
protected:
    // Starts the run (unless it is cancelled in status 2) and cancels it at the case's moment;
    // answers when the cancel was asked for.
    Clock::time_point CancelRun(EPhase phase)
    {
        if (phase == EPhase::Unpack || phase == EPhase::Rebuild)
        {
            s_cancelAt = phase == EPhase::Unpack ? "unzip-entry" : "pack-rebuilt";
            KZKillPoint::SetObserver(CancelAtPlace);
        }
        if (phase == EPhase::Initialized)
        {
            EXPECT_TRUE(kzpatch_cancel());
            EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED) << "a run that has not started ends at once";
            return Clock::now();
        }
        EXPECT_TRUE(kzpatch_start());
        if (phase == EPhase::ClientUpdate)
        {
            EXPECT_TRUE(WaitUntil([this] { return Requests("/TVKClientOSX.zip") == 1; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_UPDATING_CLIENT);
        }
        else if (phase == EPhase::Download)
            EXPECT_TRUE(WaitUntil([] {
                return kzpatch_get_total_download_bytes() > 0 &&
                       kzpatch_get_current_download_bytes() >= kzpatch_get_total_download_bytes() / 4;
            }));
        else
        {
            EXPECT_TRUE(WaitUntil([] { return s_cancelledAtPlace.load() || kzpatch_get_status() >= KZ_PATCH_DONE; }));
            EXPECT_TRUE(s_cancelledAtPlace) << "the run passed no such place";
            return Clock::now();
        }
        EXPECT_TRUE(kzpatch_cancel());
        return Clock::now();
    }
};

// The status reaches 8 with code 7 within two seconds of the cancel, the workers stop at their next
// safe point, and the rerun ends in the published installation having fetched at most 5% more than
// an uninterrupted run (the server's body bytes of both runs against one uninterrupted run).
TEST_P(KZPatchCancelTest, EndsWithinTwoSecondsAndTheRerunResumes)
{
    const EPhase phase = GetParam().phase;
    const bool bUpdate = phase == EPhase::Rebuild;
    const std::string strShape = bUpdate ? kUpdate : kNewInstall;
    Prepare(strShape, bUpdate);
    const fs::path baseline = m_base / "baseline";
    fs::copy(m_project, baseline, fs::copy_options::recursive);
    if (phase == EPhase::ClientUpdate)
        Serve({"GET:/TVKClientOSX.zip:stall:5000:1"});
    else if (phase == EPhase::Download)
        Serve({"GET:/Data0.zip:slow:1000000"});
    else
        Serve();

    ASSERT_TRUE(InitLocal());
    const Clock::time_point cancelled = CancelRun(phase);
    EXPECT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_FAILED; }, 2));
    EXPECT_LT(SecondsSince(cancelled), 2.0);
    EXPECT_EQ(kzpatch_get_error_code(), KZ_PATCH_ERROR_CANCELLED);
    EXPECT_FALSE(kzpatch_cancel()) << "nothing left to cancel";
    const Clock::time_point resetStart = Clock::now();
    ASSERT_TRUE(kzpatch_reset());
    EXPECT_LT(SecondsSince(resetStart), 2.0) << "the workers stop at their next safe point";
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_IDLE);
    KZKillPoint::SetObserver(nullptr);
    EXPECT_TRUE(fs::exists(m_project / "Data.resume"));
    if (bUpdate)
    {
        EXPECT_NE(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"))
            << "the rebuild stopped before its commit";
        for (const auto& entry : fs::directory_iterator(m_project / "PackFiles"))
            EXPECT_NE(entry.path().filename().string().rfind("p_tmp", 0), 0u) << entry.path();
    }

    // The rerun, from a server without the faults.
    const int cancelledBytes = BytesSent();
    Serve();
    const SRunResult rerun = RunLocal();
    ASSERT_EQ(rerun.status, KZ_PATCH_DONE) << rerun.errorCode;
    EXPECT_EQ(Check(strShape), "ok\n");
    ExpectNoLeftovers();
    EXPECT_FALSE(fs::exists(m_project / "Data.resume"));
    const int rerunBytes = BytesSent();
    KZPatch::ResetForTesting();

    const int baselineBytes = BaselineBytes(baseline);
    EXPECT_LE(cancelledBytes + rerunBytes, baselineBytes * 1.05)
        << cancelledBytes << " + " << rerunBytes << " against " << baselineBytes;
}

INSTANTIATE_TEST_SUITE_P(KZPatchCancelInEveryStatus, KZPatchCancelTest,
                         ::testing::Values(SCancelCase{EPhase::Initialized, "status 2"},
                                           SCancelCase{EPhase::ClientUpdate, "status 3, client update"},
                                           SCancelCase{EPhase::Download, "status 4, during a download"},
                                           SCancelCase{EPhase::Unpack, "status 4, during unpacking"},
                                           SCancelCase{EPhase::Rebuild, "status 4, during a pack rebuild"}));

// Ten seconds of pause in the middle of a 100 MB download, with a stall window of two: no byte
// arrives while paused, the transfer is neither broken nor tried again, and the run ends done.
TEST_F(KZPatchControlTest, PauseHoldsTheTransferWithoutCountingTheTime)
{
    Generate("--packs 1 --files 2 --client 1 --big-file 100000000 --stored");
    Serve();
    KZInternet::SetStallTimeout(2);
    kzpatch_set_download_rate_limit(20000000);
    ASSERT_TRUE(InitLocal());
    EXPECT_FALSE(kzpatch_is_paused());
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([] {
        return kzpatch_get_total_download_bytes() > 0 &&
               kzpatch_get_current_download_bytes() >= kzpatch_get_total_download_bytes() / 5;
    }));
    ASSERT_TRUE(kzpatch_pause());
    EXPECT_TRUE(kzpatch_is_paused());
    // The pause takes hold at the transfer's next progress call; what libcurl had taken in before it
    // is counted at the call after, which comes within a second while held.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint64_t held = kzpatch_get_current_download_bytes();
    const float progress = kzpatch_get_progress();
    EXPECT_LT(held, kzpatch_get_total_download_bytes());
    const Clock::time_point pauseStart = Clock::now();
    while (SecondsSince(pauseStart) < 10.0)
    {
        ASSERT_EQ(kzpatch_get_current_download_bytes(), held);
        ASSERT_EQ(kzpatch_get_status(), KZ_PATCH_INSTALLING);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(kzpatch_get_progress(), progress);
    ASSERT_TRUE(kzpatch_resume());
    EXPECT_FALSE(kzpatch_is_paused());
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() >= KZ_PATCH_DONE; }));
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_DONE) << kzpatch_get_error_code();
    EXPECT_EQ(Requests("/Data0.zip"), 1);
    ExpectPacksInstalled({0});
    KZPatch::ResetForTesting();

    // An installer that ends while its transfer is held (as a failed run's does at reset) does not
    // wait for a resume that will never come.
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    ASSERT_TRUE(InitLocal());
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_current_download_bytes() > 0; }));
    ASSERT_TRUE(kzpatch_pause());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Clock::time_point endStart = Clock::now();
    KZPatch::ResetForTesting();
    EXPECT_LT(SecondsSince(endStart), 2.0);
}

// A launcher that retries without restarting: a cancelled run is reset and followed by a whole run,
// ten times in one process. Reset and cancel are refused where they have nothing to do.
TEST_F(KZPatchControlTest, ResetThenAWholeRunTenTimes)
{
    Generate("--packs 2 --files 3 --client 1");
    Serve();
    EXPECT_FALSE(kzpatch_reset());
    EXPECT_FALSE(kzpatch_cancel());
    EXPECT_FALSE(kzpatch_pause());
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE(round);
        fs::remove_all(m_project);
        fs::create_directories(m_project);
        ASSERT_TRUE(InitLocal());
        if (round % 2 == 1)
        {
            ASSERT_TRUE(kzpatch_start()); // cancelled in status 3 or 4
        }
        ASSERT_TRUE(kzpatch_cancel());
        ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_FAILED; }));
        EXPECT_EQ(kzpatch_get_error_code(), KZ_PATCH_ERROR_CANCELLED);
        EXPECT_FALSE(kzpatch_init(m_project.c_str(), m_server->Host().c_str())) << "not before the reset";
        ASSERT_TRUE(kzpatch_reset());
        const SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
        EXPECT_FALSE(kzpatch_reset());
        EXPECT_FALSE(kzpatch_cancel());
        ASSERT_TRUE(kzpatch_destroy());
        ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_IDLE; }));
    }
    ExpectPacksInstalled({0, 1});
}

// A run that needs more than the disk has ends in 8 with code 8 before it fetches a zip: a new install
// once it has counted its zips, an update before it fetches even the client application. The two
// getters answer from status 2 on; with room the same runs complete.
TEST_F(KZPatchControlTest, TooLittleDiskSpaceEndsTheRunBeforeItsDownloads)
{
    CKZFaultyWrites disk;
    Generate("--packs 2 --files 3 --client 1 --file-size 50000 --stored");
    Serve();
    disk.SetReportedFree(100000);
    SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, KZ_PATCH_ERROR_DISK_SPACE);
    EXPECT_STREQ(kzpatch_get_error_text(result.errorCode), "not enough disk space");
    EXPECT_EQ(Requests("/Data0.zip") + Requests("/Data1.zip"), 0);
    EXPECT_GT(kzpatch_get_required_disk_bytes(), 300000u) << "two packs of three 50 kB files, and their zips";
    EXPECT_EQ(kzpatch_get_free_disk_bytes(), 100000u);
    ASSERT_TRUE(kzpatch_reset());
    disk.SetReportedFree(~uint64_t(0));
    result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    KZPatch::ResetForTesting();

    fs::remove_all(m_project);
    fs::remove_all(m_serverDir);
    fs::create_directories(m_project);
    Prepare(kUpdate, true);
    const int before = BytesSent();
    disk.SetReportedFree(1000);
    ASSERT_TRUE(InitLocal());
    EXPECT_GT(kzpatch_get_required_disk_bytes(), 300000u) << "three changed files of 100 kB and their packs";
    EXPECT_EQ(kzpatch_get_free_disk_bytes(), 1000u);
    const int catalogueBytes = BytesSent() - before;
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_FAILED; }));
    EXPECT_EQ(kzpatch_get_error_code(), KZ_PATCH_ERROR_DISK_SPACE);
    EXPECT_EQ(BytesSent() - before, catalogueBytes) << "nothing fetched after the catalogue";
    ASSERT_TRUE(kzpatch_reset());
    disk.SetReportedFree(~uint64_t(0));
    result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(Check(kUpdate), "ok\n");
    EXPECT_GT(kzpatch_get_free_disk_bytes(), 0u) << "the file system's own answer";
}

// A second run on a folder that a run holds is refused at init with code 10 and leaves the holder
// alone; once the holder lets go a run starts.
TEST_F(KZPatchControlTest, OneRunPerFolder)
{
    Generate("--packs 1 --files 2 --client 1");
    Serve();
    {
        CKZFolderLock holder; // another process, as far as the library can tell
        ASSERT_TRUE(holder.Acquire(m_project.string()));
        const SRunResult refused = RunLocal();
        EXPECT_EQ(refused.status, KZ_PATCH_FAILED);
        EXPECT_EQ(refused.errorCode, KZ_PATCH_ERROR_FOLDER_IN_USE);
        EXPECT_STREQ(kzpatch_get_error_text(refused.errorCode), "folder in use");
        EXPECT_EQ(Requests("/Data.ccx", "HEAD") + Requests("/Data.ccx"), 0) << "refused before the server is asked";
        EXPECT_TRUE(holder.IsHeld());
        ASSERT_TRUE(kzpatch_reset());
    }
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_TRUE(fs::exists(m_project / "Data.lock"));
    CKZFolderLock late;
    EXPECT_FALSE(late.Acquire(m_project.string())) << "held until destroy";
    ASSERT_TRUE(kzpatch_destroy());
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_IDLE; }));
    EXPECT_TRUE(late.Acquire(m_project.string()));
}

struct SLogLines
{
    std::mutex mutex;
    std::vector<std::pair<int32_t, std::string>> lines;
};

void CollectLine(void* pUser, int32_t level, const char* szLine)
{
    SLogLines& log = *static_cast<SLogLines*>(pUser);
    std::lock_guard<std::mutex> lock(log.mutex);
    log.lines.emplace_back(level, szLine);
}

// With a callback every line reaches it, with its level, and none reaches standard output; without
// one the lines are printed again.
TEST_F(KZPatchControlTest, LogCallbackTakesEveryLine)
{
    Generate("--packs 1 --files 2 --client 1");
    Serve();
    SLogLines log;
    kzpatch_set_log_callback(CollectLine, &log);
    ::testing::internal::CaptureStdout();
    const SRunResult result = RunLocal();
    fflush(stdout);
    const std::string strPrinted = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(strPrinted, "");
    std::set<int32_t> setLevels;
    bool bSawNotFound = false, bSawTransition = false;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        for (const auto& line : log.lines)
        {
            setLevels.insert(line.first);
            EXPECT_EQ(line.second.find('\n'), std::string::npos) << "one line at a time: " << line.second;
            bSawNotFound = bSawNotFound || (line.first == KZ_PATCH_LOG_INFO &&
                                            line.second.find("Data.ccx not found") != std::string::npos);
            bSawTransition = bSawTransition || (line.first == KZ_PATCH_LOG_DEBUG &&
                                                line.second == "kzpatch debug: transitioning from 4 to 7...");
        }
    }
    EXPECT_TRUE(bSawNotFound);
    EXPECT_TRUE(bSawTransition);
    EXPECT_TRUE(setLevels.count(KZ_PATCH_LOG_TRACE)) << "the installer's state changes";
    KZPatch::ResetForTesting();

    kzpatch_set_log_callback(nullptr, nullptr);
    const size_t collected = log.lines.size();
    ::testing::internal::CaptureStdout();
    RunLocal();
    fflush(stdout);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("kzpatch debug: transitioning from 4 to 7"),
              std::string::npos);
    EXPECT_EQ(log.lines.size(), collected);
    EXPECT_STREQ(kzpatch_get_error_text(KZ_PATCH_ERROR_CANCELLED), "cancelled");
    EXPECT_STREQ(kzpatch_get_error_text(99), "unknown error");
}
} // namespace
