#pragma once
// The web installer: brings one client installation up to date from a web server. This is its
// outward face towards the patch interface: states, error codes, initialisation, the main worker,
// single downloads and progress.

#include "Base/Util/KZThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct SKZFileTime;

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

    CKZWebInstaller() = default;
    CKZWebInstaller(const CKZWebInstaller&) = delete;
    CKZWebInstaller& operator=(const CKZWebInstaller&) = delete;
    // Stops every worker and waits until all have ended.
    virtual ~CKZWebInstaller();

    bool Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer);
    bool Install();
    bool DownloadFile(const char* szName);
    bool Connect();
    static bool Disconnect() { return true; }

    // One download from the server into the install root (or localDir), in transfer slot 0 or 1.
    virtual bool GetRemoteFileHttp(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                   const char* szLocalDir);
    // Size and time of one file on the server; false when the server reports either not.
    virtual bool GetRemoteFileInfoHttp(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);
    virtual void Sleep(unsigned milliseconds);
    virtual bool ValidExtraction(bool bExtracted) { return bExtracted; }

    void GoToState(unsigned state);
    void RequestShutDown();
    bool IsShutDown() const;
    void WaitForShutDown();
    bool IsInstallReady() const { return m_uState == STATE_INSTALLED; }

    uint32_t GetState() const { return m_uState; }
    int32_t GetErrorCode() const { return m_nErrorCode; }
    bool IsNewInstall() const { return m_bNewInstall != 0; }
    const std::string& GetInstallRoot() const { return m_strInstallRoot; }
    const std::string& GetServer() const { return m_strServer; }

    float GetWeightedProgress();
    bool GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone, uint64_t* pFilesTotal);
    bool GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                             uint64_t* pFilesTotal);

private:
    static unsigned MainThreadEntry(void* pInstaller);
    void MainThread();

    std::atomic<int32_t> m_bNewInstall{1};
    std::atomic<uint32_t> m_uState{STATE_IDLE};
    std::atomic<int32_t> m_nErrorCode{ERROR_NONE};
    CKZThread m_mainThread;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bMainThreadBusy{false};
    std::atomic<bool> m_bUpdateThreadsRun{false};
    std::atomic<int32_t> m_nUpdateThreadsAlive{0};
    std::atomic<bool> m_bUnzipThreadRun{false};
    std::atomic<int32_t> m_nUnzipThreadsAlive{0};
    std::atomic<bool> m_bChecksumThreadsRun{false};
    std::atomic<int32_t> m_nChecksumThreadsAlive{0};
    std::string m_strCacheName;
    std::string m_strCacheFileName;
    std::string m_strInstallRoot;
    std::string m_strServer;

    uint64_t m_qwTotalFiles = 0;
    uint64_t m_qwTotalDownloadBytes = 0;
    uint64_t m_qwFilesDone = 0;
    uint64_t m_qwDownloadedBytes = 0;
    uint64_t m_qwTotalUnpackBytes = 0;
    uint64_t m_qwUnpackedBytes = 0;
    std::mutex m_progressMutex;
    uint64_t m_downloadSlotBytes[2] = {0, 0};
};
