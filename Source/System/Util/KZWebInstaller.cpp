// The installer's lifecycle: construction, initialisation, the catalogue files on disk, the state
// machine, single transfers and shutdown.

#include "System/Util/KZWebInstaller.h"

#include "Base/Debug/KZLog.h"
#include "Base/Net/KZInternet.h"
#include "Base/Util/KZKillPoint.h"
#include "Base/Util/KZString.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordLocalCount = {s_szFile, "Initialize", "dwFileCountInLocalCacheFile != 0",
                                                 CKZLog::EVENT_ASSERT, 0, __LINE__};

// The download directory is emptied but kept; a file in its place cannot be emptied.
bool EmptyDirectory(const std::string& strDir)
{
    if (CKZFile::FileExists(strDir) && !CKZFile::DirectoryExists(strDir.c_str()))
        return false;
    return CKZFile::RemoveDirectoryContents(strDir.c_str());
}

bool StartsWithNoCase(const std::string& strText, const char* szPrefix)
{
    const size_t length = strlen(szPrefix);
    return strText.size() >= length && strncasecmp(strText.c_str(), szPrefix, length) == 0;
}

// Percent-encodes every byte outside the unreserved set, keeping '/' between segments.
std::string EncodeRemoteName(const char* szName)
{
    static const char s_hex[] = "0123456789ABCDEF";
    std::string strOut;
    for (const char* p = szName; *p; ++p)
    {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/')
            strOut += static_cast<char>(c);
        else
        {
            strOut += '%';
            strOut += s_hex[c >> 4];
            strOut += s_hex[c & 15];
        }
    }
    return strOut;
}

struct SDownloadProgress
{
    std::mutex* pMutex;
    uint64_t* pqwSlot;
    uint64_t* pqwTotal;
};

void FileDownloadCallback(void* pContext, uint64_t qwDone, uint64_t qwTotal)
{
    SDownloadProgress* pProgress = static_cast<SDownloadProgress*>(pContext);
    std::lock_guard<std::mutex> lock(*pProgress->pMutex);
    *pProgress->pqwSlot = qwDone;
    *pProgress->pqwTotal = qwTotal;
}

// Writes a whole file beside its target, flushes it to disk and renames it over the target.
bool ReplaceFileContents(const std::string& strTarget, const void* pData, size_t length)
{
    const std::string strTemp = strTarget + ".tmp";
    FILE* pFile = fopen(strTemp.c_str(), "wb");
    if (!pFile)
        return false;
    bool bOk = fwrite(pData, 1, length, pFile) == length && fflush(pFile) == 0 && fsync(fileno(pFile)) == 0;
    bOk = fclose(pFile) == 0 && bOk;
    KZKillPoint::Reached("catalogue-written");
    if (bOk && rename(strTemp.c_str(), strTarget.c_str()) == 0)
        return true;
    remove(strTemp.c_str());
    return false;
}
} // namespace

void CKZWebInstallerFile::GetDownloadStageZipMap(const std::map<std::string, CKZWebInstallerFile*>& files,
                                                 std::map<int32_t, int32_t>& zipStages)
{
    for (const auto& entry : files)
        zipStages[static_cast<int32_t>(entry.second->m_dwZipIndex)] = static_cast<int32_t>(entry.second->m_dwStage);
    if (zipStages.size() <= 1)
        zipStages.clear();
}

CKZWebInstaller::CKZWebInstaller() = default;

CKZWebInstaller::~CKZWebInstaller()
{
    WaitForShutDown();
    m_zipQueue.Drain([](CKZWebInstallerFile* pFile) { delete pFile; });
    // Full-install zips belong to their queue; update entries to the catalogue.
    m_unzipQueue.Drain([](CKZWebInstallerFile* pFile) {
        if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
            delete pFile;
    });
    m_downloadQueue.Drain([](CKZWebInstallerFile*) {});
    for (auto& entry : m_catalogue)
        delete entry.second;
    for (auto& entry : m_stageCatalogue)
        delete entry.second;
}

bool CKZWebInstaller::Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer)
{
    m_strCacheName = szCacheName;
    m_strCacheFileName = m_strCacheName + ".ccx";
    m_strServer = szServer;
    m_strScheme = "http://";
    if (StartsWithNoCase(m_strServer, "http://"))
        m_strServer.erase(0, 7);
    else if (StartsWithNoCase(m_strServer, "https://"))
    {
        m_strServer.erase(0, 8);
        m_strScheme = "https://";
    }
    while (!m_strServer.empty() && m_strServer.back() == '/')
        m_strServer.pop_back();
    m_strInstallRoot = CKZPath::Slashify((std::string(szInstallDir) + "/").c_str()).GetString();
    m_dwLocalCacheChecksum = 0;
    m_bNewInstall = 0;
    m_bUsePackFiles = true;
    {
        std::lock_guard<std::mutex> lock(m_localFilesMutex);
        m_localFiles.clear();
        m_packedFiles.clear();
    }
    KZFileIO::SetDefaultInterface();

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
    if (CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(strCache.c_str())) == 0xFFFFFFFF)
    {
        m_bNewInstall = 1;
        printf("Unknown cache file version extracted from %s, new installation\n", strCache.c_str());
    }
    const std::string strPackDir = m_strInstallRoot + "PackFiles";
    if (CKZPackFileArchive::FinishInterruptedPatch(CKZPath(strPackDir.c_str())))
        printf("Completed the interrupted pack file update in %s\n", strPackDir.c_str());
    CKZPackFileArchive::RemoveTemporaryPatchFiles(CKZPath(strPackDir.c_str()), 32);
    // A catalogue whose installation was interrupted before its rename.
    CKZFile::RemoveFile((m_strInstallRoot + m_strCacheFileName + ".tmp").c_str());
    if (!EmptyDirectory(m_strInstallRoot + m_strCacheName))
        return false;

    if (!m_bNewInstall)
    {
        m_dwLocalCacheChecksum = CKZFile::GetChecksum(strCache.c_str());
        RetrieveCacheFile();
        // A failed catalogue leaves the installation exactly as it is.
        if (m_uState == STATE_FAILED)
            return true;
        // Records without pack paths cannot be merged into the packs.
        if (m_dwCatalogueVersion < 261)
        {
            m_bNewInstall = 1;
            printf("Catalogue version %d on the server names no pack paths. New Install!\n",
                   static_cast<int>(m_dwCatalogueVersion));
        }
        else
            OpenLocalPackFiles(strCache, strPackDir);
        {
            std::lock_guard<std::mutex> lock(m_localFilesMutex);
            CKZFile::CollectDirectoryFiles(m_strInstallRoot.c_str(), m_localFiles, true, nullptr, true, false);
        }
        if (!m_bNewInstall)
        {
            if (m_bUsePackFiles)
            {
                std::lock_guard<std::mutex> lock(m_packMutex);
                m_packArchive.PatchBegin();
            }
            CKZFile::CreateDir(m_strInstallRoot.c_str(), true);
            CKZFile::CreateDir((m_strInstallRoot + m_strCacheName).c_str(), true);
            return true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_packMutex);
        m_packArchive.ClosePackFileArchive();
    }
    CKZFile::RemoveDirectoryContents(strPackDir.c_str());
    return true;
}

// Opens the installed packs and lists their files for the checksum workers; an archive that does
// not open or does not hold the local catalogue's file count means a new install.
void CKZWebInstaller::OpenLocalPackFiles(const std::string& strCache, const std::string& strPackDir)
{
    if (!m_packArchive.OpenPackFile(CKZPath(strPackDir.c_str())))
    {
        m_bNewInstall = 1;
        printf("Could not open local PackFile. New Install!\n");
        return;
    }
    // The count comes from the catalogue actually found (Data.ccx or the older Data.cch).
    const uint32_t dwFileCountInLocalCacheFile = CKZFileTimeCache::GetFileCountFromFilePath(CKZPath(strCache.c_str()));
    if (dwFileCountInLocalCacheFile == 0)
        KZ_REPORT_EVENT(s_recordLocalCount, "%s", "");
    std::lock_guard<std::mutex> lock(m_localFilesMutex);
    for (unsigned i = 0; i < m_packArchive.GetPackFileCount(); ++i)
        for (unsigned j = 0; j < m_packArchive.GetPackedFileCount(i); ++j)
            m_packedFiles.emplace_back(m_packArchive.GetPackedFilePath(i, j), m_packArchive.GetPackedFileLength(i, j),
                                       m_packArchive.GetPackedFileTime(i, j), 0);
    if (dwFileCountInLocalCacheFile != m_packArchive.GetTotalPackedFileCount())
    {
        m_bNewInstall = 1;
        printf("File count mismatch between local PackFile and local cache file. New Install!\n");
    }
}

bool CKZWebInstaller::Install()
{
    if (m_bRunning)
        return true;
    if (!ArmRunFlag(m_bRunning))
        return false;
    // Busy from before the thread exists, so that a destructor running before the worker's first
    // step still waits for it.
    m_bMainThreadBusy = true;
    m_bStartingMainThread = true;
    const bool bCreated = m_mainThread.CreateThread(MainThreadEntry, this, 0, "WebInstallerMainThread");
    if (!bCreated)
        m_bMainThreadBusy = false;
    m_bStartingMainThread = false;
    return bCreated;
}

bool CKZWebInstaller::Connect()
{
    return ProbeRemoteFile(m_strCacheFileName.c_str(), nullptr, nullptr);
}

// A server that drops a connection now and then must not end a run that one more try would
// finish; a refusal is final.
bool CKZWebInstaller::RetryExchange(const std::function<bool(bool& bRefused)>& attempt)
{
    SKZRetryState tries;
    for (;;)
    {
        bool bRefused = false;
        if (attempt(bRefused))
            return true;
        tries.CountFailure(bRefused, m_retryPolicy);
        if (tries.Exhausted(CKZRetryPolicy::kExchange) || m_bShutDownRequested)
            return false;
        Sleep(tries.dwDelayMs);
    }
}

bool CKZWebInstaller::ProbeRemoteFile(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime)
{
    return RetryExchange([&](bool& bRefused) {
        if (GetRemoteFileInfoHttp(szRemoteName, pSize, pTime))
            return true;
        bRefused = m_bLastProbeRefused;
        return false;
    });
}

// The server gives the file's size first, so that no answer can fill the disk beyond it.
bool CKZWebInstaller::FetchBoundedFile(const char* szLocalName, const char* szRemoteName, unsigned slot)
{
    return RetryExchange([&](bool& bRefused) {
        uint64_t qwSize = 0;
        if (!GetRemoteFileInfoHttp(szRemoteName, &qwSize, nullptr))
        {
            bRefused = m_bLastProbeRefused;
            return false;
        }
        if (GetRemoteFileHttp(szLocalName, szRemoteName, slot, nullptr, nullptr, qwSize))
            return true;
        bRefused = m_bLastRefused[std::min(slot, SLOT_UNCOUNTED)];
        return false;
    });
}

bool CKZWebInstaller::DownloadFile(const char* szName)
{
    Connect();
    m_bRunning = true;
    const bool bResult = FetchBoundedFile(szName, szName, SLOT_MAIN);
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_downloadSlotBytes[SLOT_MAIN] = 0;
    }
    m_bRunning = false;
    return bResult;
}

std::string CKZWebInstaller::RemoteUrl(const char* szRemoteName) const
{
    return m_strScheme + m_strServer + "/" + EncodeRemoteName(szRemoteName);
}

bool CKZWebInstaller::GetRemoteFileHttp(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                        const char* szLocalDir, int64_t* pResumeTime, uint64_t qwMaxBytes)
{
    const bool bCounted = slot < SLOT_UNCOUNTED;
    uint64_t qwUncounted = 0;
    uint64_t* pqwSlot = bCounted ? &m_downloadSlotBytes[slot] : &qwUncounted;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        *pqwSlot = 0;
    }
    const std::string strUrl = RemoteUrl(szRemoteName);
    const std::string strLocal =
        (szLocalDir && *szLocalDir ? std::string(szLocalDir) : m_strInstallRoot) + szLocalName;
    uint64_t qwTotal = 0;
    SDownloadProgress context = {&m_progressMutex, pqwSlot, &qwTotal};
    KZInternet::SKZDownloadRequest request;
    request.szUrl = strUrl.c_str();
    request.szLocalPath = strLocal.c_str();
    request.pUser = &context;
    request.pCallback = FileDownloadCallback;
    request.pSession = bCounted ? &m_transferSessions[slot] : nullptr;
    request.resumeTime = pResumeTime ? *pResumeTime : -1;
    request.qwMaxBytes = qwMaxBytes;
    KZInternet::SKZTransferResult result;
    const bool bResult = KZInternet::HttpGetFile(request, result);
    if (pResumeTime)
        *pResumeTime = result.resumeTime;
    m_bLastRefused[std::min(slot, SLOT_UNCOUNTED)] = result.Refused();
    if (result.bWriteFailed)
        printf("Could not write %s (disk full or not writable)\n", strLocal.c_str());
    if (result.bTooLarge)
        printf("%s sent more than the %llu bytes it may hold\n", strUrl.c_str(),
               static_cast<unsigned long long>(qwMaxBytes));
    if (bResult)
    {
        KZKillPoint::Reached("download-done");
        return true; // the caller turns the slot's bytes into credited bytes
    }
    {
        // A failed transfer takes back what it had shown.
        std::lock_guard<std::mutex> lock(m_progressMutex);
        *pqwSlot = 0;
    }
    printf("KZInternet::HttpGetFile failed to download %s\n", strUrl.c_str());
    return false;
}

bool CKZWebInstaller::GetRemoteFileInfoHttp(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime)
{
    uint64_t qwSize = 0, qwTime = 0;
    KZInternet::SKZTransferResult result;
    const bool bAnswered = KZInternet::HttpRequestInfoChecked(RemoteUrl(szRemoteName).c_str(), &qwSize, &qwTime,
                                                              &result, &m_transferSessions[SLOT_MAIN]);
    // Only a server error or no answer at all may go away on another try; any other answer that
    // gives no size and time is final.
    m_bLastProbeRefused = result.bNotTrusted || (result.httpStatus != 0 && result.httpStatus < 500);
    if (!bAnswered)
        return false;
    if (pSize)
        *pSize = qwSize;
    // Converted, so that an install marker carries the server's time.
    if (pTime)
        UnixTimeToFileTime(static_cast<int64_t>(qwTime), pTime);
    return true;
}

void CKZWebInstaller::Sleep(unsigned milliseconds)
{
    CKZThread::Sleep(milliseconds);
}

int CKZWebInstaller::CompareFileTime(const SKZFileTime* pA, const SKZFileTime* pB)
{
    int64_t a = 0, b = 0;
    FileTimeToUnixTime(&a, pA);
    FileTimeToUnixTime(&b, pB);
    const float difference = static_cast<float>(a - b);
    const int truncated = static_cast<int>(difference);
    if (truncated >= -2 && truncated <= 2)
        return 0;
    return difference < -1.0f ? -1 : 1;
}

int32_t CKZWebInstaller::ReadCatalogue(const std::string& strPath, CatalogueMap& catalogue, int32_t* pVersion,
                                       uint64_t* pPackCount)
{
    const uint32_t dwVersion = CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(strPath.c_str()));
    if (pVersion)
        *pVersion = static_cast<int32_t>(dwVersion);
    // A catalogue older than 258 is refused before it is read.
    if (dwVersion <= 257)
        return ERROR_CATALOGUE_VERSION;
    // A name is one file name (it keys the catalogue and names the update zip); a path stays
    // inside the install root and below "Data/".
    CKZFileTimeCache cache;
    if (!cache.Initialize(strPath.c_str(), nullptr, nullptr))
        return ERROR_CATALOGUE_OPEN;
    uint64_t qwPackCount = 0;
    for (const auto& entry : cache.GetRawData())
    {
        const CKZFileDetails& details = *entry.second;
        // An index this large would wrap the pack count; a path outside "Data/" is not one of ours.
        if (details.m_dwZipIndex >= kMaxZipIndex)
            return ERROR_CATALOGUE_OPEN;
        if (!CKZPath::IsInsideRoot(details.m_strName) || details.m_strName.find_first_of("/\\") != std::string::npos)
            return ERROR_CATALOGUE_OPEN;
        if (!details.m_strFilePath.empty() &&
            (!KZStringStartsWith(details.m_strFilePath, "Data/") || !CKZPath::IsInsideRoot(details.m_strFilePath)))
            return ERROR_CATALOGUE_OPEN;
        qwPackCount = std::max<uint64_t>(qwPackCount, details.m_dwZipIndex + 1ULL);
    }
    for (const auto& entry : cache.GetRawData())
    {
        std::unique_ptr<CKZWebInstallerFile> pFile(new CKZWebInstallerFile(*entry.second));
        pFile->m_dwUserData = 0;
        CKZWebInstallerFile*& pSlot = catalogue[pFile->m_strName];
        delete pSlot;
        pSlot = pFile.release();
    }
    if (pPackCount)
        *pPackCount = qwPackCount;
    return ERROR_NONE;
}

void CKZWebInstaller::RetrieveCacheFile()
{
    if (m_bCatalogueLoaded)
        return;
    const std::string strLocalName = m_strCacheName + ".update";
    if (!FetchBoundedFile(strLocalName.c_str(), m_strCacheFileName.c_str(), SLOT_UNCOUNTED))
    {
        m_nErrorCode = ERROR_CATALOGUE_DOWNLOAD;
        GoToState(STATE_FAILED);
        return;
    }
    const std::string strPath = m_strInstallRoot + strLocalName;
    CatalogueMap catalogue;
    int32_t dwVersion = -1;
    uint64_t qwPackCount = 0;
    const int32_t nError = ReadCatalogue(strPath, catalogue, &dwVersion, &qwPackCount);
    if (nError != ERROR_NONE)
    {
        for (auto& entry : catalogue)
            delete entry.second;
        m_nErrorCode = nError;
        GoToState(STATE_FAILED);
        return;
    }
    m_bCatalogueUnchanged = CKZFile::GetChecksum(strPath.c_str()) == m_dwLocalCacheChecksum;
    {
        std::lock_guard<std::mutex> lock(m_downloadQueue.Mutex());
        for (auto& entry : catalogue)
        {
            CKZWebInstallerFile*& pSlot = m_catalogue[entry.first];
            delete pSlot;
            pSlot = entry.second;
        }
    }
    m_dwPackFileCount = qwPackCount;
    m_dwCatalogueVersion = dwVersion;
    m_bCatalogueLoaded = true;
}

bool CKZWebInstaller::FinalizeCacheFile()
{
    if (!m_bCatalogueLoaded || m_bCatalogueUnchanged)
        return true;
    CKZFile update;
    if (!update.OpenInMemory((m_strInstallRoot + m_strCacheName + ".update").c_str()))
        return false;
    return ReplaceFileContents(m_strInstallRoot + m_strCacheFileName, update.GetFileStartPtr(),
                               static_cast<size_t>(update.GetLength()));
}

// FinalizeCacheFile, with a failure failing the run.
bool CKZWebInstaller::InstallCatalogue()
{
    if (FinalizeCacheFile())
        return true;
    printf("Could not install the catalogue %s\n", (m_strInstallRoot + m_strCacheFileName).c_str());
    Fail(ERROR_PACK_UPDATE);
    return false;
}

bool CKZWebInstaller::PrepareDataFoldersForDownload()
{
    const int32_t dwVersion = m_dwCatalogueVersion;
    if (dwVersion == -1)
        return false;
    if (dwVersion < 261)
        CKZFile::RemoveDirectoryContents((m_strInstallRoot + "PackFiles").c_str());
    else
        CKZFile::RemoveDirectoryContents((m_strInstallRoot + m_strCacheName).c_str());
    return true;
}

std::string CKZWebInstaller::MarkerPath(uint32_t dwZip) const
{
    return m_strInstallRoot + m_strCacheName + std::to_string(dwZip) + ".install";
}

void CKZWebInstaller::DeleteInstallMarkers()
{
    for (uint32_t i = 0; CKZFile::RemoveFile(MarkerPath(i).c_str()); ++i)
    {
    }
}

void CKZWebInstaller::ZeroProgressCounters()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_dwCurrentFileUnzipProgressSize[0] = 0;
    m_downloadSlotBytes[0] = m_downloadSlotBytes[1] = 0;
    m_qwTotalFiles = m_qwTotalDownloadBytes = m_qwFilesDone = 0;
    m_qwDownloadedBytes = m_qwTotalUnpackBytes = m_qwUnpackedBytes = 0;
}

void CKZWebInstaller::Fail(int32_t nErrorCode)
{
    m_nErrorCode = nErrorCode;
    GoToState(STATE_FAILED);
}

void CKZWebInstaller::GoToState(unsigned state)
{
    const uint32_t current = m_uState;
    if (state == current || current == STATE_FAILED)
        return;
    if (current == STATE_UPDATE_DOWNLOAD && state == STATE_INSTALLED)
    {
        if (InstallCatalogue())
        {
            KZKillPoint::Reached("catalogue-installed");
            m_uState = STATE_INSTALLED;
        }
        return;
    }
    if (current == STATE_NEW_INSTALL_DOWNLOAD)
    {
        DeleteInstallMarkers();
        if (state == STATE_INSTALLED)
        {
            // The run is complete only with the server's catalogue read, accepted and installed.
            RetrieveCacheFile();
            if (m_uState == STATE_FAILED)
                return;
            // A catalogue that names its packs is installed only over packs that hold its files: a
            // full-install zip missing from the server would otherwise pass as a complete install.
            if (m_dwCatalogueVersion >= 261 && m_bUsePackFiles && !PacksHoldCatalogue())
            {
                Fail(ERROR_PACK_UPDATE);
                return;
            }
            if (!InstallCatalogue())
                return;
            KZKillPoint::Reached("catalogue-installed");
            ClearDownloadStageInfo();
            m_uState = STATE_INSTALLED;
            return;
        }
    }
    m_uState = state;
    switch (state)
    {
    case STATE_NEW_INSTALL_PREPARE:
        EnterNewInstallPrepare();
        break;
    case STATE_UPDATE_PREPARE:
        EnterUpdatePrepare();
        break;
    case STATE_UPDATE_DOWNLOAD:
        // The checksum workers have all ended; their thread blocks go.
        m_bChecksumThreadsRun = false;
        for (CKZThread& thread : m_checksumThreads)
            thread.DeleteThread();
        StartUpdateAndUnzipWorkers();
        break;
    case STATE_FAILED:
        m_bUpdateThreadsRun = false;
        m_bUnzipThreadRun = false;
        m_bChecksumThreadsRun = false;
        WakeAll();
        break;
    default:
        break;
    }
}

void CKZWebInstaller::EnterNewInstallPrepare()
{
    StartUpdateAndUnzipWorkers();
    // Custom files added before the run count into the totals.
    m_zipQueue.WithItems([this](std::deque<CKZWebInstallerFile*>& items) {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        for (const CKZWebInstallerFile* pFile : items)
        {
            ++m_qwTotalFiles;
            m_qwTotalDownloadBytes += pFile->m_dwCompressedSize;
            if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT))
                m_qwTotalUnpackBytes += pFile->m_dwSize;
        }
    });
    DownloadDownloadStageInfo();
    if (m_uState == STATE_FAILED)
        return;
    uint64_t qwStagePackCount = 0;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        for (const auto& entry : m_stageCatalogue)
            qwStagePackCount = std::max<uint64_t>(qwStagePackCount, entry.second->m_dwZipIndex + 1ULL);
    }
    PrepareDataFoldersForDownload();
    // A version-261 catalogue names every pack; zips beyond its last pack belong to none.
    EnumerateFullInstallZips(m_dwCatalogueVersion >= 261 ? static_cast<uint32_t>(qwStagePackCount) : kMaxZipCount);
    GoToState(STATE_NEW_INSTALL_DOWNLOAD);
}

void CKZWebInstaller::EnterUpdatePrepare()
{
    ZeroProgressCounters();
    StartChecksumWorkers();
    RetrieveCacheFile();
    if (m_uState == STATE_FAILED)
        return;
    PrepareDataFoldersForDownload();
    uint64_t qwTotal = 0;
    {
        std::lock_guard<std::mutex> lock(m_downloadQueue.Mutex());
        for (const auto& entry : m_catalogue)
            qwTotal += entry.second->m_dwSize;
    }
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_qwPackTotalBytes = qwTotal;
        m_bPackMerged = false;
    }
    GoToState(STATE_UPDATE_COMPARE);
}

void CKZWebInstaller::WakeAll()
{
    m_zipQueue.Wake();
    m_downloadQueue.Wake();
    m_unzipQueue.Wake();
}

void CKZWebInstaller::RequestShutDown()
{
    m_bShutDownRequested = true;
    m_bRunning = false;
    m_bUpdateThreadsRun = false;
    m_bChecksumThreadsRun = false;
    m_bUnzipThreadRun = false;
    WakeAll();
}

bool CKZWebInstaller::IsShutDown() const
{
    return !m_bMainThreadBusy && !m_bStartingMainThread && m_nUpdateThreadsAlive <= 0 && m_nUnzipThreadsAlive <= 0 &&
           m_nChecksumThreadsAlive <= 0;
}

void CKZWebInstaller::WaitForShutDown()
{
    RequestShutDown();
    while (!IsShutDown())
        CKZThread::Sleep(5);
}
