#include "PatchLibrary/KZPatchAPI.h"
#include "PatchLibrary/KZPatchInternal.h"

#include "Base/Debug/KZLog.h"
#include "System/Util/KZWebInstaller.h"

#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestTransferClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
using Clock = std::chrono::steady_clock;

// What the fake installer does; tests set these before a run.
struct SFakeControl
{
    std::atomic<int> factoryCalls{0};
    std::atomic<bool> holdFactory{false};     // keeps the run in status 1
    std::atomic<bool> holdDownload{false};    // keeps the run in status 3
    std::atomic<bool> holdDestructor{false};  // keeps the run in status 5
    std::atomic<bool> downloadSucceeds{true};
    std::atomic<bool> serverAnswers{true}; // about the catalogue; the client application is always there
    std::string strServerDir; // the "server": downloads are copied from here

    void Reset()
    {
        factoryCalls = 0;
        holdFactory = holdDownload = holdDestructor = false;
        downloadSucceeds = serverAnswers = true;
    }
};
SFakeControl g_fake;

bool WaitUntil(const std::function<bool()>& condition, int seconds = 10)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!condition())
    {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Hold(const std::atomic<bool>& gate)
{
    WaitUntil([&] { return !gate.load(); }, 20);
}

// An installer whose transfers are answered locally, with gates that hold a run in a chosen status.
std::unique_ptr<IKZTransferClient> NewFakeClient()
{
    std::unique_ptr<CKZDirectoryTransferClient> pClient(new CKZDirectoryTransferClient(g_fake.strServerDir));
    pClient->beforeFetch = [](const std::string&) {
        Hold(g_fake.holdDownload);
        return g_fake.downloadSucceeds.load();
    };
    pClient->answersProbe = [](const std::string& strRemoteName) {
        return g_fake.serverAnswers || strRemoteName == "TVKClientOSX.zip";
    };
    pClient->onDestroy = [] { Hold(g_fake.holdDestructor); };
    return pClient;
}

CKZWebInstaller* NewFakeInstaller()
{
    ++g_fake.factoryCalls;
    Hold(g_fake.holdFactory);
    SKZInstallerTiming timing;
    timing.dwStartPauseMs = timing.dwRetryDelayMs = 1;
    return new CKZWebInstaller(NewFakeClient(), timing);
}

// Counts Assert events.
class CAssertCounter : public CKZLog::CLogHandler
{
public:
    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        if (event.record.type == CKZLog::EVENT_ASSERT)
            ++m_count;
        return CKZLog::RESULT_NONE;
    }
    std::atomic<int> m_count{0};
};

class KZPatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_fake.Reset();
        KZPatch::SetInstallerFactory(NewFakeInstaller);
        KZPatch::ResetForTesting();
        CKZLog::AddHandler(&m_asserts, 1000);
        m_dir = KZTestFreshDirectory("kzpatch_test");
        m_server = m_dir.string() + "_server";
        fs::remove_all(m_server);
        fs::create_directories(m_server);
        g_fake.strServerDir = m_server.string();
        MakeClientZip("TVKClient.app/Contents/Info.plist");
        // An empty catalogue: a new install has nothing to fetch and completes by itself.
        ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 " +
                          (m_server / "Data.ccx").string() + " '[]'")
                             .c_str()),
                  0);
    }
    void TearDown() override
    {
        g_fake.Reset();
        KZPatch::ResetForTesting();
        KZPatch::SetInstallerFactory(nullptr);
        CKZLog::RemoveHandler(&m_asserts);
        fs::remove_all(m_dir);
        fs::remove_all(m_server);
        fs::remove_all(m_dir.string() + "_expected");
    }
    // The client application's zip on the server, holding one entry of that name.
    void MakeClientZip(const std::string& strEntry) const
    {
        const std::string strCommand = "python3 -c \"import zipfile; z = zipfile.ZipFile('" +
                                       (m_server / "TVKClientOSX.zip").string() + "', 'w'); z.writestr('" + strEntry +
                                       "', 'new client'); z.close()\"";
        ASSERT_EQ(system(strCommand.c_str()), 0);
    }

    // An installation in the project directory that matches the server's catalogue: an update.
    void MakeInstallation() const
    {
        const fs::path expected = m_dir.string() + "_expected";
        ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + m_server.string() + " " +
                          expected.string() + " > /dev/null")
                             .c_str()),
                  0);
        fs::copy(expected / "PackFiles", m_dir / "PackFiles", fs::copy_options::recursive);
        fs::copy_file(m_server / "Data.ccx", m_dir / "Data.ccx");
        fs::remove_all(expected);
    }
    static bool WaitForInstallerState(uint32_t state)
    {
        return WaitUntil([state] { return KZPatch::GetWebInstaller()->GetState() == state; });
    }
    static bool WaitForStatus(KZPatchStatus expected)
    {
        return WaitUntil([&] { return kzpatch_get_status() == expected; });
    }
    static std::string Captured()
    {
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    // Runs init and waits for status 2.
    void InitToReady()
    {
        ASSERT_TRUE(kzpatch_init(m_dir.c_str(), "http://127.0.0.1:1"));
        ASSERT_TRUE(WaitForStatus(KZ_PATCH_INITIALIZED));
    }
    void StartToInstalling()
    {
        InitToReady();
        ASSERT_TRUE(kzpatch_start());
        ASSERT_TRUE(WaitForStatus(KZ_PATCH_INSTALLING));
    }
    void DestroyToIdle()
    {
        ASSERT_TRUE(kzpatch_destroy());
        ASSERT_TRUE(WaitForStatus(KZ_PATCH_IDLE));
    }
    static std::string Args()
    {
        return kzpatch_get_executable_args("en", "abc", "launcher.example", 1234, "metrics", "group");
    }

    CAssertCounter m_asserts;
    fs::path m_dir;
    fs::path m_server;
};

const char kRefuseDestroyFrom8[] = "kzpatch debug: transitioning from 7 to 5...\n"
                                   "kzpatch debug: could not transition from 8 to 5! Current state is: 8\n"
                                   "kzpatch debug: transitioning from 0 to 5...\n"
                                   "kzpatch debug: could not transition from 8 to 5! Current state is: 8\n";
} // namespace

TEST_F(KZPatchTest, NullPointersAreRefusedSilently)
{
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kzpatch_init(nullptr, "server"));
    EXPECT_FALSE(kzpatch_init(m_dir.c_str(), nullptr));
    EXPECT_EQ(Captured(), "");
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_IDLE);
    EXPECT_EQ(m_asserts.m_count, 0);
}

TEST_F(KZPatchTest, CompleteRunThroughEveryStatus)
{
    EXPECT_STREQ(kzpatch_get_executable_path(), "");
    InitToReady();
    EXPECT_EQ(g_fake.factoryCalls, 1);
    EXPECT_EQ(kzpatch_get_executable_path(), m_dir.string() + "/TVKClient.app");
    EXPECT_TRUE(kzpatch_is_new_install()) << "no catalogue in the directory";

    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INSTALLING));
    EXPECT_EQ(kzpatch_get_executable_path(), m_dir.string() + "/TVKClient.app");

    // The installer finishing moves the status once; later polls say nothing more.
    ASSERT_TRUE(WaitForInstallerState(CKZWebInstaller::STATE_INSTALLED));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_DONE);
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_DONE);
    EXPECT_EQ(Captured(), "kzpatch debug: transitioning from 4 to 7...\n");
    EXPECT_EQ(kzpatch_get_progress(), 0.0f);
    EXPECT_TRUE(kzpatch_is_new_install());
    EXPECT_EQ(kzpatch_get_error_code(), 0);

    DestroyToIdle();
    EXPECT_STREQ(kzpatch_get_executable_path(), "");
    EXPECT_EQ(KZPatch::GetWebInstaller(), nullptr);
    EXPECT_EQ(m_asserts.m_count, 0);

    // A finished run can be followed by a new one.
    InitToReady();
    EXPECT_EQ(g_fake.factoryCalls, 2);
}

TEST_F(KZPatchTest, ClientApplicationIsUnpackedBesideItsZip)
{
    fs::create_directories(m_dir / "TVKClient.app" / "Contents");
    std::ofstream(m_dir / "TVKClient.app" / "Contents" / "Info.plist") << "old client";
    StartToInstalling();
    std::ifstream plist(m_dir / "TVKClient.app" / "Contents" / "Info.plist");
    std::string content((std::istreambuf_iterator<char>(plist)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "new client");
    EXPECT_TRUE(fs::exists(m_dir / "TVKClientOSX.zip")) << "the zip stays on disk";
}

TEST_F(KZPatchTest, BrokenClientZipsFailTheRun)
{
    // A project path with a trailing '/' gets no second one in the zip path.
    std::ofstream(m_server / "TVKClientOSX.zip") << "not a zip";
    const std::string project = m_dir.string() + "/";
    ASSERT_TRUE(kzpatch_init(project.c_str(), "server"));
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INITIALIZED));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([this] { return m_asserts.m_count == 1; }));
    std::string output = Captured();
    EXPECT_NE(output.find("Could not open zip file " + m_dir.string() + "/TVKClientOSX.zip\n"), std::string::npos)
        << output;
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
    KZPatch::ResetForTesting();

    // An entry that would leave the project directory is refused.
    MakeClientZip("../escaped.txt");
    m_asserts.m_count = 0;
    InitToReady();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([this] { return m_asserts.m_count == 1; }));
    output = Captured();
    EXPECT_NE(output.find("Could not extract zip file TVKClientOSX.zip\n"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(m_dir.parent_path() / "escaped.txt"));
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
}

TEST_F(KZPatchTest, ExistingCatalogueMeansUpdate)
{
    MakeInstallation();
    InitToReady();
    EXPECT_FALSE(kzpatch_is_new_install());
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INSTALLING));
    EXPECT_FALSE(kzpatch_is_new_install());
}

TEST_F(KZPatchTest, InstallerFailureReachesTheLauncherWithItsCode)
{
    g_fake.serverAnswers = false; // the main worker cannot reach the server
    InitToReady();
    // Status 4 is not polled here: a poll would already see the failure.
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([] { return KZPatch::GetWebInstaller()->GetState() == CKZWebInstaller::STATE_FAILED; }));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
    EXPECT_EQ(Captured(), "kzpatch debug: transitioning from 4 to 8...\n");
    EXPECT_EQ(kzpatch_get_error_code(), CKZWebInstaller::ERROR_SERVER_UNREACHABLE);
    EXPECT_TRUE(kzpatch_is_new_install());
}

TEST_F(KZPatchTest, FailedRunIsStickyAndCannotBeDestroyed)
{
    g_fake.downloadSucceeds = false; // the client application cannot be fetched
    InitToReady();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(kzpatch_start());
    ASSERT_TRUE(WaitUntil([this] { return m_asserts.m_count == 1; }));
    const std::string output = Captured();
    EXPECT_NE(output.find("Could not download TVKClientOSX.zip\n"
                          "kzpatch debug: transitioning from 3 to 4...\n"
                          "kzpatch debug: could not transition from 8 to 4! Current state is: 8\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
    EXPECT_EQ(kzpatch_get_error_code(), 0);

    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kzpatch_destroy());
    EXPECT_EQ(Captured(), kRefuseDestroyFrom8);
    EXPECT_EQ(m_asserts.m_count, 3);
    EXPECT_FALSE(kzpatch_init(m_dir.c_str(), "server"));
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_FAILED);
    EXPECT_NE(KZPatch::GetWebInstaller(), nullptr) << "a refused destroy tears nothing down";
}

TEST_F(KZPatchTest, InitFailuresLeaveNoInstaller)
{
    ASSERT_TRUE(kzpatch_init((m_dir / "missing").c_str(), "server"));
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_FAILED));
    EXPECT_EQ(g_fake.factoryCalls, 0);
    EXPECT_EQ(kzpatch_get_error_code(), 0);
    KZPatch::ResetForTesting();

    // The download directory "Data" cannot be emptied when it is a file: Initialize answers false.
    std::ofstream(m_dir / "Data") << "not a directory";
    ASSERT_TRUE(kzpatch_init(m_dir.c_str(), "server"));
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_FAILED));
    EXPECT_EQ(g_fake.factoryCalls, 1);
    EXPECT_EQ(KZPatch::GetWebInstaller(), nullptr);
    EXPECT_EQ(kzpatch_get_error_code(), 0);
    EXPECT_EQ(kzpatch_get_total_bytes(), 0u);
}

TEST_F(KZPatchTest, InitializeEmptiesTheDownloadDirectory)
{
    fs::create_directories(m_dir / "Data" / "sub");
    std::ofstream(m_dir / "Data" / "sub" / "old.zip") << "stale";
    InitToReady();
    EXPECT_TRUE(fs::is_directory(m_dir / "Data"));
    EXPECT_TRUE(fs::is_empty(m_dir / "Data"));
}

TEST_F(KZPatchTest, RefusedTransitionsReportAndKeepTheStatus)
{
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kzpatch_start());
    EXPECT_EQ(Captured(), "kzpatch debug: transitioning from 2 to 3...\n"
                          "kzpatch debug: could not transition from 0 to 3! Current state is: 0\n");
    EXPECT_EQ(m_asserts.m_count, 1);

    InitToReady();
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kzpatch_init(m_dir.c_str(), "server"));
    EXPECT_EQ(Captured(), "kzpatch debug: transitioning from 0 to 1...\n"
                          "kzpatch debug: could not transition from 2 to 1! Current state is: 2\n");
    EXPECT_EQ(m_asserts.m_count, 2);
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_INITIALIZED);
    EXPECT_FALSE(kzpatch_destroy()) << "a ready run is not destroyed";
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_INITIALIZED);
}

TEST_F(KZPatchTest, DestroyInIdleIsAccepted)
{
    EXPECT_FALSE(Args().empty());
    DestroyToIdle();
    EXPECT_STREQ(kzpatch_get_executable_path(), "");
    EXPECT_EQ(m_asserts.m_count, 1) << "7 -> 5 is tried first and refused";
}

TEST_F(KZPatchTest, RacingInitsStartOneWorker)
{
    g_fake.holdFactory = true;
    std::atomic<int> accepted{0};
    std::atomic<bool> go{false};
    auto racer = [&] {
        WaitUntil([&] { return go.load(); });
        if (kzpatch_init(m_dir.c_str(), "server"))
            ++accepted;
    };
    ::testing::internal::CaptureStdout();
    std::thread first(racer), second(racer);
    go = true;
    first.join();
    second.join();
    Captured();
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(m_asserts.m_count, 1);
    g_fake.holdFactory = false;
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INITIALIZED));
    EXPECT_EQ(g_fake.factoryCalls, 1);
}

TEST_F(KZPatchTest, NewInstallFlagAndArgumentsInPassingStatuses)
{
    MakeInstallation(); // an update: the flag is false while it is asked
    const std::string expectedArgs = " -Language=\"en\" -LauncherHash=\"abc\" -LauncherServer=launcher.example"
                                     " -NetworkUserId=1234 -MetricsServer=\"metrics\" -MetricsGroup=\"group\""
                                     " -DataPath=\"" + m_dir.string() + "\"";

    g_fake.holdFactory = true;
    ASSERT_TRUE(kzpatch_init(m_dir.c_str(), "server"));
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_INITIALIZING);
    EXPECT_TRUE(kzpatch_is_new_install());
    EXPECT_EQ(Args(), "") << "no text while initializing";
    g_fake.holdFactory = false;
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INITIALIZED));
    EXPECT_FALSE(kzpatch_is_new_install());
    EXPECT_EQ(Args(), expectedArgs);

    g_fake.holdDownload = true;
    ASSERT_TRUE(kzpatch_start());
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_UPDATING_CLIENT);
    EXPECT_TRUE(kzpatch_is_new_install());
    EXPECT_EQ(Args(), expectedArgs);
    g_fake.holdDownload = false;
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_INSTALLING));
    EXPECT_FALSE(kzpatch_is_new_install());

    // The installation equals the server's client: the update ends without a download.
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_DONE));
    EXPECT_TRUE(kzpatch_is_new_install());

    g_fake.holdDestructor = true;
    EXPECT_EQ(Args(), expectedArgs);
    ASSERT_TRUE(kzpatch_destroy());
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_DESTROYING);
    EXPECT_TRUE(kzpatch_is_new_install());
    EXPECT_EQ(Args(), "") << "no text while destroying";
    g_fake.holdDestructor = false;
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_IDLE));
}

TEST_F(KZPatchTest, ArgumentTextForUnusualValues)
{
    EXPECT_STREQ(kzpatch_get_executable_args("", "", "", 0, "", ""),
                 " -Language=\"\" -LauncherHash=\"\" -LauncherServer= -NetworkUserId=0 -MetricsServer=\"\""
                 " -MetricsGroup=\"\" -DataPath=\"\"");
    const std::string negative = kzpatch_get_executable_args("d\"e", "h", "s", -7, "m", "g");
    EXPECT_NE(negative.find(" -Language=\"d\"e\" "), std::string::npos);
    EXPECT_NE(negative.find(" -NetworkUserId=-7 "), std::string::npos);
}

TEST_F(KZPatchTest, OverlongValuesAreCutInsideTheirBuffers)
{
    const std::string longPath = "/" + std::string(4999, 'p');
    ASSERT_TRUE(kzpatch_init(longPath.c_str(), "server"));
    ASSERT_TRUE(WaitForStatus(KZ_PATCH_FAILED)); // no such directory
    const char* path = kzpatch_get_executable_path();
    EXPECT_EQ(strlen(path), KZPatch::kBufferSize - 1);
    EXPECT_EQ(std::string(path), longPath.substr(0, KZPatch::kBufferSize - 1));

    const std::string longValue(5000, 'v');
    const char* args = kzpatch_get_executable_args(longValue.c_str(), "h", "s", 1, "m", "g");
    EXPECT_EQ(strlen(args), KZPatch::kBufferSize - 1);
    EXPECT_EQ(std::string(args, 12), " -Language=\"");
}

namespace
{
// Calls every exported getter on its own thread until it is told to stop. The returned texts are
// not read: a text stays as it is only until the next call that rewrites it.
class CGetterPoller
{
public:
    CGetterPoller() : m_thread([this] { Poll(); }) {}
    ~CGetterPoller()
    {
        m_bStop = true;
        m_thread.join();
    }
    int Rounds() const { return m_rounds; }

private:
    void Poll()
    {
        while (!m_bStop)
        {
            kzpatch_get_status();
            kzpatch_get_error_code();
            kzpatch_is_new_install();
            kzpatch_get_progress();
            kzpatch_get_current_files();
            kzpatch_get_total_files();
            kzpatch_get_current_bytes();
            kzpatch_get_total_bytes();
            kzpatch_get_current_download_bytes();
            kzpatch_get_total_download_bytes();
            EXPECT_NE(kzpatch_get_executable_path(), nullptr);
            EXPECT_NE(kzpatch_get_executable_args("en", "abc", "launcher", 1, "metrics", "group"), nullptr);
            ++m_rounds;
        }
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_rounds{0};
    std::thread m_thread;
};
} // namespace

// Two threads poll every getter while whole runs are built and torn down: the installer is
// published, initialised, started, finished and deleted under their calls.
TEST_F(KZPatchTest, GettersPolledDuringInitAndDestroyCycles)
{
    const int kCycles = 200;
    int completed = 0;
    ::testing::internal::CaptureStdout();
    {
        CGetterPoller first, second;
        EXPECT_TRUE(WaitUntil([&] { return first.Rounds() > 0 && second.Rounds() > 0; }));
        auto cycle = [this] {
            // The installer finishes by itself (the served catalogue lists no zips); the pollers may
            // be the ones that see status 4 turn into 7.
            return kzpatch_init(m_dir.c_str(), "server") && WaitForStatus(KZ_PATCH_INITIALIZED) && kzpatch_start() &&
                   WaitForStatus(KZ_PATCH_DONE) && kzpatch_destroy() && WaitForStatus(KZ_PATCH_IDLE);
        };
        while (completed < kCycles && cycle())
            ++completed;
    }
    Captured();
    EXPECT_EQ(completed, kCycles) << "status " << kzpatch_get_status();
    EXPECT_EQ(g_fake.factoryCalls, kCycles);
    EXPECT_EQ(KZPatch::GetWebInstaller(), nullptr);
}

TEST(KZPatchDeathTest, ForceCrashEndsTheProcess)
{
    EXPECT_DEATH(kzpatch_force_crash(), "");
}
