#include "PatchLibrary/KZPatchAPI.h"
#include "PatchLibrary/KZPatchInternal.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "System/Util/KZWebInstaller.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace
{
std::atomic<int32_t> state{KZ_PATCH_IDLE};
char sm_projectPath[KZPatch::kBufferSize];
char sm_binaryPath[KZPatch::kBufferSize];
char sm_param[KZPatch::kBufferSize];
CKZWebInstaller* sm_pWebInstaller = nullptr;
const std::string strExecutableFileName = "TVKClient.app";
const std::string strExecutableZipFile = "TVKClientOSX.zip";

CKZWebInstaller* NewPlainInstaller()
{
    return new CKZWebInstaller;
}
std::atomic<KZPatch::InstallerFactory> s_installerFactory{NewPlainInstaller};

const CKZLog::SEventRecord s_transitionRecord = {"PatchLibrary/KZPatch", "TransitionFromTo", "result",
                                                 CKZLog::EVENT_ASSERT, 0, 40};
const CKZLog::SEventRecord s_forceCrashRecord = {"PatchLibrary/KZPatch", "kzpatch_force_crash", "false",
                                                 CKZLog::EVENT_FATALASSERT, 0, 332};

// Copies at most 2047 bytes and zero-fills the rest, so a buffer always ends in a zero byte
// however long the value is.
void CopyBounded(char (&buffer)[KZPatch::kBufferSize], const char* szValue)
{
    const size_t length = strnlen(szValue, KZPatch::kBufferSize - 1);
    memcpy(buffer, szValue, length);
    memset(buffer + length, 0, KZPatch::kBufferSize - length);
}

template <typename Function>
void StartDetached(Function&& function)
{
    try
    {
        std::thread(std::forward<Function>(function)).detach();
    }
    catch (const std::system_error& error)
    {
        throw std::system_error(error.code(), "thread constructor failed");
    }
}

void RemoveTree(const std::string& strPath)
{
    if (CKZFile::DirectoryExists(strPath.c_str()))
    {
        CKZFile::RemoveDirectoryContents(strPath.c_str());
        CKZFile::RemoveDir(strPath.c_str());
    }
    else if (CKZFile::FileExists(strPath))
        CKZFile::RemoveFile(strPath.c_str());
}

void InitWorker(std::string strProjectPath, std::string strServerAddress)
{
    if (!CKZFile::DirectoryExists(strProjectPath.c_str()))
    {
        state.exchange(KZ_PATCH_FAILED);
        return;
    }
    sm_pWebInstaller = s_installerFactory.load()();
    if (sm_pWebInstaller->Initialize("Data", strProjectPath.c_str(), strServerAddress.c_str()))
    {
        state.exchange(KZ_PATCH_INITIALIZED);
        return;
    }
    delete sm_pWebInstaller;
    sm_pWebInstaller = nullptr;
    state.exchange(KZ_PATCH_FAILED);
}

// Moves every top-level item of the staging folder over its namesake in the project directory. The
// old item is first renamed aside, so a failed swap can put it back.
bool SwapInStagedItems(const std::string& strStaging, const std::string& strProject)
{
    std::vector<SKZFileInfo> vecItems;
    CKZFile::CollectDirectoryFiles(strStaging.c_str(), vecItems, false, nullptr, false, true);
    for (const SKZFileInfo& item : vecItems)
    {
        const std::string strTarget = strProject + item.name;
        const std::string strAside = strProject + item.name + ".old";
        const bool bHadTarget = CKZFile::FileExists(strTarget) || CKZFile::DirectoryExists(strTarget.c_str());
        RemoveTree(strAside);
        if (bHadTarget && !CKZFile::Rename(strTarget.c_str(), strAside.c_str()))
            return false;
        if (!CKZFile::Rename((strStaging + item.name).c_str(), strTarget.c_str()))
        {
            if (bHadTarget)
                CKZFile::Rename(strAside.c_str(), strTarget.c_str());
            return false;
        }
        RemoveTree(strAside);
    }
    return true;
}

// Downloads the client application's zip into the project directory, unpacks it into a staging
// folder there and swaps the result in: a damaged zip never leaves a half-replaced application.
bool UpdateClientApplication()
{
    if (!sm_pWebInstaller->DownloadFile(strExecutableZipFile.c_str()))
    {
        printf("Could not download %s\n", strExecutableZipFile.c_str());
        return false;
    }
    // Opened where DownloadFile stored it.
    const std::string strRoot = sm_pWebInstaller->GetInstallRoot();
    const std::string strZipPath = strRoot + strExecutableZipFile;
    CKZZipFile zip;
    if (!zip.Open(strZipPath.c_str(), 1, nullptr, 0))
    {
        printf("Could not open zip file %s\n", strZipPath.c_str());
        return false;
    }
    const std::string strStaging = strRoot + strExecutableFileName + ".staging";
    RemoveTree(strStaging);
    CKZFile::CreateDir(strStaging.c_str(), true);
    bool bExtracted = zip.Extract(strStaging.c_str(), KZZipFileNoopProgressCallback, nullptr, nullptr) != 0;
    bExtracted = zip.Close() != 0 && bExtracted;
    if (!bExtracted)
        printf("Could not extract zip file %s\n", strExecutableZipFile.c_str());
    else if (!SwapInStagedItems(strStaging + "/", strRoot))
    {
        printf("Could not install %s\n", strExecutableFileName.c_str());
        bExtracted = false;
    }
    RemoveTree(strStaging);
    return bExtracted;
}

// Brings the client application up to date, then hands over to the installer.
void StartWorker()
{
    if (!UpdateClientApplication())
        state.exchange(KZ_PATCH_FAILED);
    if (KZPatch::TransitionFromTo(KZ_PATCH_UPDATING_CLIENT, KZ_PATCH_INSTALLING))
        sm_pWebInstaller->Install();
}

void DestroyWorker()
{
    memset(sm_projectPath, 0, sizeof(sm_projectPath));
    memset(sm_binaryPath, 0, sizeof(sm_binaryPath));
    memset(sm_param, 0, sizeof(sm_param));
    if (sm_pWebInstaller)
    {
        delete sm_pWebInstaller;
        sm_pWebInstaller = nullptr;
    }
    state.exchange(KZ_PATCH_IDLE);
}
} // namespace

namespace KZPatch
{
void SetInstallerFactory(InstallerFactory factory)
{
    s_installerFactory = factory ? factory : NewPlainInstaller;
}

CKZWebInstaller* GetWebInstaller()
{
    return sm_pWebInstaller;
}

void ResetForTesting()
{
    DestroyWorker();
}

bool TransitionFromTo(int32_t from, int32_t to)
{
    printf("kzpatch debug: transitioning from %d to %d...\n", from, to);
    int32_t found = from;
    const bool result = state.compare_exchange_strong(found, to);
    if (result)
        return true;
    printf("kzpatch debug: could not transition from %d to %d! Current state is: %d\n", found, to, state.load());
    fflush(stdout);
    KZ_REPORT_EVENT(s_transitionRecord, "%s", "");
    return false;
}
}

extern "C" {

bool kzpatch_init(const char* projectPath, const char* serverAddress)
{
    if (!projectPath || !serverAddress)
        return false;
    if (!KZPatch::TransitionFromTo(KZ_PATCH_IDLE, KZ_PATCH_INITIALIZING))
        return false;
    CopyBounded(sm_projectPath, projectPath);
    CopyBounded(sm_binaryPath, (std::string(projectPath) + "/" + strExecutableFileName).c_str());
    StartDetached([strProject = std::string(projectPath), strServer = std::string(serverAddress)] {
        InitWorker(strProject, strServer);
    });
    return true;
}

bool kzpatch_start(void)
{
    if (!KZPatch::TransitionFromTo(KZ_PATCH_INITIALIZED, KZ_PATCH_UPDATING_CLIENT))
        return false;
    StartDetached(StartWorker);
    return true;
}

bool kzpatch_destroy(void)
{
    if (!KZPatch::TransitionFromTo(KZ_PATCH_DONE, KZ_PATCH_DESTROYING) &&
        !KZPatch::TransitionFromTo(KZ_PATCH_IDLE, KZ_PATCH_DESTROYING))
        return false;
    StartDetached(DestroyWorker);
    return true;
}

KZPatchStatus kzpatch_get_status(void)
{
    if (state == KZ_PATCH_INSTALLING && sm_pWebInstaller)
    {
        const uint32_t installerState = sm_pWebInstaller->GetState();
        if (installerState == CKZWebInstaller::STATE_INSTALLED)
            KZPatch::TransitionFromTo(KZ_PATCH_INSTALLING, KZ_PATCH_DONE);
        else if (installerState == CKZWebInstaller::STATE_FAILED)
            KZPatch::TransitionFromTo(KZ_PATCH_INSTALLING, KZ_PATCH_FAILED);
    }
    return state.load();
}

int32_t kzpatch_get_error_code(void)
{
    if (state == KZ_PATCH_FAILED && sm_pWebInstaller)
        return sm_pWebInstaller->GetErrorCode();
    return 0;
}

bool kzpatch_is_new_install(void)
{
    const int32_t current = state.load();
    if ((current == KZ_PATCH_INITIALIZED || current == KZ_PATCH_INSTALLING) && sm_pWebInstaller)
        return sm_pWebInstaller->IsNewInstall();
    return true;
}

float kzpatch_get_progress(void)
{
    if (state == KZ_PATCH_INSTALLING && sm_pWebInstaller)
        return sm_pWebInstaller->GetWeightedProgress();
    return 0.0f;
}

uint32_t kzpatch_get_current_files(void)
{
    uint64_t filesDone = 0;
    if (state == KZ_PATCH_INSTALLING && sm_pWebInstaller)
        sm_pWebInstaller->GetProgress(nullptr, nullptr, &filesDone, nullptr);
    return static_cast<uint32_t>(filesDone);
}

uint32_t kzpatch_get_total_files(void)
{
    uint64_t filesTotal = 0;
    if (sm_pWebInstaller)
        sm_pWebInstaller->GetProgress(nullptr, nullptr, nullptr, &filesTotal);
    return static_cast<uint32_t>(filesTotal);
}

uint64_t kzpatch_get_current_bytes(void)
{
    uint64_t bytesDone = 0;
    if (sm_pWebInstaller)
        sm_pWebInstaller->GetProgress(&bytesDone, nullptr, nullptr, nullptr);
    return bytesDone;
}

uint64_t kzpatch_get_total_bytes(void)
{
    uint64_t bytesTotal = 0;
    if (sm_pWebInstaller)
        sm_pWebInstaller->GetProgress(nullptr, &bytesTotal, nullptr, nullptr);
    return bytesTotal;
}

uint64_t kzpatch_get_current_download_bytes(void)
{
    uint64_t bytesDone = 0;
    if (sm_pWebInstaller)
        sm_pWebInstaller->GetDownloadProgress(&bytesDone, nullptr, nullptr, nullptr);
    return bytesDone;
}

uint64_t kzpatch_get_total_download_bytes(void)
{
    uint64_t bytesTotal = 0;
    if (sm_pWebInstaller)
        sm_pWebInstaller->GetDownloadProgress(nullptr, &bytesTotal, nullptr, nullptr);
    return bytesTotal;
}

const char* kzpatch_get_executable_path(void)
{
    return sm_binaryPath;
}

const char* kzpatch_get_executable_args(const char* language, const char* launcherHash, const char* launcherServer,
                                        int networkUserId, const char* metricsServer, const char* metricsGroup)
{
    const int32_t current = state.load();
    if (current == KZ_PATCH_INITIALIZING || current == KZ_PATCH_DESTROYING)
    {
        memset(sm_param, 0, sizeof(sm_param));
        return sm_param;
    }
    std::string strArgs;
    strArgs += std::string(" -Language=\"") + language + "\"";
    strArgs += std::string(" -LauncherHash=\"") + launcherHash + "\"";
    strArgs += std::string(" -LauncherServer=") + launcherServer;
    strArgs += " -NetworkUserId=" + std::to_string(networkUserId);
    strArgs += std::string(" -MetricsServer=\"") + metricsServer;
    strArgs += std::string("\" -MetricsGroup=\"") + metricsGroup + "\"";
    strArgs += std::string(" -DataPath=\"") + sm_projectPath + "\"";
    CopyBounded(sm_param, strArgs.c_str());
    return sm_param;
}

void kzpatch_force_crash(void)
{
    KZ_REPORT_EVENT(s_forceCrashRecord, "%s", "");
}

} // extern "C"
