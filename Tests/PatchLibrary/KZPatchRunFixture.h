#pragma once
// A whole patch run through the exported C functions against the fixture server over loopback, on
// server trees written by Tests/Fixtures/server_tree_gen.py: the fixture shared by the install and
// update tests.

#include "PatchLibrary/KZPatchAPI.h"
#include "PatchLibrary/KZPatchInternal.h"

#include "Base/Hash/KZSignature.h"
#include "Base/Net/KZInternet.h"
#include "Base/Util/KZThread.h"
#include "System/KZInstallLayout.h"
#include "System/KZReleaseManifest.h"
#include "System/Util/KZWebInstaller.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kzpatchrun
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline bool WaitUntil(const std::function<bool()>& condition, int seconds = 60)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!condition())
    {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The installer's pauses cut to a few milliseconds.
inline SKZInstallerTiming FastTiming(unsigned dwRetryDelayMs = 5)
{
    SKZInstallerTiming timing;
    timing.dwStartPauseMs = 5;
    timing.dwRetryDelayMs = dwRetryDelayMs;
    return timing;
}

// A key for the tests, the same for the same first byte.
inline KZSignature::SecretSeed Seed(uint8_t first)
{
    KZSignature::SecretSeed seed;
    for (size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<uint8_t>(first + i);
    return seed;
}

inline std::string PublicText(const KZSignature::SecretSeed& seed)
{
    return KZSignature::ToHex(KZSignature::PublicKeyOf(seed));
}

// Signs every file of a server tree as a release.
inline void SignTree(const fs::path& tree, uint64_t qwRelease, int64_t expires, const KZSignature::SecretSeed& seed)
{
    CKZReleaseManifest manifest;
    std::string strWhy;
    ASSERT_TRUE(manifest.AddTree(tree.string(), strWhy)) << strWhy;
    manifest.SetRelease(qwRelease);
    manifest.SetExpires(expires);
    std::ofstream(tree / KZInstallLayout::kManifestName, std::ios::binary) << manifest.Signed(seed);
}

inline CKZWebInstaller* NewFastInstaller()
{
    return new CKZWebInstaller(nullptr, FastTiming());
}

struct SRunResult
{
    KZPatchStatus status = KZ_PATCH_IDLE;
    int32_t errorCode = -1;
    bool progressInRange = true;
    bool sawDone = false;
    uint64_t filesDone = 0, filesTotal = 0, bytesDone = 0, bytesTotal = 0, downloadDone = 0, downloadTotal = 0;
};

class CKZPatchRunFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        KZPatch::SetInstallerFactory(NewFastInstaller);
        KZPatch::ResetForTesting();
        m_base = KZTestFreshDirectory("kzpatch_run");
        m_project = m_base / "project";
        m_serverDir = m_base / "server";
        m_expected = m_base / "expected";
        fs::create_directories(m_project);
        fs::create_directories(m_serverDir);
    }
    void TearDown() override
    {
        KZPatch::ResetForTesting();
        KZPatch::SetInstallerFactory(nullptr);
        KZInternet::SetCertificateAuthorityFile(nullptr);
        kzpatch_set_download_rate_limit(0);
        m_server.reset();
        fs::remove_all(m_base);
    }

    // Writes the server tree; answers the generator's lines (zip, data offset, data size).
    std::vector<std::string> Generate(const std::string& strOptions = "")
    {
        const std::string strOut =
            KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + m_serverDir.string() +
                             " " + m_expected.string() + " " + strOptions);
        std::vector<std::string> vecLines;
        std::istringstream lines(strOut);
        for (std::string strLine; std::getline(lines, strLine);)
            vecLines.push_back(strLine);
        return vecLines;
    }
    static unsigned DataOffset(const std::string& strLine)
    {
        unsigned offset = 0, size = 0;
        char name[64];
        sscanf(strLine.c_str(), "%63s %u %u", name, &offset, &size);
        return offset + size / 2;
    }
    void Serve(const std::vector<std::string>& vecRules = {}, std::vector<std::string> vecSwitches = {})
    {
        for (const std::string& strRule : vecRules)
        {
            vecSwitches.push_back("--rule");
            vecSwitches.push_back(strRule);
        }
        m_strScheme = std::find(vecSwitches.begin(), vecSwitches.end(), "--tls") != vecSwitches.end() ? "https://"
                                                                                                  : "http://";
        m_server.reset(new CKZTestHttpServer(m_serverDir.string(), vecSwitches));
        ASSERT_NE(m_server->Port(), 0);
    }
    // How often the server was asked for a path with a method.
    int Requests(const std::string& strPath, const std::string& strMethod = "GET") const
    {
        std::string strJson;
        KZInternet::HttpRequest((m_strScheme + m_server->Host() + "/_count" + strPath).c_str(), strJson, nullptr);
        const std::string strKey = "\"" + strMethod + "\": ";
        const size_t at = strJson.find(strKey);
        return at == std::string::npos ? 0 : atoi(strJson.c_str() + at + strKey.size());
    }

    // Drives a run as a launcher does, sampling progress, until 7 or 8 (or the deadline); sample, when
    // given, is called at every poll.
    SRunResult Run(const std::string& strServer, const std::function<void()>& sample = {})
    {
        SRunResult result;
        if (!kzpatch_init(m_project.c_str(), strServer.c_str()) ||
            !WaitUntil([] { return kzpatch_get_status() != KZ_PATCH_INITIALIZING; }))
            return result;
        if (kzpatch_get_status() == KZ_PATCH_INITIALIZED)
            kzpatch_start();
        WaitUntil([&] {
            const float progress = kzpatch_get_progress();
            if (progress < 0.0f || progress > 1.0f)
                result.progressInRange = false;
            const KZPatchStatus status = kzpatch_get_status();
            result.sawDone = result.sawDone || status == KZ_PATCH_DONE;
            if (sample)
                sample();
            return status == KZ_PATCH_DONE || status == KZ_PATCH_FAILED;
        });
        result.status = kzpatch_get_status();
        result.errorCode = kzpatch_get_error_code();
        if (CKZWebInstaller* pInstaller = KZPatch::GetWebInstaller())
        {
            pInstaller->GetProgress(&result.bytesDone, &result.bytesTotal, &result.filesDone, &result.filesTotal);
            pInstaller->GetDownloadProgress(&result.downloadDone, &result.downloadTotal, nullptr, nullptr);
        }
        return result;
    }
    SRunResult RunLocal(const std::function<void()>& sample = {}) { return Run(m_server->Host(), sample); }

    void ExpectPacksInstalled(const std::vector<int>& vecPacks) const
    {
        for (int pack : vecPacks)
            for (const char* szSuffix : {"", "header"})
            {
                const std::string strName = CKZPackFileArchive::CreateFileName(pack, "p", "csa") + szSuffix;
                EXPECT_EQ(KZTestReadFile(m_project / "PackFiles" / strName),
                          KZTestReadFile(m_expected / "PackFiles" / strName))
                    << strName;
            }
    }
    // No zip, marker or temporary catalogue is left in the install root.
    void ExpectNoLeftovers() const
    {
        for (const auto& entry : fs::directory_iterator(m_project))
        {
            const std::string strName = entry.path().filename().string();
            EXPECT_FALSE(strName.rfind("Data", 0) == 0 && entry.path().extension() == ".zip") << strName;
            EXPECT_NE(entry.path().extension(), ".install") << strName;
            EXPECT_NE(strName, "Data.temp");
            EXPECT_NE(strName, "TVKClient.app.staging");
        }
    }

    fs::path m_base, m_project, m_serverDir, m_expected;
    std::unique_ptr<CKZTestHttpServer> m_server;
    std::string m_strScheme = "http://";
};
} // namespace kzpatchrun
