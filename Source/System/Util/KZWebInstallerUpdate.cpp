// The update of an installed client: the comparison step that queues what the checksum workers
// did not find in sync, the downloads of the main and update workers, the unpacking of update zips,
// and the pack merge that ends the run.

#include "System/Util/KZWebInstaller.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Debug/KZLog.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cstdio>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordDownload = {s_szFile, "MainThread", "false", CKZLog::EVENT_ASSERT, 0, __LINE__};
const CKZLog::SEventRecord s_recordPackCount = {s_szFile, "MainThread", "m_dwPackFileCount != 0", CKZLog::EVENT_ASSERT,
                                                0, __LINE__};
const CKZLog::SEventRecord s_recordEmptyData = {s_szFile, "MainThread", "removeFilesSuccess", CKZLog::EVENT_ASSERT, 0,
                                                __LINE__};
const CKZLog::SEventRecord s_recordConsistency = {s_szFile, "MainThread", "bConsistencyCheckOK",
                                                  CKZLog::EVENT_ASSERT, 0, __LINE__};
const unsigned kEmptyQueueWaitMs = 20;
} // namespace

// Once every checksum worker has ended, every entry not found in sync is queued, lower priority
// values first.
void CKZWebInstaller::CompareStep()
{
    if (m_nChecksumThreadsAlive >= 1)
    {
        // Each worker wakes the queue as it ends.
        m_downloadQueue.WaitForPush(kEmptyQueueWaitMs, m_bRunning);
        return;
    }
    std::vector<CKZWebInstallerFile*> vecQueued;
    m_downloadQueue.WithItems([this, &vecQueued](std::deque<CKZWebInstallerFile*>& items) {
        items.clear();
        for (const auto& entry : m_catalogue)
            if (entry.second->m_dwStatus != CKZWebInstallerFile::FILE_STATUS_DONE)
                items.push_back(entry.second);
        std::stable_sort(items.begin(), items.end(), [](const CKZWebInstallerFile* pA, const CKZWebInstallerFile* pB) {
            return pA->m_iPrio < pB->m_iPrio;
        });
        vecQueued.assign(items.begin(), items.end());
    });
    {
        // Counted after the queue's lock is released: no lock is taken inside another here.
        std::lock_guard<std::mutex> lock(m_progressMutex);
        for (const CKZWebInstallerFile* pFile : vecQueued)
        {
            ++m_qwTotalFiles;
            m_qwTotalDownloadBytes += pFile->m_dwCompressedSize;
        }
    }
    GoToState(STATE_UPDATE_DOWNLOAD);
    m_downloadQueue.Wake();
}

void CKZWebInstaller::UpdateStep()
{
    CKZWebInstallerFile* pFile = nullptr;
    if (TakeReadyDownload(pFile, true))
    {
        if (HasFailedTooOften(*pFile))
        {
            printf("Could not install %s after %u tries\n", pFile->m_strName.c_str(), pFile->m_retry.Tries());
            Fail(ERROR_PACK_UPDATE);
        }
        else if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
            FetchDirectEntry(pFile);
        else
            FetchUpdateEntry(pFile, SLOT_MAIN);
        return;
    }
    bool bAllDone;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        bAllDone = m_qwFilesDone == m_qwTotalFiles;
    }
    if (bAllDone && m_downloadQueue.Empty())
    {
        FinishUpdate();
        return;
    }
    // Woken early when an entry comes back for another try or on shutdown.
    m_downloadQueue.WaitForPush(kEmptyQueueWaitMs, m_bRunning);
}

// Takes the first queued entry whose retry time has come. The update worker leaves files fetched
// under their own name, and entries that have failed too often, to the main worker, which takes
// the latter at once to end the run.
bool CKZWebInstaller::TakeReadyDownload(CKZWebInstallerFile*& pFile, bool bMainWorker)
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_downloadQueue.PopFirst(pFile, [now, bMainWorker](const CKZWebInstallerFile* pEntry) {
            if (bMainWorker)
                return pEntry->m_retry.Due(now) || HasFailedTooOften(*pEntry);
            return pEntry->m_retry.Due(now) && !pEntry->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT) &&
                   !HasFailedTooOften(*pEntry);
        }))
        return false;
    pFile->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DOWNLOADING;
    return true;
}

// Fetches Data/<name>.zip and hands it to the unzip worker.
void CKZWebInstaller::FetchUpdateEntry(CKZWebInstallerFile* pFile, unsigned slot)
{
    const std::string strName = m_strCacheName + "/" + pFile->m_strName + ".zip";
    const char* szLocalDir = pFile->m_strLocalDir.empty() ? nullptr : pFile->m_strLocalDir.c_str();
    if (!GetRemoteFileHttp(strName.c_str(), strName.c_str(), slot, szLocalDir, &pFile->m_resumeTime,
                           TransferBound(*pFile)))
    {
        KZ_REPORT_EVENT(s_recordDownload, "%s", "");
        RequeueUpdateEntry(pFile, WasRefused(slot));
        return;
    }
    pFile->m_resumeTime = -1;
    CreditDownload(*pFile, slot);
    m_unzipQueue.PushBack(pFile);
}

// Fetches a file under its own name, unpacking it at once when it is a zip to unpack.
void CKZWebInstaller::FetchDirectEntry(CKZWebInstallerFile* pFile)
{
    const char* szLocalDir = pFile->m_strLocalDir.empty() ? nullptr : pFile->m_strLocalDir.c_str();
    if (!GetRemoteFileHttp(pFile->m_strName.c_str(), pFile->m_strName.c_str(), SLOT_MAIN, szLocalDir,
                           &pFile->m_resumeTime, TransferBound(*pFile)))
    {
        RequeueUpdateEntry(pFile, WasRefused(SLOT_MAIN));
        return;
    }
    pFile->m_resumeTime = -1;
    SetServerTime(*pFile);
    if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT))
        ExtractCustomZip(*pFile);
    pFile->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DONE;
    CreditDownload(*pFile, SLOT_MAIN);
    std::lock_guard<std::mutex> lock(m_progressMutex);
    ++m_qwFilesDone;
}

// The slot's bytes become credited bytes in one step, so progress never dips or doubles.
void CKZWebInstaller::CreditDownload(const CKZWebInstallerFile& file, unsigned slot)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_downloadSlotBytes[slot] = 0;
    m_qwDownloadedBytes += file.m_dwCompressedSize;
}

// An entry that failed goes back to the queue after a pause; the failure counts towards giving up,
// which the main worker does when it next takes the entry.
void CKZWebInstaller::RequeueUpdateEntry(CKZWebInstallerFile* pFile, bool bRefused)
{
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        ++m_dwDownloadFailures;
    }
    ScheduleRetry(*pFile, bRefused);
    m_downloadQueue.PushBack(pFile);
}

// Unpacks Data/<name>.zip into the download directory and hands the file to the pack merge, but
// only when it holds exactly the catalogue's bytes: anything else is a failed download, fetched
// again, and never enters the packs.
void CKZWebInstaller::UnpackUpdateZip(CKZWebInstallerFile* pFile)
{
    const std::string strZip =
        (pFile->m_strLocalDir.empty() ? m_strInstallRoot : pFile->m_strLocalDir) + m_strCacheName + "/" +
        pFile->m_strName + ".zip";
    std::vector<std::string> vecWritten;
    bool bUnpacked = false;
    {
        CKZZipFile zip;
        if (zip.Open(strZip.c_str(), 1, nullptr, 0))
        {
            bUnpacked = zip.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, &vecWritten) != 0;
            bUnpacked = zip.Close() != 0 && bUnpacked;
        }
    }
    CKZFile::RemoveFile(strZip.c_str());
    const std::string strFile = m_strInstallRoot + pFile->m_strFilePath;
    const bool bPlaced = CKZPath::IsInsideRoot(pFile->m_strFilePath) && CKZFile::FileExists(strFile);
    if (bUnpacked && bPlaced && CKZFile::GetChecksum(strFile.c_str()) == pFile->m_dwExportedCrc)
    {
        if (m_bUsePackFiles)
        {
            std::lock_guard<std::mutex> lock(m_packMutex);
            m_packArchive.AddPatchFile(pFile->m_dwZipIndex, CKZPath::FilePath(strFile));
        }
        pFile->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DONE;
        std::lock_guard<std::mutex> lock(m_progressMutex);
        ++m_qwFilesDone;
        return;
    }
    printf("Could not unpack %s, or it does not hold the catalogue's bytes\n", strZip.c_str());
    for (const std::string& strPath : vecWritten)
        CKZFile::RemoveFile(strPath.c_str());
    m_zipQueue.WithItems([this](std::deque<CKZWebInstallerFile*>&) { ++m_dwUnzipFailures; });
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_qwDownloadedBytes -= pFile->m_dwCompressedSize;
    }
    RequeueUpdateEntry(pFile, true);
}

// Every file is in: the packs are rebuilt, checked against the new catalogue, and the catalogue is
// installed.
void CKZWebInstaller::FinishUpdate()
{
    if (!m_bUsePackFiles)
    {
        GoToState(STATE_INSTALLED);
        return;
    }
    if (!MergePackFiles())
        return;
    if (!CKZFile::RemoveDirectoryContents((m_strInstallRoot + m_strCacheName).c_str()))
        KZ_REPORT_EVENT(s_recordEmptyData, "%s", "");
    if (!PacksHoldCatalogue())
    {
        KZ_REPORT_EVENT(s_recordConsistency, "%s", "");
        Fail(ERROR_PACK_UPDATE);
        return;
    }
    GoToState(STATE_INSTALLED);
}

// The installed packs hold as many files as the downloaded catalogue lists (an empty one needs none).
bool CKZWebInstaller::PacksHoldCatalogue()
{
    const std::string strUpdate = m_strInstallRoot + m_strCacheName + ".update";
    const uint32_t dwCatalogueCount = CKZFileTimeCache::GetFileCountFromFilePath(CKZPath::FilePath(strUpdate));
    if (dwCatalogueCount == 0)
        return true;
    CKZPackFileArchive check;
    const bool bHeld = check.OpenPackFile(CKZPath((m_strInstallRoot + "PackFiles").c_str())) &&
                       check.GetTotalPackedFileCount() == dwCatalogueCount;
    check.ClosePackFileArchive();
    if (!bHeld)
        printf("The pack files do not hold the %u files of the catalogue\n", dwCatalogueCount);
    return bHeld;
}

bool CKZWebInstaller::MergePackFiles()
{
    const CKZPath packDir((m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    const unsigned int packCount = static_cast<unsigned int>(m_dwPackFileCount);
    bool bMerged;
    {
        std::lock_guard<std::mutex> lock(m_packMutex);
        if (packCount == 0)
            KZ_REPORT_EVENT(s_recordPackCount, "%s", "");
        // Internal paths are taken below the download directory: the file of a record
        // "Data/levels/a.lvl" is packed as "levels\a.lvl", the path its update zip holds it at.
        bMerged = m_packArchive.DoPatch(packDir, CKZPath((m_strInstallRoot + m_strCacheName).c_str()), packCount);
        if (bMerged)
            m_packArchive.PatchEnd();
        m_packArchive.ClosePackFileArchive();
    }
    if (bMerged)
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_bPackMerged = true;
        return true;
    }
    // Until its commit a rebuild only writes temporaries beside the old packs, so a failure there
    // (a disk full for a moment) keeps the installation whole: the temporaries go, the catalogue and
    // the packs stay, and the next run updates what differs. After the commit the next run
    // completes the renames.
    printf("Could not rebuild the pack files in %s\n", packDir.c_str());
    if (!CKZPackFileArchive::HasCommittedPatch(packDir))
        CKZPackFileArchive::RemoveTemporaryPatchFiles(packDir, packCount);
    CKZFile::RemoveDirectoryContents((m_strInstallRoot + m_strCacheName).c_str());
    Fail(ERROR_PACK_UPDATE);
    return false;
}
