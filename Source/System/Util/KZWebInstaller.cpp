#include "System/Util/KZWebInstaller.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"

#include "Base/Util/KZString.h"

#include <cstdio>

namespace
{
// The download directory is emptied but kept; a file in its place cannot be emptied.
bool EmptyDirectory(const std::string& strDir)
{
    if (CKZFile::FileExists(strDir) && !CKZFile::DirectoryExists(strDir.c_str()))
        return false;
    return CKZFile::RemoveDirectoryContents(strDir.c_str());
}
}

CKZWebInstaller::~CKZWebInstaller()
{
    WaitForShutDown();
}

bool CKZWebInstaller::Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer)
{
    m_strCacheName = szCacheName;
    m_strCacheFileName = m_strCacheName + ".ccx";
    m_strServer = szServer;
    if (KZStringStartsWith(m_strServer, "http://"))
        m_strServer.erase(0, 7);
    else if (KZStringStartsWith(m_strServer, "https://"))
        m_strServer.erase(0, 8);
    m_strInstallRoot = CKZPath::Slashify((std::string(szInstallDir) + "/").c_str()).GetString();
    KZFileIO::SetDefaultInterface();
    m_bNewInstall = 0;

    std::string strCache = m_strInstallRoot + m_strCacheFileName;
    if (!CKZFile::FileExists(strCache))
    {
        printf("File %s not found\n", strCache.c_str());
        strCache = m_strInstallRoot + m_strCacheName + ".cch";
        if (!CKZFile::FileExists(strCache))
        {
            m_bNewInstall = 1;
            printf("Cache file %s not found: new install\n", strCache.c_str());
        }
    }
    return EmptyDirectory(m_strInstallRoot + m_strCacheName);
}

bool CKZWebInstaller::Install()
{
    if (m_bRunning)
        return true;
    m_bRunning = true;
    // Busy from before the thread exists, so that a destructor running before the worker's first
    // step still waits for it.
    m_bMainThreadBusy = true;
    const bool bCreated = m_mainThread.CreateThread(MainThreadEntry, this, 0, "WebInstallerMainThread");
    if (!bCreated)
        m_bMainThreadBusy = false;
    return bCreated;
}

bool CKZWebInstaller::Connect()
{
    return GetRemoteFileInfoHttp(m_strCacheFileName.c_str(), nullptr, nullptr) ||
           GetRemoteFileInfoHttp(m_strCacheFileName.c_str(), nullptr, nullptr);
}

bool CKZWebInstaller::DownloadFile(const char* szName)
{
    Connect();
    m_bRunning = true;
    const bool bResult = GetRemoteFileHttp(szName, szName, 0, nullptr);
    m_bRunning = false;
    return bResult;
}

bool CKZWebInstaller::GetRemoteFileHttp(const char*, const char* szRemoteName, unsigned, const char*)
{
    // No transfer layer is linked in yet: every download fails as an unreachable server would.
    printf("KZInternet::HttpGetFile failed to download http://%s/%s\n", m_strServer.c_str(), szRemoteName);
    return false;
}

bool CKZWebInstaller::GetRemoteFileInfoHttp(const char*, uint64_t*, SKZFileTime*)
{
    return false;
}

void CKZWebInstaller::Sleep(unsigned milliseconds)
{
    CKZThread::Sleep(milliseconds);
}

unsigned CKZWebInstaller::MainThreadEntry(void* pInstaller)
{
    static_cast<CKZWebInstaller*>(pInstaller)->MainThread();
    return 0;
}

void CKZWebInstaller::MainThread()
{
    m_bMainThreadBusy = true;
    Sleep(500);
    if (m_bRunning && !Connect())
    {
        m_nErrorCode = ERROR_SERVER_UNREACHABLE;
        GoToState(STATE_FAILED);
    }
    // The install steps of the later states are not built yet; the worker idles until shutdown.
    while (m_bRunning)
        Sleep(20);
    m_bMainThreadBusy = false;
}

void CKZWebInstaller::GoToState(unsigned state)
{
    if (state == m_uState || m_uState == STATE_FAILED)
        return;
    m_uState = state;
    if (state == STATE_FAILED)
    {
        m_bUpdateThreadsRun = false;
        m_bUnzipThreadRun = false;
        m_bChecksumThreadsRun = false;
    }
}

void CKZWebInstaller::RequestShutDown()
{
    m_bRunning = false;
    m_bUpdateThreadsRun = false;
    m_bChecksumThreadsRun = false;
    m_bUnzipThreadRun = false;
}

bool CKZWebInstaller::IsShutDown() const
{
    return !m_bMainThreadBusy && m_nUpdateThreadsAlive <= 0 && m_nUnzipThreadsAlive <= 0 &&
           m_nChecksumThreadsAlive <= 0;
}

void CKZWebInstaller::WaitForShutDown()
{
    RequestShutDown();
    while (!IsShutDown())
        Sleep(5);
}

float CKZWebInstaller::GetWeightedProgress()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    const uint64_t D = m_downloadSlotBytes[1] + m_downloadSlotBytes[0] + m_qwDownloadedBytes + m_qwUnpackedBytes;
    const uint64_t F = m_qwTotalUnpackBytes + m_qwTotalDownloadBytes;
    const uint64_t G = 0; // the pack total, once pack merging exists
    const uint64_t P = 0;
    const float f = static_cast<float>(F);
    const float g = static_cast<float>(G);
    float wg = 1.0f;
    float wd = 1.0f;
    if (F != 0 && F < G)
        wg = g / f;
    else if (G != 0 && G < F)
        wd = f / g;
    const float denominator = f / wd + g / wg;
    return denominator > 0.0f ? (static_cast<float>(P) / wg + static_cast<float>(D) / wd) / denominator : 0.0f;
}

bool CKZWebInstaller::GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                  uint64_t* pFilesTotal)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    if (pBytesDone)
        *pBytesDone = m_downloadSlotBytes[1] + m_downloadSlotBytes[0] + m_qwDownloadedBytes + m_qwUnpackedBytes;
    if (pBytesTotal)
        *pBytesTotal = m_qwTotalUnpackBytes + m_qwTotalDownloadBytes;
    if (pFilesDone)
        *pFilesDone = m_qwFilesDone;
    if (pFilesTotal)
        *pFilesTotal = m_qwTotalFiles;
    return m_uState == STATE_INSTALLED;
}

bool CKZWebInstaller::GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                          uint64_t* pFilesTotal)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    if (pBytesDone)
        *pBytesDone = m_downloadSlotBytes[1] + m_downloadSlotBytes[0] + m_qwDownloadedBytes;
    if (pBytesTotal)
        *pBytesTotal = m_qwTotalDownloadBytes;
    if (pFilesDone)
        *pFilesDone = m_qwFilesDone;
    if (pFilesTotal)
        *pFilesTotal = m_qwTotalFiles;
    return m_uState == STATE_INSTALLED;
}
