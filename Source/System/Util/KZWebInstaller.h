#pragma once
// The web installer: brings one client installation up to date from a web server. It owns the
// pieces of a run and wires them together; each piece owns its state and its lock:
//   CKZCatalogueFiles        the catalogue files on disk and the server's catalogue as read
//   CKZRunCatalogue          every file of the run, with their statuses
//   CKZInstallerTransfers    transfers through the transfer client, under one retry policy
//   CKZInstallProgress       the progress counters and download stage tables
//   CKZInstallerStateMachine the states, as a table of allowed changes with their actions
//   CKZWorkerGroup           every worker thread, started, stopped and joined in one place
//   the workers              main (CKZMainWorker), second download (CKZDownloadWorker), unzip
//                            (CKZUnzipWorker), checksum (CKZChecksumWorker)
//   the pack archive         under its own lock (CKZGuarded)

#include "Base/Core/KZFile.h"
#include "Base/Hash/KZSignature.h"
#include "System/KZReleaseManifest.h"
#include "System/Util/KZChecksumWorker.h"
#include "System/Util/KZDownloadWorker.h"
#include "System/Util/KZInstallerParts.h"
#include "System/Util/KZMainWorker.h"
#include "System/Util/KZTransferClient.h"
#include "System/Util/KZUnzipWorker.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CKZWebInstaller
{
public:
    // The states, as the patch interface sees them (it tests for 7 and 8), 1 to 8 in this order.
    enum EState : uint32_t
    {
        STATE_IDLE = 1,
        STATE_NEW_INSTALL_PREPARE,
        STATE_NEW_INSTALL_DOWNLOAD,
        STATE_UPDATE_PREPARE,
        STATE_UPDATE_COMPARE,
        STATE_UPDATE_DOWNLOAD,
        STATE_INSTALLED,
        STATE_FAILED,
    };
    // The error codes the launcher gets: 0 to 4, then 6 to 9 (5 is not given).
    enum EErrorCode : int32_t
    {
        ERROR_NONE = 0,
        ERROR_SERVER_UNREACHABLE,
        ERROR_CATALOGUE_DOWNLOAD,
        ERROR_CATALOGUE_OPEN,
        ERROR_CATALOGUE_VERSION,
        ERROR_PACK_UPDATE = 6,
        ERROR_CANCELLED,
        ERROR_DISK_SPACE,
        ERROR_NOT_TRUSTED,
    };
    static constexpr uint32_t kMaxZipCount = CKZMainWorker::kMaxZipCount;

    // The client reaches the server (the libcurl one when null); timing holds the pauses.
    explicit CKZWebInstaller(std::unique_ptr<IKZTransferClient> pClient = nullptr,
                             const SKZInstallerTiming& timing = SKZInstallerTiming());
    CKZWebInstaller(const CKZWebInstaller&) = delete;
    CKZWebInstaller& operator=(const CKZWebInstaller&) = delete;
    // Stops every worker and waits until all have ended.
    ~CKZWebInstaller();

    // With keys, every run checks its signed release before it uses any file of the server.
    void SetTrustedKeys(const std::vector<KZSignature::PublicKey>& keys) { m_trustedKeys = keys; }
    // False when the run cannot start; its state is then failed where the server's release was not
    // trusted.
    bool Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer);
    bool Install();
    bool DownloadFile(const char* szName);
    bool Connect();
    static bool Disconnect() { return true; }
    void AddCustomFile(const char* szName, uint64_t qwSize, int bExtract, const char* szLocalDir);

    // One download from the server into the install root (or szLocalDir) in the given slot;
    // qwMaxBytes bounds what the server may send.
    bool GetRemoteFileHttp(const char* szLocalName, const char* szRemoteName, unsigned slot, const char* szLocalDir,
                           int64_t* pResumeTime = nullptr, uint64_t qwMaxBytes = 0);
    // Size and time of one file on the server; false when the server reports either not.
    bool GetRemoteFileInfoHttp(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);

    static int CompareFileTime(const SKZFileTime* pA, const SKZFileTime* pB);
    // True when the installer is now in the state (changes the table does not allow are refused).
    bool GoToState(unsigned state);
    void RetrieveCacheFile();
    bool FinalizeCacheFile();
    bool PrepareDataFoldersForDownload();
    void RequestShutDown();
    bool IsShutDown() const;
    void WaitForShutDown();

    // Stops the run at every worker's next safe point and fails it as cancelled; what it fetched,
    // unpacked and merged stays for the next run, which continues from there.
    void Cancel();
    // Holds every transfer until Resume (a cancel ends the pause too).
    void Pause() { m_control.Pause(); }
    void Resume() { m_control.Resume(); }
    bool IsPaused() const { return m_control.IsPaused(); }
    // The disk space the run needs at the most, as far as it knows yet (0 before it knows), and the
    // free space of the install root's file system.
    uint64_t GetRequiredDiskBytes() const { return m_qwRequiredDiskBytes; }
    uint64_t GetFreeDiskBytes() const;
    // Before anything is fetched: fails the run (not enough disk space) when what it is known to need
    // already exceeds the free space. An update knows that from its catalogue, a new install only
    // once it has counted its zips.
    bool HasRoomToStart();
    bool IsInstallReady() const { return GetState() == STATE_INSTALLED; }

    uint32_t GetState() const { return m_states.State(); }
    int32_t GetErrorCode() const { return m_states.ErrorCode(); }
    bool IsNewInstall() const { return m_bNewInstall != 0; }
    bool IsCatalogueLoaded() const { return m_catalogueFiles.IsLoaded(); }
    int32_t GetCatalogueVersion() const { return m_catalogueFiles.Version(); }
    uint64_t GetPackFileCount() const { return m_catalogueFiles.PackCount(); }
    const std::string& GetInstallRoot() const { return m_strInstallRoot; }
    const std::string& GetServer() const { return m_strServer; }
    // "http://" or "https://": the scheme every request of this installer uses.
    const std::string& GetScheme() const { return m_strScheme; }
    // The URL of a file on the server, its name percent-encoded per path segment.
    std::string RemoteUrl(const char* szRemoteName) const { return m_transfers.Url(szRemoteName); }

    float GetWeightedProgress() const { return m_progress.GetWeightedProgress(); }
    bool GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone, uint64_t* pFilesTotal) const;
    bool GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                             uint64_t* pFilesTotal) const;
    void GetDownloadStageProgress(unsigned stage, uint64_t* pDone, uint64_t* pTotal) const
    {
        m_progress.GetDownloadStageProgress(stage, pDone, pTotal);
    }
    unsigned GetDownloadStageCount() const { return m_progress.GetDownloadStageCount(); }
    bool IsDownloadStageInfoAvailable() const { return m_progress.IsDownloadStageInfoAvailable(); }
    unsigned GetZipDownloadStage(unsigned zip) const { return m_progress.GetZipDownloadStage(zip); }
    unsigned GetDownloadStageInSyncCount() const { return m_progress.GetDownloadStageInSyncCount(); }
    bool IsFirstDownloadStageInstallReady() const { return GetDownloadStageInSyncCount() != 0; }

private:
    std::vector<CKZInstallerStateMachine::STransition> Transitions();
    void SetStateActions();
    void ParseServer(const char* szServer);
    // Fetches the server's manifest and checks it against the trusted keys, the clock and the
    // release installed here; from then on every download is checked against it.
    int32_t LoadSignedRelease();
    uint64_t AcceptedRelease() const;
    void RecordAcceptedRelease() const;
    // The local catalogue's path (Data.ccx, else Data.cch); decides a new install when neither is usable.
    std::string FindLocalCatalogue();
    // Completes or clears what an interrupted run left; false when the download folder cannot be emptied.
    bool ClearLeftovers();
    void InitializeUpdate(const std::string& strCache);
    void OpenLocalPackFiles(const std::string& strCache);
    bool IsResuming() const;
    std::vector<CKZWebInstallerFile*> EntriesOutOfSync();
    // Fails the run when the file system has less room than the run needs.
    int32_t CheckDiskSpace(uint64_t qwRequired);
    void StartUpdateAndUnzipWorkers();
    int32_t EnterNewInstallPrepare();
    int32_t EnterUpdatePrepare();
    int32_t InstallFromFullZips();
    int32_t InstallUpdatedCatalogue();

    const SKZInstallerTiming m_timing;
    std::atomic<uint64_t> m_qwRequiredDiskBytes{0};
    CKZRetryPolicy m_retryPolicy;
    std::atomic<int32_t> m_bNewInstall{1};
    bool m_bUsePackFiles = false;
    std::string m_strInstallRoot;
    std::string m_strServer;
    std::string m_strScheme = "http://";
    std::vector<KZSignature::PublicKey> m_trustedKeys;
    std::shared_ptr<const CKZReleaseManifest> m_pRelease;

    CKZWorkerGroup m_workers;
    CKZRunControl m_control;
    CKZInstallProgress m_progress;
    CKZRunCatalogue m_catalogue;
    CKZCatalogueFiles m_catalogueFiles;
    CKZInstallerTransfers m_transfers;
    CKZInstallerStateMachine m_states;
    CKZGuarded<CKZPackFileArchive> m_packs;
    KZFileQueue m_zipQueue;
    KZFileQueue m_downloadQueue;
    KZFileQueue m_unzipQueue;
    SKZInstallerParts m_parts;
    CKZDownloadWorker m_downloads;
    CKZChecksumWorker m_checksums;
    CKZUnzipWorker m_unzip;
    CKZMainWorker m_main;
};
