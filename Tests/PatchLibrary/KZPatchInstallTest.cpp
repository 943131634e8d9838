// Whole new installs through the exported C functions against the fixture server over loopback, on
// server trees written by Tests/Fixtures/server_tree_gen.py.

#include "PatchLibrary/KZPatchRunFixture.h"

#include "Fixtures/KZTestTransferClient.h"
#include "System/Util/KZCurlTransferClient.h"

#include <atomic>
#include <ctime>
#include <fstream>
#include <set>
#include <utility>

using namespace kzpatchrun;

namespace
{
// A server that claims every numbered zip exists (those it lacks with 100 bytes).
CKZWebInstaller* NewCatchAllInstaller()
{
    std::unique_ptr<CKZForwardingTransferClient> pClient(
        new CKZForwardingTransferClient(std::unique_ptr<IKZTransferClient>(new CKZCurlTransferClient)));
    pClient->probe = [](const std::string& strRemoteName, uint64_t& qwSize, uint64_t&) {
        unsigned zip = 0;
        char tail = 0;
        if (sscanf(strRemoteName.c_str(), "Data%u.zi%c", &zip, &tail) != 2)
            return false;
        qwSize = 100;
        return true;
    };
    return new CKZWebInstaller(std::move(pClient), FastTiming());
}

// Waits long enough before fetching a refused zip again for the later zips to be installed first.
CKZWebInstaller* NewSlowRetryInstaller()
{
    return new CKZWebInstaller(nullptr, FastTiming(400));
}

class KZPatchInstallTest : public CKZPatchRunFixture
{
};
} // namespace

// With the real pauses of the plain installer.
TEST_F(KZPatchInstallTest, NewInstallIntoAnEmptyDirectory)
{
    KZPatch::SetInstallerFactory(nullptr);
    Generate("--packs 3 --files 4 --stages");
    Serve();
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_TRUE(result.progressInRange);
    ExpectPacksInstalled({0, 1, 2});
    EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_serverDir / "Data.ccx"));
    ExpectNoLeftovers();
    EXPECT_EQ(KZTestReadFile(m_project / "TVKClient.app/Contents/Info.plist"), "client 1");
    EXPECT_TRUE((fs::status(m_project / "TVKClient.app/Contents/MacOS/TVKClient").permissions() &
                 fs::perms::owner_exec) != fs::perms::none);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Requests("/Data" + std::to_string(i) + ".zip"), 1) << i;

    uint64_t qwZipBytes = 0;
    for (int i = 0; i < 3; ++i)
        qwZipBytes += fs::file_size(m_serverDir / ("Data" + std::to_string(i) + ".zip"));
    EXPECT_EQ(result.filesTotal, 3u);
    EXPECT_EQ(result.filesDone, 3u);
    EXPECT_EQ(result.bytesTotal, 2 * qwZipBytes) << "downloaded and unpacked";
    EXPECT_EQ(result.bytesDone, result.bytesTotal);
    EXPECT_EQ(result.downloadTotal, qwZipBytes);
    EXPECT_EQ(result.downloadDone, qwZipBytes);
    CKZWebInstaller* pInstaller = KZPatch::GetWebInstaller();
    EXPECT_EQ(pInstaller->GetWeightedProgress(), 1.0f);
    EXPECT_EQ(pInstaller->GetDownloadStageCount(), 3u);
    EXPECT_EQ(pInstaller->GetDownloadStageInSyncCount(), 3u);

    // Destroy, then a second run in the same process: the directory now holds an installation.
    ASSERT_TRUE(kzpatch_destroy());
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_IDLE; }));
    ASSERT_TRUE(kzpatch_init(m_project.c_str(), m_server->Host().c_str()));
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() != KZ_PATCH_INITIALIZING; }));
    EXPECT_EQ(kzpatch_get_status(), KZ_PATCH_INITIALIZED);
    EXPECT_FALSE(kzpatch_is_new_install());
}

TEST_F(KZPatchInstallTest, ZipEnumerationEnds)
{
    Generate("--packs 0");
    Serve();
    SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_DONE);
    EXPECT_EQ(result.filesTotal, 0u);
    KZPatch::ResetForTesting();

    // The first missing number ends the enumeration: zips 0, 1 and 3 install two. The catalogue
    // names four packs, so two are not a complete install: the run fails and installs no catalogue.
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    Generate("--packs 4 --omit-zip 2");
    result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_EQ(result.filesTotal, 2u);
    ExpectPacksInstalled({0, 1});
    EXPECT_FALSE(fs::exists(m_project / "PackFiles" / "p_00000003.csa"));
    EXPECT_FALSE(fs::exists(m_project / "Data.ccx"));
    EXPECT_EQ(Requests("/Data3.zip", "HEAD"), 0);
}

TEST_F(KZPatchInstallTest, CatchAllServerDoesNotHangTheEnumeration)
{
    KZPatch::SetInstallerFactory(NewCatchAllInstaller);
    Generate("--packs 2");
    Serve();
    // A version-261 catalogue names two packs: no zip beyond them is looked for.
    SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_DONE);
    EXPECT_EQ(result.filesTotal, 2u);
    KZPatch::ResetForTesting();

    // An older catalogue names no packs: the enumeration stops at its bound.
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    Generate("--packs 2 --version 260");
    ASSERT_TRUE(kzpatch_init(m_project.c_str(), m_server->Host().c_str()));
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_INITIALIZED; }));
    ASSERT_TRUE(kzpatch_start());
    EXPECT_TRUE(WaitUntil([] {
        uint64_t qwFiles = 0;
        CKZWebInstaller* pInstaller = KZPatch::GetWebInstaller();
        if (pInstaller)
            pInstaller->GetProgress(nullptr, nullptr, nullptr, &qwFiles);
        return pInstaller && pInstaller->GetState() == CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD &&
               qwFiles == CKZWebInstaller::kMaxZipCount;
    }));
}

TEST_F(KZPatchInstallTest, DamagedTransfersAreFetchedAgain)
{
    for (const char* szCompression : {"--stored", ""})
    {
        SCOPED_TRACE(szCompression);
        KZPatch::ResetForTesting();
        fs::remove_all(m_project);
        fs::create_directories(m_project);
        const std::vector<std::string> vecZips = Generate(std::string("--packs 3 ") + szCompression);
        ASSERT_EQ(vecZips.size(), 4u);
        Serve({"GET:/Data0.zip:corrupt:" + std::to_string(DataOffset(vecZips[0])) + ":1",
               "GET:/Data1.zip:cut:100:1", "GET:/Data2.zip:fail:500:1"});
        const SRunResult result = RunLocal();
        ASSERT_EQ(result.status, KZ_PATCH_DONE);
        ExpectPacksInstalled({0, 1, 2});
        ExpectNoLeftovers();
        EXPECT_EQ(Requests("/Data0.zip"), 2);
        EXPECT_EQ(Requests("/Data1.zip"), 2);
        EXPECT_EQ(Requests("/Data2.zip"), 2);
        EXPECT_EQ(result.bytesDone, result.bytesTotal) << "a refused zip is not counted twice";
        EXPECT_EQ(result.downloadDone, result.downloadTotal);
        EXPECT_TRUE(result.progressInRange);
    }
}

// A transfer cut off late is continued from where it broke, not fetched whole again.
TEST_F(KZPatchInstallTest, CutTransferResumesWithARange)
{
    Generate("--packs 2 --stored --big-file 3000000");
    const fs::path log = m_base / "requests.log";
    Serve({"GET:/Data0.zip:cut:2000000:1"}, {"--log", log.string()});
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    ExpectPacksInstalled({0, 1});
    ExpectNoLeftovers();
    EXPECT_EQ(Requests("/Data0.zip"), 2);
    EXPECT_EQ(result.downloadDone, result.downloadTotal);
    std::vector<std::string> vecRanges;
    std::ifstream lines(log);
    for (std::string strLine; std::getline(lines, strLine);)
        if (strLine.find("\"GET\"") != std::string::npos && strLine.find("/Data0.zip") != std::string::npos)
            vecRanges.push_back(strLine.find("bytes=2000000-") != std::string::npos ? "range" : "whole");
    EXPECT_EQ(vecRanges, (std::vector<std::string>{"whole", "range"}));
}

TEST_F(KZPatchInstallTest, ZipDamagedEveryTimeEndsTheRun)
{
    const std::vector<std::string> vecZips = Generate("--packs 1");
    ASSERT_EQ(vecZips.size(), 2u);
    Serve({"GET:/Data0.zip:corrupt:" + std::to_string(DataOffset(vecZips[0])) + ":0"});
    ::testing::internal::CaptureStdout();
    const SRunResult result = RunLocal();
    const std::string strOutput = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_EQ(Requests("/Data0.zip"), 5);
    EXPECT_NE(strOutput.find("Could not install Data0.zip after 5 tries\n"), std::string::npos) << strOutput;
    EXPECT_FALSE(fs::exists(m_project / "Data.ccx"));
}

TEST_F(KZPatchInstallTest, RefusalsEndTheRunServerErrorsAreRetried)
{
    Generate("--packs 2");
    Serve({"GET:/Data1.zip:fail:404:0"});
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_EQ(Requests("/Data1.zip"), 5);
    KZPatch::ResetForTesting();

    // Server errors are tried again well beyond the refusals' five tries.
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    Generate("--packs 1");
    Serve({"GET:/Data0.zip:fail:500:7"});
    const SRunResult retried = RunLocal();
    EXPECT_EQ(retried.status, KZ_PATCH_DONE);
    EXPECT_EQ(Requests("/Data0.zip"), 8);
    EXPECT_EQ(retried.downloadDone, retried.downloadTotal) << "failed transfers leave nothing counted";
}

TEST_F(KZPatchInstallTest, ZipEntriesCannotLeaveTheInstallRoot)
{
    const fs::path absolute = m_base / "absolute_evil.txt";
    Generate("--packs 1 --evil " + absolute.string());
    Serve();
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_PACK_UPDATE);
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_FALSE(fs::exists(m_base / "evil_relative.txt"));
    EXPECT_FALSE(fs::exists(m_project / "PackFiles" / "p_00000000.csa")) << "what was written is taken back";
}

TEST_F(KZPatchInstallTest, CatalogueFailures)
{
    Generate("--packs 1");
    struct SCase
    {
        const char* szName;
        std::vector<std::string> vecRules;
        std::vector<std::string> vecSwitches;
        int32_t expectedCode;
    };
    const SCase cases[] = {
        {"no catalogue", {"ANY:/Data.ccx:fail:404:0"}, {}, CKZWebInstaller::ERROR_SERVER_UNREACHABLE},
        {"no Last-Modified", {"ANY:/Data.ccx:nolm"}, {}, CKZWebInstaller::ERROR_SERVER_UNREACHABLE},
        {"catalogue GET fails", {"GET:/Data.ccx:fail:404:0"}, {}, CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD},
    };
    for (const SCase& test : cases)
    {
        SCOPED_TRACE(test.szName);
        KZPatch::ResetForTesting();
        fs::remove_all(m_project);
        fs::create_directories(m_project);
        Serve(test.vecRules, test.vecSwitches);
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_FAILED);
        EXPECT_EQ(result.errorCode, test.expectedCode);
        EXPECT_FALSE(result.sawDone);
        EXPECT_FALSE(fs::exists(m_project / "Data.ccx"));
    }
    // The zips were installed before the catalogue failed; the run is still a failure.
    ExpectPacksInstalled({0});

    // A catalogue older than 258 is refused before any zip is asked for.
    KZPatch::ResetForTesting();
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    Generate("--packs 1 --version 257");
    Serve();
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_CATALOGUE_VERSION);
    EXPECT_EQ(Requests("/Data0.zip", "HEAD") + Requests("/Data0.zip"), 0);
}

// A probe that never gets an answer is asked three times, as every exchange is: once from the client
// application's download and once from the main worker.
TEST_F(KZPatchInstallTest, UnansweredProbeIsTriedThreeTimes)
{
    Generate("--packs 1");
    Serve({"HEAD:/Data.ccx:drop:0"});
    const SRunResult result = RunLocal();
    EXPECT_EQ(result.status, KZ_PATCH_FAILED);
    EXPECT_EQ(result.errorCode, CKZWebInstaller::ERROR_SERVER_UNREACHABLE);
    EXPECT_EQ(Requests("/Data.ccx", "HEAD"), 2 * static_cast<int>(CKZRetryPolicy::kExchange.dwUnanswered));
}

TEST_F(KZPatchInstallTest, BrokenClientZipFailsAndKeepsTheApplication)
{
    const std::vector<std::string> vecZips = Generate("--packs 1 --client-text new_client_text");
    ASSERT_EQ(vecZips.size(), 2u);
    fs::create_directories(m_project / "TVKClient.app/Contents");
    std::ofstream(m_project / "TVKClient.app/Contents/Info.plist") << "old";
    const std::string strCorrupt = "GET:/TVKClientOSX.zip:corrupt:" + std::to_string(DataOffset(vecZips[1])) + ":0";
    const std::vector<std::vector<std::string>> rules = {
        {"ANY:/TVKClientOSX.zip:fail:404:0"}, {"ANY:/TVKClientOSX.zip:redirect:/Data0.zip"}, {strCorrupt}};
    for (const std::vector<std::string>& vecRules : rules)
    {
        SCOPED_TRACE(vecRules[0]);
        KZPatch::ResetForTesting();
        Serve(vecRules);
        const SRunResult result = RunLocal();
        EXPECT_EQ(result.status, KZ_PATCH_FAILED);
        EXPECT_EQ(result.errorCode, 0);
        EXPECT_EQ(KZTestReadFile(m_project / "TVKClient.app/Contents/Info.plist"), "old");
        EXPECT_FALSE(fs::exists(m_project / "TVKClient.app.staging"));
    }
}

TEST_F(KZPatchInstallTest, HttpsAddressesStayHttps)
{
    const fs::path cert = m_base / "cert.pem", key = m_base / "key.pem";
    ASSERT_TRUE(CKZTestHttpServer::MakeCertificate(cert.string(), key.string()));
    Generate("--packs 2");
    Serve({}, {"--tls", cert.string(), key.string()});
    KZInternet::SetCertificateAuthorityFile(cert.c_str());
    // The scheme is matched regardless of case and a trailing '/' is dropped.
    const SRunResult result = Run("HTTPS://" + m_server->Host() + "/");
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    ExpectPacksInstalled({0, 1});
    EXPECT_GE(Requests("/Data.ccx", "HEAD"), 1);
    EXPECT_EQ(Requests("/_plain", "ANY"), 0) << "no plain request reached the server";
    KZPatch::ResetForTesting();

    // Without the test's authority the certificate is not trusted, for HEAD requests too: no
    // request gets past the handshake, and the refusal is final at once.
    fs::remove_all(m_project);
    fs::create_directories(m_project);
    const int clientRequests = Requests("/TVKClientOSX.zip") + Requests("/TVKClientOSX.zip", "HEAD");
    KZInternet::SetCertificateAuthorityFile(nullptr);
    const SRunResult untrusted = Run("https://" + m_server->Host());
    EXPECT_EQ(untrusted.status, KZ_PATCH_FAILED);
    KZInternet::SetCertificateAuthorityFile(cert.c_str());
    EXPECT_EQ(Requests("/TVKClientOSX.zip") + Requests("/TVKClientOSX.zip", "HEAD"), clientRequests);
    EXPECT_FALSE(fs::exists(m_project / "TVKClientOSX.zip"));
}

TEST_F(KZPatchInstallTest, FailedInstallerIdlesWithoutCpu)
{
    Generate("--packs 1");
    Serve({"ANY:/Data.ccx:fail:404:0"});
    ASSERT_EQ(RunLocal().status, KZ_PATCH_FAILED);
    timespec start{}, end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    const double cpuSeconds =
        static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_LT(cpuSeconds, 0.1);
}

namespace
{
void ExpectNoStageAnswers()
{
    EXPECT_EQ(kzpatch_get_download_stage_count(), 0u);
    EXPECT_FALSE(kzpatch_is_download_stage_info_available());
    EXPECT_EQ(kzpatch_get_download_stages_in_sync(), 0u);
    EXPECT_FALSE(kzpatch_is_first_download_stage_ready());
    for (uint32_t stage : {0u, 1u, 0xFFFFFFFFu})
    {
        EXPECT_EQ(kzpatch_get_download_stage_current_bytes(stage), 0u) << stage;
        EXPECT_EQ(kzpatch_get_download_stage_total_bytes(stage), 0u) << stage;
    }
}

bool StageComplete(uint32_t stage)
{
    const uint64_t qwTotal = kzpatch_get_download_stage_total_bytes(stage);
    return qwTotal != 0 && kzpatch_get_download_stage_current_bytes(stage) == qwTotal;
}
} // namespace

// Three stages, the transfers slowed so that the run can be watched: the first stage is reported
// ready before the run ends and never before its bytes are all in.
TEST_F(KZPatchInstallTest, StageExportsDuringAThreeStageInstall)
{
    Generate("--packs 3 --files 2 --stages --stored --file-size 40000");
    Serve();
    ExpectNoStageAnswers();
    kzpatch_set_download_rate_limit(400000);
    bool bReadyWhileInstalling = false, bReadyTooEarly = false, bInSyncFell = false;
    uint32_t dwLastInSync = 0;
    const SRunResult result = RunLocal([&] {
        const uint32_t dwInSync = kzpatch_get_download_stages_in_sync();
        bInSyncFell = bInSyncFell || dwInSync < dwLastInSync;
        dwLastInSync = dwInSync;
        const bool bReady = kzpatch_is_first_download_stage_ready();
        bReadyTooEarly = bReadyTooEarly || (bReady && !StageComplete(0));
        bReadyWhileInstalling = bReadyWhileInstalling || (bReady && kzpatch_get_status() == KZ_PATCH_INSTALLING);
    });
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_TRUE(bReadyWhileInstalling);
    EXPECT_FALSE(bReadyTooEarly);
    EXPECT_FALSE(bInSyncFell);

    EXPECT_EQ(kzpatch_get_download_stage_count(), 3u);
    EXPECT_TRUE(kzpatch_is_download_stage_info_available());
    EXPECT_EQ(kzpatch_get_download_stages_in_sync(), 3u);
    EXPECT_TRUE(kzpatch_is_first_download_stage_ready());
    for (uint32_t stage = 0; stage < 3; ++stage)
    {
        const uint64_t qwZip = fs::file_size(m_serverDir / ("Data" + std::to_string(stage) + ".zip"));
        EXPECT_EQ(kzpatch_get_download_stage_total_bytes(stage), 2 * qwZip) << "downloaded and unpacked";
        EXPECT_EQ(kzpatch_get_download_stage_current_bytes(stage), 2 * qwZip) << stage;
    }
    EXPECT_EQ(kzpatch_get_download_stage_total_bytes(3), 0u) << "an unknown stage";
    EXPECT_EQ(kzpatch_get_download_stage_current_bytes(0xFFFFFFFF), 0u);

    ASSERT_TRUE(kzpatch_destroy());
    ExpectNoStageAnswers();
    ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() == KZ_PATCH_IDLE; }));
    ExpectNoStageAnswers();
}

// Stage 0's zip is refused once and installed after the later stages: until it is in, no stage
// counts as in sync, since the stages after it are no use without it.
TEST_F(KZPatchInstallTest, RefusedFirstStageKeepsTheInSyncCountAtZero)
{
    KZPatch::SetInstallerFactory(NewSlowRetryInstaller);
    const std::vector<std::string> vecZips = Generate("--packs 3 --stages");
    ASSERT_EQ(vecZips.size(), 4u);
    Serve({"GET:/Data0.zip:corrupt:" + std::to_string(DataOffset(vecZips[0])) + ":1"});
    bool bLaterStagesFirst = false, bInSyncTooEarly = false;
    const SRunResult result = RunLocal([&] {
        const uint32_t dwInSync = kzpatch_get_download_stages_in_sync();
        const bool bFirst = StageComplete(0);
        bInSyncTooEarly = bInSyncTooEarly || (dwInSync != 0 && !bFirst);
        if (!bFirst && StageComplete(1) && StageComplete(2))
        {
            bLaterStagesFirst = true;
            EXPECT_FALSE(kzpatch_is_first_download_stage_ready());
        }
    });
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    EXPECT_EQ(Requests("/Data0.zip"), 2);
    EXPECT_TRUE(bLaterStagesFirst);
    EXPECT_FALSE(bInSyncTooEarly);
    EXPECT_EQ(kzpatch_get_download_stages_in_sync(), 3u);
    ExpectPacksInstalled({0, 1, 2});
}

TEST_F(KZPatchInstallTest, StageExportsAnswerZerosInAFailedRun)
{
    Generate("--packs 3 --stages");
    Serve({"GET:/Data1.zip:fail:404:0"});
    const SRunResult result = RunLocal();
    ASSERT_EQ(result.status, KZ_PATCH_FAILED);
    ASSERT_NE(KZPatch::GetWebInstaller(), nullptr);
    EXPECT_EQ(KZPatch::GetWebInstaller()->GetDownloadStageCount(), 3u) << "the installer still knows them";
    ExpectNoStageAnswers();
}

// One test, since it takes a quarter of a minute: 1 MB at 800 KB/s, the limit lowered to 400 KB/s
// while that transfer runs, then 5 MB more. The running transfer keeps its limit, the next ones
// take the new one.
TEST_F(KZPatchInstallTest, DownloadRateLimitHoldsAndChangesOnTheNextTransfer)
{
    Generate("--packs 6 --files 1 --stored --file-size 1000000");
    Serve();
    const uint64_t qwFast = 800 * 1024, qwSlow = 400 * 1024;
    kzpatch_set_download_rate_limit(qwFast);
    EXPECT_EQ(kzpatch_get_download_rate_limit(), qwFast);
    std::vector<std::pair<Clock::time_point, uint64_t>> vecSamples;
    const SRunResult result = RunLocal([&] {
        // In status 3 the client application's transfer counts too; the zips come in status 4.
        const bool bInstalling = kzpatch_get_status() == KZ_PATCH_INSTALLING;
        const uint64_t qwDone = kzpatch_get_current_download_bytes();
        if (bInstalling && qwDone > 0 && kzpatch_get_download_rate_limit() == qwFast)
            kzpatch_set_download_rate_limit(qwSlow);
        vecSamples.emplace_back(Clock::now(), qwDone);
    });
    ASSERT_EQ(result.status, KZ_PATCH_DONE) << result.errorCode;
    const uint64_t qwZip = fs::file_size(m_serverDir / "Data0.zip");
    ASSERT_EQ(result.downloadTotal, 6 * qwZip);

    // The rate between the first samples at or past two amounts of downloaded bytes.
    const auto rate = [&](uint64_t qwFrom, uint64_t qwTo) {
        const auto at = [&](uint64_t qwBytes) {
            return *std::find_if(vecSamples.begin(), vecSamples.end(),
                                 [&](const auto& sample) { return sample.second >= qwBytes; });
        };
        const auto from = at(qwFrom), to = at(qwTo);
        const double seconds = std::chrono::duration<double>(to.first - from.first).count();
        return static_cast<double>(to.second - from.second) / seconds;
    };
    ASSERT_GE(vecSamples.back().second, 6 * qwZip);
    const double fast = rate(100000, qwZip - 100000);
    const double slow = rate(qwZip + 100000, 6 * qwZip - 100000);
    EXPECT_NEAR(fast, static_cast<double>(qwFast), 0.15 * static_cast<double>(qwFast));
    EXPECT_NEAR(slow, static_cast<double>(qwSlow), 0.15 * static_cast<double>(qwSlow));
}
