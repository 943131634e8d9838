// The installer's lifecycle: construction, initialisation, the state table and its actions, single
// transfers and shutdown.

#include "System/Util/KZWebInstaller.h"

#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"
#include "Base/Util/KZKillPoint.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZCurlTransferClient.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <strings.h>


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

std::unique_ptr<IKZTransferClient> OrCurl(std::unique_ptr<IKZTransferClient> pClient)
{
    return pClient ? std::move(pClient) : std::unique_ptr<IKZTransferClient>(new CKZCurlTransferClient);
}
} // namespace

CKZWebInstaller::CKZWebInstaller(std::unique_ptr<IKZTransferClient> pClient, const SKZInstallerTiming& timing)
    : m_timing(timing),
      m_retryPolicy(timing.dwRetryDelayMs),
      m_transfers(OrCurl(std::move(pClient)), m_progress, m_retryPolicy, m_workers, m_control),
      m_states(STATE_IDLE, STATE_FAILED, Transitions()),
      m_parts{m_timing,    m_strInstallRoot, m_bUsePackFiles, m_retryPolicy, m_catalogueFiles,
              m_catalogue, m_progress,       m_transfers,     m_workers,     m_states,
              m_control,   m_packs,          m_zipQueue,      m_downloadQueue, m_unzipQueue},
      m_downloads(m_parts),
      m_checksums(m_parts),
      m_unzip(m_parts, m_downloads),
      m_main(m_parts, m_downloads, m_checksums, [this](uint64_t qwRequired) { return CheckDiskSpace(qwRequired); })
{
    SetStateActions();
    m_states.SetErrorFilter([this](int32_t nError) { return m_control.IsCancelled() ? int32_t(ERROR_CANCELLED) : nError; });
    m_progress.SetPackBytesSource([this] { return m_packs.Unguarded().GetPatchBytesDone(); });
    // A cancelled run stops a pack rebuild between two files, before its commit.
    m_packs.With([this](CKZPackFileArchive& archive) { archive.SetCancelCheck([this] { return m_control.IsCancelled(); }); });
}

CKZWebInstaller::~CKZWebInstaller()
{
    WaitForShutDown();
}

// The changes the installer allows, with what must hold before each; any state may fail.
std::vector<CKZInstallerStateMachine::STransition> CKZWebInstaller::Transitions()
{
    return {
        {STATE_IDLE, STATE_NEW_INSTALL_PREPARE, nullptr},
        {STATE_IDLE, STATE_UPDATE_PREPARE, nullptr},
        {STATE_NEW_INSTALL_PREPARE, STATE_NEW_INSTALL_DOWNLOAD, nullptr},
        {STATE_NEW_INSTALL_DOWNLOAD, STATE_INSTALLED, [this] { return InstallFromFullZips(); }},
        {STATE_UPDATE_PREPARE, STATE_UPDATE_COMPARE, nullptr},
        {STATE_UPDATE_COMPARE, STATE_UPDATE_DOWNLOAD, nullptr},
        {STATE_UPDATE_DOWNLOAD, STATE_INSTALLED, [this] { return InstallUpdatedCatalogue(); }},
    };
}

void CKZWebInstaller::SetStateActions()
{
    m_states.SetEntryAction(STATE_NEW_INSTALL_PREPARE, [this] { return EnterNewInstallPrepare(); });
    m_states.SetEntryAction(STATE_UPDATE_PREPARE, [this] { return EnterUpdatePrepare(); });
    m_states.SetEntryAction(STATE_UPDATE_DOWNLOAD, [this] {
        m_checksums.Stop(); // they have all ended
        StartUpdateAndUnzipWorkers();
        return int32_t(ERROR_NONE);
    });
    m_states.SetEntryAction(STATE_FAILED, [this] {
        m_control.Stop();
        m_downloads.Stop();
        m_unzip.Stop();
        m_checksums.Stop();
        return int32_t(ERROR_NONE);
    });
    // A cancelled new install keeps its markers: the next run installs only the zips that have none.
    m_states.SetExitAction(STATE_NEW_INSTALL_DOWNLOAD, [this] {
        if (!m_control.IsCancelled())
            m_catalogueFiles.DeleteInstallMarkers();
    });
    m_states.SetEntryAction(STATE_INSTALLED, [this] {
        RecordAcceptedRelease();
        CKZFile::RemoveFile((m_strInstallRoot + KZInstallLayout::kResumeName).c_str());
        return int32_t(ERROR_NONE);
    });
}

void CKZWebInstaller::ParseServer(const char* szServer)
{
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
    m_transfers.SetServer(m_strScheme, m_strServer);
}

bool CKZWebInstaller::Initialize(const char* szCacheName, const char* szInstallDir, const char* szServer)
{
    ParseServer(szServer);
    m_strInstallRoot = CKZPath::Slashify((std::string(szInstallDir) + "/").c_str()).GetString();
    m_catalogueFiles.SetNames(szCacheName, m_strInstallRoot);
    m_transfers.SetInstallRoot(m_strInstallRoot);
    // Nothing of the installation is touched before the release is trusted.
    if (!m_trustedKeys.empty())
    {
        const int32_t nError = LoadSignedRelease();
        if (nError != ERROR_NONE)
        {
            m_states.Fail(nError);
            return false;
        }
    }
    m_bNewInstall = 0;
    m_bUsePackFiles = true;
    m_checksums.ClearLocalFiles();
    KZFileIO::SetDefaultInterface();
    const std::string strCache = FindLocalCatalogue();
    if (!ClearLeftovers())
        return false;
    if (!m_bNewInstall)
        InitializeUpdate(strCache);
    if (m_bNewInstall && GetState() != STATE_FAILED && !IsResuming())
    {
        m_packs.With([](CKZPackFileArchive& archive) { archive.ClosePackFileArchive(); });
        CKZFile::RemoveDirectoryContents((m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    }
    return true;
}

int32_t CKZWebInstaller::LoadSignedRelease()
{
    const char* const szName = KZInstallLayout::kManifestName;
    std::string strText;
    if (!m_transfers.FetchText(szName, CKZReleaseManifest::kMaxBytes, strText))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not download the signed release %s", RemoteUrl(szName).c_str());
        return m_transfers.ProbeWasAnswered() ? ERROR_NOT_TRUSTED : ERROR_SERVER_UNREACHABLE;
    }
    auto pRelease = std::make_shared<CKZReleaseManifest>();
    std::string strWhy;
    if (pRelease->Check(strText, m_trustedKeys, static_cast<int64_t>(time(nullptr)), AcceptedRelease(), strWhy) !=
        CKZReleaseManifest::VERDICT_TRUSTED)
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "The release %s is not trusted: %s", RemoteUrl(szName).c_str(),
                        strWhy.c_str());
        return ERROR_NOT_TRUSTED;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "Signed release %llu of %zu files, valid until %s",
                    static_cast<unsigned long long>(pRelease->Release()), pRelease->Files().size(),
                    CKZReleaseManifest::FormatTime(pRelease->Expires()).c_str());
    m_pRelease = pRelease;
    m_transfers.SetRelease(pRelease);
    return ERROR_NONE;
}

// The release a run last installed in this folder, 0 when none was signed.
uint64_t CKZWebInstaller::AcceptedRelease() const
{
    std::string strText;
    if (!CKZFile::ReadText(strText, (m_strInstallRoot + KZInstallLayout::kAcceptedReleaseName).c_str()))
        return 0;
    return strtoull(strText.c_str(), nullptr, 10);
}

// Written once the run has installed everything, so that no older release is taken after it.
void CKZWebInstaller::RecordAcceptedRelease() const
{
    if (!m_pRelease || m_pRelease->Release() <= AcceptedRelease())
        return;
    const std::string strText = std::to_string(m_pRelease->Release()) + "\n";
    const std::string strRecord = m_strInstallRoot + KZInstallLayout::kAcceptedReleaseName;
    if (!CKZFile::CreateTextFile((strRecord + ".tmp").c_str(), strText) ||
        !CKZFile::Rename((strRecord + ".tmp").c_str(), strRecord.c_str()))
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not record release %llu in %s",
                        static_cast<unsigned long long>(m_pRelease->Release()), strRecord.c_str());
}

std::string CKZWebInstaller::FindLocalCatalogue()
{
    std::string strCache = m_strInstallRoot + m_catalogueFiles.CacheFileName();
    if (!CKZFile::FileExists(strCache))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "File %s not found", strCache.c_str());
        strCache = m_strInstallRoot + m_catalogueFiles.CacheName() + ".cch";
        if (!CKZFile::FileExists(strCache))
        {
            m_bNewInstall = 1;
            KZOutput::Print(KZOutput::LEVEL_INFO, "Cache file %s not found: new install", strCache.c_str());
        }
    }
    if (CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(strCache.c_str())) == 0xFFFFFFFF)
    {
        m_bNewInstall = 1;
        KZOutput::Print(KZOutput::LEVEL_INFO, "Unknown cache file version extracted from %s, new installation",
                        strCache.c_str());
    }
    return strCache;
}

bool CKZWebInstaller::ClearLeftovers()
{
    const CKZPath packDir((m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    if (CKZPackFileArchive::FinishInterruptedPatch(packDir))
        KZOutput::Print(KZOutput::LEVEL_INFO, "Completed the interrupted pack file update in %s",
                        (m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    CKZPackFileArchive::RemoveTemporaryPatchFiles(packDir, 32);
    // A catalogue whose installation was interrupted before its rename.
    CKZFile::RemoveFile((m_strInstallRoot + m_catalogueFiles.CacheFileName() + ".tmp").c_str());
    // The delta index is read as soon as it arrives; a run that broke off in between leaves it.
    CKZFile::RemoveFile((m_strInstallRoot + KZInstallLayout::kDeltaIndexName).c_str());
    // After a cancelled run the download folder holds what it fetched and unpacked, for this run.
    const std::string strDownloads = m_strInstallRoot + m_catalogueFiles.CacheName();
    if (IsResuming())
        return !CKZFile::FileExists(strDownloads) || CKZFile::DirectoryExists(strDownloads.c_str());
    return EmptyDirectory(strDownloads);
}

// The server's catalogue is fetched now, before any worker exists; a failure leaves the
// installation exactly as it is.
void CKZWebInstaller::InitializeUpdate(const std::string& strCache)
{
    m_catalogueFiles.SetLocalChecksum(CKZFile::GetChecksum(strCache.c_str()));
    RetrieveCacheFile();
    if (GetState() == STATE_FAILED)
        return;
    // Records without pack paths cannot be merged into the packs.
    if (m_catalogueFiles.Version() < 261)
    {
        m_bNewInstall = 1;
        KZOutput::Print(KZOutput::LEVEL_INFO, "Catalogue version %d on the server names no pack paths. New Install!",
                        static_cast<int>(m_catalogueFiles.Version()));
    }
    else
        OpenLocalPackFiles(strCache);
    if (m_bNewInstall)
        return;
    m_packs.With([](CKZPackFileArchive& archive) { archive.PatchBegin(); });
    m_main.SetResuming(IsResuming());
    m_qwRequiredDiskBytes = m_main.UpdateDiskBytes(EntriesOutOfSync());
    CKZFile::CreateDir(m_strInstallRoot.c_str(), true);
    CKZFile::CreateDir((m_strInstallRoot + m_catalogueFiles.CacheName()).c_str(), true);
}

// Opens the installed packs and lists their files and the files on disk for the checksum workers;
// an archive that does not open or does not hold the local catalogue's file count means a new install.
void CKZWebInstaller::OpenLocalPackFiles(const std::string& strCache)
{
    std::vector<SKZFileInfo> vecPacked;
    const CKZPath packDir((m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    const int64_t packedCount = m_packs.With([&](CKZPackFileArchive& archive) -> int64_t {
        if (!archive.OpenPackFile(packDir))
            return -1;
        // Records of 532 bytes each: a game's 20,000 files would otherwise cost the list half again
        // as much while it grows.
        vecPacked.reserve(archive.GetTotalPackedFileCount());
        for (unsigned i = 0; i < archive.GetPackFileCount(); ++i)
            for (unsigned j = 0; j < archive.GetPackedFileCount(i); ++j)
                vecPacked.emplace_back(archive.GetPackedFilePath(i, j), archive.GetPackedFileLength(i, j),
                                       archive.GetPackedFileTime(i, j), 0);
        return archive.GetTotalPackedFileCount();
    });
    if (packedCount < 0)
    {
        m_bNewInstall = 1;
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not open local PackFile. New Install!");
        return;
    }
    // The count comes from the catalogue actually found (Data.ccx or the older Data.cch).
    const uint32_t dwFileCountInLocalCacheFile = CKZFileTimeCache::GetFileCountFromFilePath(CKZPath(strCache.c_str()));
    if (dwFileCountInLocalCacheFile == 0)
        KZ_REPORT_EVENT(s_recordLocalCount, "%s", "");
    std::vector<SKZFileInfo> vecOnDisk;
    CKZFile::CollectDirectoryFiles(m_strInstallRoot.c_str(), vecOnDisk, true, nullptr, true, false);
    m_checksums.SetLocalFiles(std::move(vecOnDisk), std::move(vecPacked));
    if (dwFileCountInLocalCacheFile != packedCount)
    {
        m_bNewInstall = 1;
        KZOutput::Print(KZOutput::LEVEL_INFO, "File count mismatch between local PackFile and local cache file. New Install!");
    }
}

// The catalogue entries whose packed copy, by its directory entry, is not the record's: what the
// comparison will find to fetch, as far as the pack headers tell without reading a file.
std::vector<CKZWebInstallerFile*> CKZWebInstaller::EntriesOutOfSync()
{
    std::vector<CKZWebInstallerFile*> vecOut = m_catalogue.All();
    m_packs.With([&vecOut](CKZPackFileArchive& archive) {
        vecOut.erase(std::remove_if(vecOut.begin(), vecOut.end(),
                                    [&archive](const CKZWebInstallerFile* pFile) {
                                        const SKZPackedFile* pPacked =
                                            archive.GetPackedFileByInternalRelativePath(pFile->m_strName);
                                        return pPacked && pPacked->m_dwLength == pFile->m_dwSize &&
                                               pPacked->m_dwCheckSum == pFile->m_dwExportedCrc &&
                                               KZInstallLayout::MatchPackedPath(pPacked->m_strPath, pFile->m_strFilePath) !=
                                                   KZInstallLayout::PACKED_PATH_DIFFERS;
                                    }),
                     vecOut.end());
    });
    return vecOut;
}

bool CKZWebInstaller::IsResuming() const
{
    return CKZFile::FileExists(m_strInstallRoot + KZInstallLayout::kResumeName);
}

void CKZWebInstaller::Cancel()
{
    m_control.Cancel(); // transfers break off within a second, pauses end
    RequestShutDown();
    if (!m_strInstallRoot.empty())
        CKZFile::CreateEmptyFile((m_strInstallRoot + KZInstallLayout::kResumeName).c_str());
    m_states.Fail(ERROR_CANCELLED);
}

uint64_t CKZWebInstaller::GetFreeDiskBytes() const
{
    uint64_t qwFree = 0;
    return !m_strInstallRoot.empty() && KZFileIO::FreeDiskBytes(m_strInstallRoot.c_str(), qwFree) ? qwFree : 0;
}

int32_t CKZWebInstaller::CheckDiskSpace(uint64_t qwRequired)
{
    m_qwRequiredDiskBytes = qwRequired;
    const uint64_t qwFree = GetFreeDiskBytes();
    if (qwRequired <= qwFree)
        return ERROR_NONE;
    KZOutput::Print(KZOutput::LEVEL_INFO, "Not enough disk space in %s: the run needs %llu bytes, %llu are free",
                    m_strInstallRoot.c_str(), static_cast<unsigned long long>(qwRequired),
                    static_cast<unsigned long long>(qwFree));
    return ERROR_DISK_SPACE;
}

bool CKZWebInstaller::HasRoomToStart()
{
    const int32_t error = CheckDiskSpace(m_qwRequiredDiskBytes);
    if (error == ERROR_NONE)
        return true;
    m_states.Fail(error);
    return false;
}

bool CKZWebInstaller::Install()
{
    return m_main.Start(IsNewInstall());
}

bool CKZWebInstaller::Connect()
{
    return m_transfers.ProbeExchange(m_catalogueFiles.CacheFileName().c_str(), nullptr, nullptr);
}

bool CKZWebInstaller::DownloadFile(const char* szName)
{
    Connect();
    const bool bResult = m_transfers.FetchBoundedExchange(szName, szName, CKZDownloadWorker::kMainSlot);
    m_progress.SetSlotBytes(CKZDownloadWorker::kMainSlot, 0);
    return bResult;
}

bool CKZWebInstaller::GetRemoteFileHttp(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                        const char* szLocalDir, int64_t* pResumeTime, uint64_t qwMaxBytes)
{
    return m_transfers.Fetch(szLocalName, szRemoteName, slot, szLocalDir, pResumeTime, qwMaxBytes);
}

bool CKZWebInstaller::GetRemoteFileInfoHttp(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime)
{
    return m_transfers.Probe(szRemoteName, pSize, pTime);
}

// Custom files are added before Install(); in a new install entering its first state counts them.
void CKZWebInstaller::AddCustomFile(const char* szName, uint64_t qwSize, int bExtract, const char* szLocalDir)
{
    SKZFileTime time;
    if (!GetRemoteFileInfoHttp(szName, &qwSize, &time))
        return;
    std::unique_ptr<CKZWebInstallerFile> pFile = CKZWebInstallerFile::UnderOwnName(szName, time, qwSize);
    if (szLocalDir)
        pFile->m_strLocalDir = szLocalDir;
    if (bExtract)
        pFile->m_dwFlags |= CKZWebInstallerFile::FILE_FLAG_EXTRACT;
    if (m_bNewInstall)
        m_zipQueue.PushBack(m_catalogue.Keep(std::move(pFile)));
    else
        m_catalogue.Put(std::move(pFile));
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

bool CKZWebInstaller::GoToState(unsigned state)
{
    return m_states.GoTo(state);
}

void CKZWebInstaller::RetrieveCacheFile()
{
    const int32_t nError = m_catalogueFiles.Retrieve(m_transfers, m_catalogue);
    if (nError != ERROR_NONE)
        m_states.Fail(nError);
}

bool CKZWebInstaller::FinalizeCacheFile()
{
    return m_catalogueFiles.Finalize();
}

bool CKZWebInstaller::PrepareDataFoldersForDownload()
{
    return m_catalogueFiles.PrepareDataFolders(IsResuming());
}

void CKZWebInstaller::StartUpdateAndUnzipWorkers()
{
    m_downloads.Start();
    m_unzip.Start();
}

int32_t CKZWebInstaller::EnterNewInstallPrepare()
{
    StartUpdateAndUnzipWorkers();
    // Custom files added before the run count into the totals.
    std::deque<CKZWebInstallerFile*> custom;
    m_zipQueue.WithItems([&custom](std::deque<CKZWebInstallerFile*>& items) { custom = items; });
    for (const CKZWebInstallerFile* pFile : custom)
        m_progress.AddFile(pFile->m_dwCompressedSize,
                           pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT) ? pFile->m_dwSize : 0);
    const int32_t nError = m_catalogueFiles.ReadStageInfo(m_transfers, m_progress);
    // A signed release's catalogue must pass its check before any zip is fetched.
    if (nError == CKZCatalogueFiles::kStageInfoUnavailable && m_pRelease)
        return ERROR_CATALOGUE_DOWNLOAD;
    if (nError != ERROR_NONE && nError != CKZCatalogueFiles::kStageInfoUnavailable)
        return nError;
    PrepareDataFoldersForDownload();
    // A version-261 catalogue names every pack; zips beyond its last pack belong to none.
    const uint32_t dwLimit =
        m_catalogueFiles.Version() >= 261 ? static_cast<uint32_t>(m_catalogueFiles.StagePackCount()) : kMaxZipCount;
    return CheckDiskSpace(m_main.EnumerateFullInstallZips(dwLimit, IsResuming()));
}

int32_t CKZWebInstaller::EnterUpdatePrepare()
{
    m_progress.ResetCounters();
    m_checksums.Start();
    const int32_t nError = m_catalogueFiles.Retrieve(m_transfers, m_catalogue);
    if (nError != ERROR_NONE)
        return nError;
    PrepareDataFoldersForDownload();
    m_progress.SetPackTotal(m_catalogue.TotalSize());
    return ERROR_NONE;
}

// A new install is complete only with the server's catalogue read, accepted and installed; one that
// names its packs only over packs that hold its files, or a full-install zip missing from the
// server would pass as a complete install.
int32_t CKZWebInstaller::InstallFromFullZips()
{
    int32_t nError = m_catalogueFiles.Retrieve(m_transfers, m_catalogue);
    if (nError != ERROR_NONE)
        return nError;
    if (m_catalogueFiles.Version() >= 261 && m_bUsePackFiles && !m_main.PacksHoldCatalogue())
        return ERROR_PACK_UPDATE;
    if ((nError = m_catalogueFiles.Install()) != ERROR_NONE)
        return nError;
    KZKillPoint::Reached("catalogue-installed");
    m_progress.ClearStageCatalogue();
    return ERROR_NONE;
}

int32_t CKZWebInstaller::InstallUpdatedCatalogue()
{
    const int32_t nError = m_catalogueFiles.Install();
    if (nError == ERROR_NONE)
        KZKillPoint::Reached("catalogue-installed");
    return nError;
}

bool CKZWebInstaller::GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                  uint64_t* pFilesTotal) const
{
    m_progress.GetProgress(pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
    return GetState() == STATE_INSTALLED;
}

bool CKZWebInstaller::GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                          uint64_t* pFilesTotal) const
{
    m_progress.GetDownloadProgress(pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
    return GetState() == STATE_INSTALLED;
}

void CKZWebInstaller::RequestShutDown()
{
    m_control.Stop();
    m_main.Stop();
    m_downloads.Stop();
    m_unzip.Stop();
    m_checksums.Stop();
    m_workers.RequestStop();
}

bool CKZWebInstaller::IsShutDown() const
{
    return m_workers.Running() == 0;
}

void CKZWebInstaller::WaitForShutDown()
{
    RequestShutDown();
    m_workers.Join();
}
