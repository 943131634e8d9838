#pragma once
// The web installer: brings one client installation up to date from a web server. It owns the
// local and remote catalogues, the main, update, unzip and checksum workers with their queues and
// locks, the progress counters and the client's pack file archive.
//
// The class spans several files: KZWebInstaller.cpp (lifecycle, catalogue files, states, transfers),
// KZWebInstallerMain.cpp (main worker, new install), KZWebInstallerUpdate.cpp (the update steps of
// the main and update workers, unpacking update zips, the pack merge), KZWebInstallerChecksum.cpp
// (checksum workers), KZWebInstallerWorkers.cpp (unzip and update workers, starting workers),
// KZWebInstallerProgress.cpp (progress and download stages).
//
// Locks: progress, zip queue, download queue (also guarding the remote catalogue and the status of
// its entries), unzip queue, local file lists, pack archive. The only nesting is zip queue ->
// progress; the progress getters read the pack merge's byte count without the pack lock.

#include "Base/Core/KZFile.h"
#include "Base/Core/KZFileDetails.h"
#include "Base/Net/KZInternet.h"
#include "Base/Util/KZThread.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZLockedQueue.h"
#include "System/Util/KZRetryPolicy.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// A catalogue record with the installer's local directory, status and flags, and the retry
// bookkeeping of its transfers.
class CKZWebInstallerFile : public CKZFileDetails
{
public:
    enum EStatus : uint32_t
    {
        FILE_STATUS_PENDING = 0,
        FILE_STATUS_DONE = 1,
        FILE_STATUS_DOWNLOADING = 2,
        FILE_STATUS_UNZIPPING = 3,
    };
    enum EFlags : uint32_t
    {
        FILE_FLAG_DIRECT = 1,   // fetched under its own name
        FILE_FLAG_EXTRACT = 2,  // a zip that the main worker unpacks at once
        FILE_FLAG_FULL_ZIP = 4, // a full-install zip for the unzip worker
    };

    CKZWebInstallerFile() = default;
    explicit CKZWebInstallerFile(const CKZFileDetails& details) : CKZFileDetails(details) {}

    // Zip index -> stage, the last file in name order deciding; emptied when it names one zip only.
    static void GetDownloadStageZipMap(const std::map<std::string, CKZWebInstallerFile*>& files,
                                       std::map<int32_t, int32_t>& zipStages);

    bool Has(uint32_t dwFlag) const { return (m_dwFlags & dwFlag) != 0; }

    std::string m_strLocalDir;
    uint32_t m_dwStatus = FILE_STATUS_PENDING;
    uint32_t m_dwFlags = 0;

    // The failed tries of its transfer; a zip that does not unpack or holds other bytes counts as a
    // refusal.
    SKZRetryState m_retry;
    // The most a transfer of a file fetched under its own name may bring: the size the server
    // gave for it (0 for catalogue entries, whose bound comes from their record).
    uint64_t m_qwTransferBound = 0;
    // The server's time of the file whose partial copy a broken transfer left; -1 for none.
    int64_t m_resumeTime = -1;
};

class CKZWebInstaller
{
public:
    enum EState : uint32_t
    {
        STATE_IDLE = 1,
        STATE_NEW_INSTALL_PREPARE = 2,
        STATE_NEW_INSTALL_DOWNLOAD = 3,
        STATE_UPDATE_PREPARE = 4,
        STATE_UPDATE_COMPARE = 5,
        STATE_UPDATE_DOWNLOAD = 6,
        STATE_INSTALLED = 7,
        STATE_FAILED = 8,
    };

    enum EErrorCode : int32_t
    {
        ERROR_NONE = 0,
        ERROR_SERVER_UNREACHABLE = 1,
        ERROR_CATALOGUE_DOWNLOAD = 2,
        ERROR_CATALOGUE_OPEN = 3,
        ERROR_CATALOGUE_VERSION = 4,
        ERROR_PACK_UPDATE = 6,
    };

    // Transfer slots: 0 the main worker, 1 the update worker; catalogue downloads use the
    // uncounted slot and never show in the download progress.
    static constexpr unsigned SLOT_MAIN = 0;
    static constexpr unsigned SLOT_UPDATE = 1;
    static constexpr unsigned SLOT_UNCOUNTED = 2;
    // An update zip holds one entry: its compressed data, the entry's name twice (local and
    // central header) and the headers, extra fields and end record, which stay below this.
    static constexpr uint32_t kUpdateZipOverhead = 1024;
    // Beyond this many full-install zips the enumeration stops whatever the server answers.
    static constexpr uint32_t kMaxZipCount = 4096;
    // Zip indexes at or above this are refused in a catalogue.
    static constexpr uint32_t kMaxZipIndex = 65536;
    static constexpr uint32_t kNoStage = 0xFFFFFFFF;

    typedef std::map<std::string, CKZWebInstallerFile*> CatalogueMap;

    CKZWebInstaller();
    CKZWebInstaller(const CKZWebInstaller&) = delete;
    CKZWebInstaller& operator=(const CKZWebInstaller&) = delete;
    // Stops every worker, waits until all have ended, then frees what the installer and its
    // queues own.
    virtual ~CKZWebInstaller();

    bool Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer);
    bool Install();
    bool DownloadFile(const char* szName);
    bool Connect();
    static bool Disconnect() { return true; }
    void AddCustomFile(const char* szName, uint64_t qwSize, int bExtract, const char* szLocalDir);

    // The workers call these four until they have ended: a subclass that overrides one must call
    // WaitForShutDown() in its own destructor, before its part of the object is gone.

    // One download from the server into the install root (or szLocalDir) in the given slot. On
    // success the slot keeps its bytes until the caller credits them. pResumeTime, when given, is
    // the entry's resume time: a retry continues the partial file of the try before (see
    // KZInternet::HttpGetFile).
    // qwMaxBytes bounds what the server may send (0: none).
    virtual bool GetRemoteFileHttp(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                   const char* szLocalDir, int64_t* pResumeTime = nullptr, uint64_t qwMaxBytes = 0);
    // Size and time of one file on the server; false when the server reports either not.
    virtual bool GetRemoteFileInfoHttp(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);
    virtual void Sleep(unsigned milliseconds);
    virtual bool ValidExtraction(bool bExtracted) { return bExtracted; }

    static int CompareFileTime(const SKZFileTime* pA, const SKZFileTime* pB);
    void GoToState(unsigned state);
    void RetrieveCacheFile();
    bool FinalizeCacheFile();
    bool PrepareDataFoldersForDownload();
    void RequestShutDown();
    bool IsShutDown() const;
    void WaitForShutDown();
    bool IsInstallReady() const { return m_uState == STATE_INSTALLED; }

    uint32_t GetState() const { return m_uState; }
    int32_t GetErrorCode() const { return m_nErrorCode; }
    bool IsNewInstall() const { return m_bNewInstall != 0; }
    bool IsCatalogueLoaded() const { return m_bCatalogueLoaded; }
    int32_t GetCatalogueVersion() const { return m_dwCatalogueVersion; }
    uint64_t GetPackFileCount() const { return m_dwPackFileCount; }
    const std::string& GetInstallRoot() const { return m_strInstallRoot; }
    const std::string& GetServer() const { return m_strServer; }
    // "http://" or "https://": the scheme every request of this installer uses.
    const std::string& GetScheme() const { return m_strScheme; }
    // The URL of a file on the server, its name percent-encoded per path segment.
    std::string RemoteUrl(const char* szRemoteName) const;

    // Progress (KZWebInstallerProgress.cpp).
    float GetWeightedProgress();
    bool GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone, uint64_t* pFilesTotal);
    bool GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                             uint64_t* pFilesTotal);
    void GetDownloadStageProgress(unsigned stage, uint64_t* pDone, uint64_t* pTotal);
    bool DownloadDownloadStageInfo();
    void ClearDownloadStageInfo();
    unsigned GetDownloadStageCount();
    bool IsDownloadStageInfoAvailable();
    unsigned GetZipDownloadStage(unsigned zip);
    unsigned GetDownloadStageInSyncCount();
    bool IsFirstDownloadStageInstallReady() { return GetDownloadStageInSyncCount() != 0; }

protected:
    // The first wait between two tries of one transfer (CKZRetryPolicy).
    void SetRetryDelay(uint32_t dwMilliseconds) { m_retryPolicy.SetFirstDelay(dwMilliseconds); }

private:
    static unsigned MainThreadEntry(void* pInstaller);
    static unsigned UpdateThreadEntry(void* pInstaller);
    static unsigned UnzipThreadEntry(void* pInstaller);
    static unsigned ChecksumThreadEntry(void* pInstaller);

    // Main worker (KZWebInstallerMain.cpp).
    void MainThread();
    void EnterNewInstallPrepare();
    void EnterUpdatePrepare();
    void EnumerateFullInstallZips(uint32_t dwLimit);
    void NewInstallStep();
    bool TakeReadyZip(CKZWebInstallerFile*& pFile);
    void OnTransferFailed(CKZWebInstallerFile* pFile, unsigned slot);
    bool GiveUpOn(CKZWebInstallerFile* pFile);
    static bool HasFailedTooOften(const CKZWebInstallerFile& file);
    void ScheduleRetry(CKZWebInstallerFile& file, bool bRefused) const;
    // The most the transfer of an entry may bring.
    static uint64_t TransferBound(const CKZWebInstallerFile& file);
    void ExtractCustomZip(const CKZWebInstallerFile& file);
    void SetServerTime(const CKZWebInstallerFile& file);
    // The last transfer in the slot got an answer that refuses the file (300 to 499), or could not
    // write the file: neither goes away by asking again at once.
    bool WasRefused(unsigned slot) const;
    void Fail(int32_t nErrorCode);
    // One exchange tried under the retry policy's exchange limits: attempt answers whether the try
    // worked and, when not, whether it was refused.
    bool RetryExchange(const std::function<bool(bool& bRefused)>& attempt);
    // GetRemoteFileInfoHttp as one exchange.
    bool ProbeRemoteFile(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);
    // A file fetched whole as one exchange, bounded by the size a HEAD request gives for it.
    bool FetchBoundedFile(const char* szLocalName, const char* szRemoteName, unsigned slot);
    bool PacksHoldCatalogue();

    // Update steps of the main worker (KZWebInstallerUpdate.cpp).
    void CompareStep();
    void UpdateStep();
    bool TakeReadyDownload(CKZWebInstallerFile*& pFile, bool bMainWorker);
    void FetchUpdateEntry(CKZWebInstallerFile* pFile, unsigned slot);
    void FetchDirectEntry(CKZWebInstallerFile* pFile);
    void RequeueUpdateEntry(CKZWebInstallerFile* pFile, bool bRefused);
    void CreditDownload(const CKZWebInstallerFile& file, unsigned slot);
    void FinishUpdate();
    bool MergePackFiles();
    void UnpackUpdateZip(CKZWebInstallerFile* pFile);

    // Checksum workers (KZWebInstallerChecksum.cpp).
    void StartChecksumWorkers();
    void ChecksumThread();
    bool TakeLocalRecord(SKZFileInfo& record, bool& bPacked);
    void CompareLocalRecord(const SKZFileInfo& record, bool bPacked);
    bool ComparePackedRecord(const SKZFileInfo& record, const CKZWebInstallerFile& entry);
    void MarkInSync(const std::string& strKey);
    static std::string FileNameKey(const char* szPath);

    // Unzip and update workers (KZWebInstallerWorkers.cpp).
    void UpdateThread();
    void UnzipThread();
    void UnpackFullInstallZip(CKZWebInstallerFile* pFile);
    void WriteInstallMarker(const CKZWebInstallerFile& file);
    bool StartWorker(CKZThread& thread, CKZThread::ThreadEntry entry, std::atomic<int32_t>& nAlive,
                     const char* szName);
    bool ArmRunFlag(std::atomic<bool>& bRun);
    void StartUpdateAndUnzipWorkers();
    void WakeAll();

    // Progress (KZWebInstallerProgress.cpp); the caller holds the progress lock.
    uint64_t MergedPackBytes() const;
    bool ReadProgress(bool bUnpacking, uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                      uint64_t* pFilesTotal);

    // Catalogue files (KZWebInstaller.cpp).
    int32_t ReadCatalogue(const std::string& strPath, CatalogueMap& catalogue, int32_t* pVersion,
                          uint64_t* pPackCount);
    bool InstallCatalogue();
    void OpenLocalPackFiles(const std::string& strCache, const std::string& strPackDir);
    void DeleteInstallMarkers();
    std::string MarkerPath(uint32_t dwZip) const;
    void ZeroProgressCounters();

    std::atomic<int32_t> m_bNewInstall{1};
    std::atomic<uint32_t> m_uState{STATE_IDLE};
    std::atomic<int32_t> m_nErrorCode{ERROR_NONE};
    CKZThread m_mainThread;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bMainThreadBusy{false};
    // Set while Install creates the main worker, so that shutdown also waits for Install to return.
    std::atomic<bool> m_bStartingMainThread{false};
    std::atomic<bool> m_bShutDownRequested{false};
    CKZThread m_updateThreads[2];
    std::atomic<bool> m_bUpdateThreadsRun{false};
    std::atomic<int32_t> m_nUpdateThreadsAlive{0};
    CKZThread m_unzipThread[1];
    std::atomic<bool> m_bUnzipThreadRun{false};
    std::atomic<int32_t> m_nUnzipThreadsAlive{0};
    CKZThread m_checksumThreads[3];
    std::atomic<bool> m_bChecksumThreadsRun{false};
    std::atomic<int32_t> m_nChecksumThreadsAlive{0};
    // Workers take their number from these (the live counts are raised by the creator).
    std::atomic<int32_t> m_nUpdateThreadsStarted{0};
    std::atomic<int32_t> m_nUnzipThreadsStarted{0};
    std::string m_strCacheName;
    std::string m_strCacheFileName;
    uint32_t m_dwLocalCacheChecksum = 0;
    std::string m_strInstallRoot;
    std::string m_strServer;
    std::string m_strScheme = "http://";

    // Guarded by m_progressMutex.
    uint64_t m_qwTotalFiles = 0;
    uint64_t m_qwTotalDownloadBytes = 0;
    uint64_t m_qwFilesDone = 0;
    uint64_t m_qwDownloadedBytes = 0;
    uint64_t m_qwTotalUnpackBytes = 0;
    uint64_t m_qwUnpackedBytes = 0;
    uint64_t m_qwZipsInstalled = 0;
    uint64_t m_qwZipCount = 0;
    std::map<int32_t, int32_t> m_zipStages;
    CatalogueMap m_stageCatalogue;
    std::mutex m_progressMutex;
    uint64_t m_dwCurrentFileUnzipProgressSize[1] = {0};
    uint64_t m_unzipSlotStage[1] = {kNoStage};
    uint64_t m_downloadSlotBytes[2] = {0, 0};
    uint64_t m_downloadSlotStage[2] = {kNoStage, kNoStage};
    std::map<uint32_t, uint64_t> m_stageDownloaded;
    std::map<uint32_t, uint64_t> m_stageUnpacked;
    std::map<uint32_t, uint64_t> m_stageTotal;
    std::set<uint32_t> m_installedZips;
    uint32_t m_dwDownloadFailures = 0;
    uint64_t m_qwPackTotalBytes = 0;
    // Set once the pack merge succeeded: the merge then counts as complete whatever its byte count.
    bool m_bPackMerged = false;

    std::atomic<uint64_t> m_dwPackFileCount{0};
    uint32_t m_dwUnzipFailures = 0;
    // The last transfer per slot, and the last size probe, was refused (CKZRetryPolicy).
    std::atomic<bool> m_bLastRefused[3] = {{false}, {false}, {false}};
    std::atomic<bool> m_bLastProbeRefused{false};
    // One kept connection per download slot.
    CKZTransferSession m_transferSessions[2];
    CKZRetryPolicy m_retryPolicy;

    CKZLockedQueue<CKZWebInstallerFile*> m_zipQueue;
    CatalogueMap m_catalogue;
    CKZLockedQueue<CKZWebInstallerFile*> m_downloadQueue;
    CKZLockedQueue<CKZWebInstallerFile*> m_unzipQueue;
    std::mutex m_localFilesMutex;
    std::vector<SKZFileInfo> m_localFiles;
    std::atomic<bool> m_bCatalogueUnchanged{false};
    std::atomic<bool> m_bCatalogueLoaded{false};
    std::atomic<int32_t> m_dwCatalogueVersion{-1};
    std::mutex m_packMutex;
    bool m_bUsePackFiles = false;
    CKZPackFileArchive m_packArchive;
    std::vector<SKZFileInfo> m_packedFiles;
};
