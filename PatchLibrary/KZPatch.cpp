#include "PatchLibrary/KZPatchAPI.h"
#include "PatchLibrary/KZPatchInternal.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"
#include "Base/Hash/KZSignature.h"
#include "Base/Net/KZInternet.h"
#include "Base/Util/KZKillPoint.h"
#include "System/Util/KZFolderLock.h"
#include "System/Util/KZWebInstaller.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace
{
// Owns the run's installer. Every call that uses it borrows it for its own length; taking it away
// waits until each borrower has given it back, so it is never deleted under a getter, and a getter
// never sees an installer that is still being built.
class CInstallerSlot
{
public:
    // A borrowed installer, or none; given back when it goes out of scope.
    class CLease
    {
    public:
        explicit CLease(CInstallerSlot& slot) : m_slot(slot), m_pInstaller(slot.Borrow()) {}
        ~CLease()
        {
            if (m_pInstaller)
                m_slot.GiveBack();
        }
        CLease(const CLease&) = delete;
        CLease& operator=(const CLease&) = delete;
        explicit operator bool() const { return m_pInstaller != nullptr; }
        CKZWebInstaller* operator->() const { return m_pInstaller; }
        CKZWebInstaller& operator*() const { return *m_pInstaller; }

    private:
        CInstallerSlot& m_slot;
        CKZWebInstaller* m_pInstaller;
    };

    CLease Lease() { return CLease(*this); }

    // Publishes a fully built installer; the slot is empty at that moment (status 1).
    void Publish(std::unique_ptr<CKZWebInstaller> pInstaller)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pInstaller = pInstaller.release();
    }

    // Empties the slot at once, so no new call can borrow the installer, and hands it over once
    // the calls that still hold it have returned. They hold it for one installer call each.
    std::unique_ptr<CKZWebInstaller> Withdraw()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::unique_ptr<CKZWebInstaller> pInstaller(m_pInstaller);
        m_pInstaller = nullptr;
        m_returned.wait(lock, [this] { return m_dwBorrowers == 0; });
        return pInstaller;
    }

    // The installer without borrowing it: for tests that drive a run step by step.
    CKZWebInstaller* Peek()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pInstaller;
    }

private:
    CKZWebInstaller* Borrow()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pInstaller)
            ++m_dwBorrowers;
        return m_pInstaller;
    }
    void GiveBack()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_dwBorrowers == 0)
            m_returned.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_returned;
    CKZWebInstaller* m_pInstaller = nullptr;
    uint32_t m_dwBorrowers = 0;
};

std::atomic<int32_t> state{KZ_PATCH_IDLE};
// The three text buffers are written under this lock. A returned pointer is read by the caller
// after the call; its text stays as it is until the next call that rewrites that buffer.
std::mutex s_bufferMutex;
char sm_projectPath[KZPatch::kBufferSize];
char sm_binaryPath[KZPatch::kBufferSize];
char sm_param[KZPatch::kBufferSize];
CInstallerSlot sm_webInstallerSlot;
// The project folder's lock, held from a successful init to destroy or reset; taken and let go by
// the workers of the patch interface, one at a time.
CKZFolderLock s_folderLock;
// The keys every run checks its release with, set in status 0 and copied into each run's installer.
std::mutex s_keysMutex;
std::vector<KZSignature::PublicKey> s_trustedKeys;
// The error code of a run that failed before it had an installer (a folder in use).
std::atomic<int32_t> s_initErrorCode{KZ_PATCH_ERROR_NONE};
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

bool InitializeInstaller(const std::string& strProjectPath, const std::string& strServerAddress)
{
    const auto pInstaller = sm_webInstallerSlot.Lease();
    if (!pInstaller)
        return false;
    {
        std::lock_guard<std::mutex> lock(s_keysMutex);
        pInstaller->SetTrustedKeys(s_trustedKeys);
    }
    if (pInstaller->Initialize("Data", strProjectPath.c_str(), strServerAddress.c_str()))
        return true;
    // A release that failed its check ends the run here; its code outlives the installer.
    if (pInstaller->GetState() == CKZWebInstaller::STATE_FAILED)
        s_initErrorCode = pInstaller->GetErrorCode();
    return false;
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

// Cancel, pause and resume are accepted while a run may transfer: statuses 2, 3 and 4.
template <typename Action>
bool ControlRun(Action action)
{
    const int32_t current = state.load();
    if (current != KZ_PATCH_INITIALIZED && current != KZ_PATCH_UPDATING_CLIENT && current != KZ_PATCH_INSTALLING)
        return false;
    const auto pInstaller = sm_webInstallerSlot.Lease();
    if (!pInstaller)
        return false;
    action(*pInstaller);
    return true;
}

// The stage queries answer while the installer runs and once it is done; zeros elsewhere.
template <typename Query>
auto AskAboutStages(Query query) -> decltype(query(std::declval<CKZWebInstaller&>()))
{
    const int32_t current = state.load();
    if (current == KZ_PATCH_INSTALLING || current == KZ_PATCH_DONE)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
            return query(*pInstaller);
    }
    return {};
}

// Deletes the run's installer once no getter holds it (its destructor waits for its workers) and
// lets go of the project folder.
void EndRun()
{
    sm_webInstallerSlot.Withdraw();
    s_folderLock.Release();
}

void InitWorker(std::string strProjectPath, std::string strServerAddress)
{
    if (!CKZFile::DirectoryExists(strProjectPath.c_str()))
    {
        state.exchange(KZ_PATCH_FAILED);
        return;
    }
    // One run per installation: a second run is refused at once and leaves the first alone.
    if (!s_folderLock.Acquire(strProjectPath))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "The project folder %s is in use by another run", strProjectPath.c_str());
        s_initErrorCode = KZ_PATCH_ERROR_FOLDER_IN_USE;
        state.exchange(KZ_PATCH_FAILED);
        return;
    }
    sm_webInstallerSlot.Publish(std::unique_ptr<CKZWebInstaller>(s_installerFactory.load()()));
    if (InitializeInstaller(strProjectPath, strServerAddress))
    {
        state.exchange(KZ_PATCH_INITIALIZED);
        return;
    }
    EndRun(); // an error code the installer gave outlives it
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
        KZKillPoint::Reached("client-set-aside");
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
bool UpdateClientApplication(CKZWebInstaller& installer)
{
    if (!installer.DownloadFile(strExecutableZipFile.c_str()))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not download %s", strExecutableZipFile.c_str());
        return false;
    }
    // Opened where DownloadFile stored it.
    const std::string strRoot = installer.GetInstallRoot();
    const std::string strZipPath = strRoot + strExecutableZipFile;
    CKZZipFile zip;
    if (!zip.Open(strZipPath.c_str(), 1, nullptr, 0))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not open zip file %s", strZipPath.c_str());
        return false;
    }
    const std::string strStaging = strRoot + strExecutableFileName + ".staging";
    RemoveTree(strStaging);
    CKZFile::CreateDir(strStaging.c_str(), true);
    bool bExtracted = zip.Extract(strStaging.c_str(), KZZipFileNoopProgressCallback, nullptr, nullptr) != 0;
    bExtracted = zip.Close() != 0 && bExtracted;
    if (!bExtracted)
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not extract zip file %s", strExecutableZipFile.c_str());
    else if (!SwapInStagedItems(strStaging + "/", strRoot))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not install %s", strExecutableFileName.c_str());
        bExtracted = false;
    }
    RemoveTree(strStaging);
    return bExtracted;
}

// Brings the client application up to date, then hands over to the installer.
void StartWorker()
{
    const auto pInstaller = sm_webInstallerSlot.Lease();
    if (!pInstaller || !pInstaller->HasRoomToStart() || !UpdateClientApplication(*pInstaller))
        state.exchange(KZ_PATCH_FAILED);
    if (KZPatch::TransitionFromTo(KZ_PATCH_UPDATING_CLIENT, KZ_PATCH_INSTALLING))
        pInstaller->Install();
}

// Done by kzpatch_destroy on the caller's thread, before the worker starts: the launcher reads a
// returned text after the call, and a worker zeroing it at the same moment would race that read.
void ClearBuffers()
{
    std::lock_guard<std::mutex> lock(s_bufferMutex);
    memset(sm_projectPath, 0, sizeof(sm_projectPath));
    memset(sm_binaryPath, 0, sizeof(sm_binaryPath));
    memset(sm_param, 0, sizeof(sm_param));
}

void DestroyWorker()
{
    EndRun();
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
    return sm_webInstallerSlot.Peek();
}

void ResetForTesting()
{
    ClearBuffers();
    DestroyWorker();
}

bool TransitionFromTo(int32_t from, int32_t to)
{
    KZOutput::Print(KZOutput::LEVEL_DEBUG, "kzpatch debug: transitioning from %d to %d...", from, to);
    int32_t found = from;
    const bool result = state.compare_exchange_strong(found, to);
    if (result)
        return true;
    KZOutput::Print(KZOutput::LEVEL_DEBUG, "kzpatch debug: could not transition from %d to %d! Current state is: %d",
                    found, to, state.load());
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
    s_initErrorCode = KZ_PATCH_ERROR_NONE;
    {
        std::lock_guard<std::mutex> lock(s_bufferMutex);
        CopyBounded(sm_projectPath, projectPath);
        CopyBounded(sm_binaryPath, (std::string(projectPath) + "/" + strExecutableFileName).c_str());
    }
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
    ClearBuffers();
    StartDetached(DestroyWorker);
    return true;
}

KZPatchStatus kzpatch_get_status(void)
{
    if (state == KZ_PATCH_INSTALLING)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
        {
            const uint32_t installerState = pInstaller->GetState();
            if (installerState == CKZWebInstaller::STATE_INSTALLED)
                KZPatch::TransitionFromTo(KZ_PATCH_INSTALLING, KZ_PATCH_DONE);
            else if (installerState == CKZWebInstaller::STATE_FAILED)
                KZPatch::TransitionFromTo(KZ_PATCH_INSTALLING, KZ_PATCH_FAILED);
        }
    }
    return state.load();
}

int32_t kzpatch_get_error_code(void)
{
    if (state == KZ_PATCH_FAILED)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
            return pInstaller->GetErrorCode();
        return s_initErrorCode;
    }
    return 0;
}

const char* kzpatch_get_error_text(int32_t code)
{
    switch (code)
    {
    case KZ_PATCH_ERROR_NONE: return "the project directory is missing or the client application could not be updated";
    case KZ_PATCH_ERROR_SERVER_UNREACHABLE: return "server unreachable";
    case KZ_PATCH_ERROR_CATALOGUE_DOWNLOAD: return "catalogue download failed";
    case KZ_PATCH_ERROR_CATALOGUE_UNREADABLE: return "catalogue could not be read";
    case KZ_PATCH_ERROR_CATALOGUE_VERSION: return "catalogue version not supported";
    case KZ_PATCH_ERROR_ZIP: return "a zip could not be downloaded or installed";
    case KZ_PATCH_ERROR_CANCELLED: return "cancelled";
    case KZ_PATCH_ERROR_DISK_SPACE: return "not enough disk space";
    case KZ_PATCH_ERROR_NOT_TRUSTED: return "not trusted";
    case KZ_PATCH_ERROR_FOLDER_IN_USE: return "folder in use";
    default: return "unknown error";
    }
}

void kzpatch_set_log_callback(KZPatchLogCallback callback, void* user)
{
    KZOutput::SetCallback(callback, user);
}

bool kzpatch_set_trusted_keys(const char* keys)
{
    std::vector<KZSignature::PublicKey> vecKeys;
    if (state.load() != KZ_PATCH_IDLE || (keys && !KZSignature::ParseKeys(keys, vecKeys)))
        return false;
    std::lock_guard<std::mutex> lock(s_keysMutex);
    s_trustedKeys = std::move(vecKeys);
    return true;
}

bool kzpatch_cancel(void)
{
    const int32_t current = state.load();
    if (!ControlRun([](CKZWebInstaller& installer) { installer.Cancel(); }))
        return false;
    // A run that has not started fails at once; a running one when its worker or a poll sees it.
    if (current == KZ_PATCH_INITIALIZED)
        KZPatch::TransitionFromTo(KZ_PATCH_INITIALIZED, KZ_PATCH_FAILED);
    return true;
}

bool kzpatch_pause(void)
{
    return ControlRun([](CKZWebInstaller& installer) { installer.Pause(); });
}

bool kzpatch_resume(void)
{
    return ControlRun([](CKZWebInstaller& installer) { installer.Resume(); });
}

bool kzpatch_is_paused(void)
{
    const auto pInstaller = sm_webInstallerSlot.Lease();
    return pInstaller && pInstaller->IsPaused();
}

bool kzpatch_reset(void)
{
    if (!KZPatch::TransitionFromTo(KZ_PATCH_FAILED, KZ_PATCH_DESTROYING))
        return false;
    ClearBuffers();
    DestroyWorker();
    return true;
}

uint64_t kzpatch_get_required_disk_bytes(void)
{
    const auto pInstaller = sm_webInstallerSlot.Lease();
    return pInstaller && state.load() >= KZ_PATCH_INITIALIZED ? pInstaller->GetRequiredDiskBytes() : 0;
}

uint64_t kzpatch_get_free_disk_bytes(void)
{
    const auto pInstaller = sm_webInstallerSlot.Lease();
    return pInstaller && state.load() >= KZ_PATCH_INITIALIZED ? pInstaller->GetFreeDiskBytes() : 0;
}

bool kzpatch_is_new_install(void)
{
    const int32_t current = state.load();
    if (current == KZ_PATCH_INITIALIZED || current == KZ_PATCH_INSTALLING)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
            return pInstaller->IsNewInstall();
    }
    return true;
}

float kzpatch_get_progress(void)
{
    if (state == KZ_PATCH_INSTALLING)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
            return pInstaller->GetWeightedProgress();
    }
    return 0.0f;
}

uint32_t kzpatch_get_current_files(void)
{
    uint64_t filesDone = 0;
    if (state == KZ_PATCH_INSTALLING)
    {
        if (const auto pInstaller = sm_webInstallerSlot.Lease())
            pInstaller->GetProgress(nullptr, nullptr, &filesDone, nullptr);
    }
    return static_cast<uint32_t>(filesDone);
}

uint32_t kzpatch_get_total_files(void)
{
    uint64_t filesTotal = 0;
    if (const auto pInstaller = sm_webInstallerSlot.Lease())
        pInstaller->GetProgress(nullptr, nullptr, nullptr, &filesTotal);
    return static_cast<uint32_t>(filesTotal);
}

uint64_t kzpatch_get_current_bytes(void)
{
    uint64_t bytesDone = 0;
    if (const auto pInstaller = sm_webInstallerSlot.Lease())
        pInstaller->GetProgress(&bytesDone, nullptr, nullptr, nullptr);
    return bytesDone;
}

uint64_t kzpatch_get_total_bytes(void)
{
    uint64_t bytesTotal = 0;
    if (const auto pInstaller = sm_webInstallerSlot.Lease())
        pInstaller->GetProgress(nullptr, &bytesTotal, nullptr, nullptr);
    return bytesTotal;
}

uint64_t kzpatch_get_current_download_bytes(void)
{
    uint64_t bytesDone = 0;
    if (const auto pInstaller = sm_webInstallerSlot.Lease())
        pInstaller->GetDownloadProgress(&bytesDone, nullptr, nullptr, nullptr);
    return bytesDone;
}

uint64_t kzpatch_get_total_download_bytes(void)
{
    uint64_t bytesTotal = 0;
    if (const auto pInstaller = sm_webInstallerSlot.Lease())
        pInstaller->GetDownloadProgress(nullptr, &bytesTotal, nullptr, nullptr);
    return bytesTotal;
}

uint32_t kzpatch_get_download_stage_count(void)
{
    return AskAboutStages([](CKZWebInstaller& installer) { return uint32_t{installer.GetDownloadStageCount()}; });
}

bool kzpatch_is_download_stage_info_available(void)
{
    return AskAboutStages([](CKZWebInstaller& installer) { return installer.IsDownloadStageInfoAvailable(); });
}

uint32_t kzpatch_get_download_stages_in_sync(void)
{
    return AskAboutStages([](CKZWebInstaller& installer) { return uint32_t{installer.GetDownloadStageInSyncCount()}; });
}

bool kzpatch_is_first_download_stage_ready(void)
{
    return AskAboutStages([](CKZWebInstaller& installer) { return installer.IsFirstDownloadStageInstallReady(); });
}

uint64_t kzpatch_get_download_stage_current_bytes(uint32_t stage)
{
    return AskAboutStages([stage](CKZWebInstaller& installer) {
        uint64_t qwDone = 0;
        installer.GetDownloadStageProgress(stage, &qwDone, nullptr);
        return qwDone;
    });
}

uint64_t kzpatch_get_download_stage_total_bytes(uint32_t stage)
{
    return AskAboutStages([stage](CKZWebInstaller& installer) {
        uint64_t qwTotal = 0;
        installer.GetDownloadStageProgress(stage, nullptr, &qwTotal);
        return qwTotal;
    });
}

void kzpatch_set_download_rate_limit(uint64_t bytesPerSecond)
{
    KZInternet::SetReceiveRateLimit(bytesPerSecond);
}

uint64_t kzpatch_get_download_rate_limit(void)
{
    return KZInternet::GetReceiveRateLimit();
}

const char* kzpatch_get_executable_path(void)
{
    return sm_binaryPath;
}

const char* kzpatch_get_executable_args(const char* language, const char* launcherHash, const char* launcherServer,
                                        int networkUserId, const char* metricsServer, const char* metricsGroup)
{
    const int32_t current = state.load();
    std::lock_guard<std::mutex> lock(s_bufferMutex);
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

const char* kzpatch_get_version(void)
{
    return KZ_VERSION;
}

} // extern "C"
