#include "System/Util/KZMainWorker.h"

#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"
#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/Util/KZChecksumWorker.h"
#include "System/Util/KZDownloadWorker.h"
#include "System/Util/KZFileTimeCache.h"
#include "System/Util/KZWebInstaller.h"

#include <algorithm>
#include <chrono>
#include <set>


namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordPackCount = {s_szFile, "MainThread", "m_dwPackFileCount != 0", CKZLog::EVENT_ASSERT,
                                                0, __LINE__};
const CKZLog::SEventRecord s_recordEmptyData = {s_szFile, "MainThread", "removeFilesSuccess", CKZLog::EVENT_ASSERT, 0,
                                                __LINE__};
const CKZLog::SEventRecord s_recordConsistency = {s_szFile, "MainThread", "bConsistencyCheckOK",
                                                  CKZLog::EVENT_ASSERT, 0, __LINE__};
} // namespace

bool CKZMainWorker::Start(bool bNewInstall)
{
    if (m_bRun.exchange(true))
        return true;
    if (m_parts.workers.Start(CKZWorkerGroup::KIND_MAIN, "WebInstallerMainThread", [this, bNewInstall] { Run(bNewInstall); }))
        return true;
    m_bRun = false;
    return false;
}

void CKZMainWorker::Stop()
{
    m_bRun = false;
    m_parts.zipQueue.Wake();
    m_parts.downloadQueue.Wake();
    m_parts.unzipQueue.Wake();
}

void CKZMainWorker::Run(bool bNewInstall)
{
    if (!m_parts.workers.Pause(m_parts.timing.dwStartPauseMs) || !m_bRun)
        return;
    if (!m_parts.transfers.ProbeExchange(m_parts.catalogueFiles.CacheFileName().c_str(), nullptr, nullptr))
    {
        m_parts.states.Fail(CKZWebInstaller::ERROR_SERVER_UNREACHABLE);
        return;
    }
    if (bNewInstall ? m_parts.states.GoTo(CKZWebInstaller::STATE_NEW_INSTALL_PREPARE) : m_parts.states.GoTo(CKZWebInstaller::STATE_UPDATE_PREPARE))
        m_parts.states.GoTo(bNewInstall ? CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD : CKZWebInstaller::STATE_UPDATE_COMPARE);
    while (m_bRun)
    {
        const uint32_t state = m_parts.states.State();
        if (state == CKZWebInstaller::STATE_NEW_INSTALL_DOWNLOAD)
            NewInstallStep();
        else if (state == CKZWebInstaller::STATE_UPDATE_COMPARE)
            CompareStep();
        else if (state == CKZWebInstaller::STATE_UPDATE_DOWNLOAD)
            UpdateStep();
        else
            // Installed or failed: idle until shut down, without spinning.
            m_parts.zipQueue.WaitForPush(m_parts.timing.dwIdleWaitMs, m_bRun);
    }
}

uint64_t CKZMainWorker::EnumerateFullInstallZips(uint32_t dwLimit, bool bResuming)
{
    uint64_t qwUnpacked = 0, qwLargest = 0;
    for (uint32_t j = 0; j < dwLimit && !m_parts.workers.StopRequested(); ++j)
    {
        const std::string strName = KZInstallLayout::FullInstallZipName(j);
        uint64_t qwSize = 0;
        SKZFileTime time;
        if (!m_parts.transfers.ProbeExchange(strName.c_str(), &qwSize, &time))
            break;
        std::unique_ptr<CKZWebInstallerFile> pFile = CKZWebInstallerFile::UnderOwnName(strName, time, qwSize);
        pFile->m_dwZipIndex = j;
        pFile->m_dwFlags |= CKZWebInstallerFile::FILE_FLAG_EXTRACT | CKZWebInstallerFile::FILE_FLAG_FULL_ZIP;
        pFile->m_dwStage = m_parts.progress.StageOfZip(j);
        m_parts.progress.AddFullInstallZip(j, pFile->m_dwStage, pFile->m_dwSize);
        if (bResuming && m_parts.catalogueFiles.HasInstallMarker(*pFile))
        {
            m_parts.progress.FullInstallZipFound(*m_parts.catalogue.Keep(std::move(pFile)));
            continue;
        }
        qwUnpacked += m_parts.progress.StageBytesOfZip(j, qwSize);
        qwLargest = std::max(qwLargest, qwSize);
        m_parts.zipQueue.PushBack(m_parts.catalogue.Keep(std::move(pFile)));
    }
    // One zip being unpacked and the next one downloaded beside what is unpacked already.
    return qwUnpacked + 2 * qwLargest;
}

// Takes the first zip queue entry whose retry time has come.
bool CKZMainWorker::TakeReadyZip(CKZWebInstallerFile*& pFile)
{
    const auto now = std::chrono::steady_clock::now();
    return m_parts.zipQueue.PopFirst(pFile, [now](const CKZWebInstallerFile* pEntry) { return pEntry->m_retry.Due(now); });
}

bool CKZMainWorker::GiveUpOn(const CKZWebInstallerFile& file)
{
    if (!CKZDownloadWorker::HasFailedTooOften(file))
        return false;
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not install %s after %u tries", file.m_strName.c_str(),
                    file.m_retry.Tries());
    m_parts.states.Fail(CKZWebInstaller::ERROR_PACK_UPDATE);
    return true;
}

void CKZMainWorker::NewInstallStep()
{
    CKZWebInstallerFile* pFile = nullptr;
    if (TakeReadyZip(pFile))
    {
        if (!GiveUpOn(*pFile))
            FetchFullInstallZip(pFile);
        return;
    }
    if (m_parts.zipQueue.Empty() && m_parts.progress.AllFilesDone())
    {
        m_parts.states.GoTo(CKZWebInstaller::STATE_INSTALLED);
        return;
    }
    // Woken early when a refused zip comes back or on shutdown.
    m_parts.zipQueue.WaitForPush(m_parts.timing.dwEmptyQueueWaitMs, m_bRun);
}

void CKZMainWorker::FetchFullInstallZip(CKZWebInstallerFile* pFile)
{
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DOWNLOADING);
    m_parts.progress.SetSlotStage(CKZDownloadWorker::kMainSlot, pFile->m_dwStage);
    const char* szLocalDir = pFile->m_strLocalDir.empty() ? nullptr : pFile->m_strLocalDir.c_str();
    if (!m_parts.transfers.Fetch(pFile->m_strName.c_str(), pFile->m_strName.c_str(), CKZDownloadWorker::kMainSlot,
                                 szLocalDir, &pFile->m_resumeTime, pFile->TransferBound()))
    {
        OnTransferFailed(pFile);
        return;
    }
    pFile->m_retry.Succeeded();
    pFile->m_resumeTime = -1;
    m_parts.progress.CreditDownload(CKZDownloadWorker::kMainSlot, *pFile);
    if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
    {
        // Few zips wait on disk: while the unzip worker is behind, the downloads wait for it.
        if (m_parts.unzipQueue.PushBack(pFile) > 0)
            m_parts.unzipQueue.WaitUntilEmpty(m_parts.timing.dwUnzipBehindWaitMs, m_bRun);
        return;
    }
    CKZDownloadWorker::FinishDirectFile(*pFile, m_parts.strInstallRoot);
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DONE);
    m_parts.progress.FileDone(pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT) ? pFile->m_dwSize : 0);
}

void CKZMainWorker::OnTransferFailed(CKZWebInstallerFile* pFile)
{
    m_parts.progress.SetSlotStage(CKZDownloadWorker::kMainSlot, CKZWebInstallerFile::kNoStage);
    m_downloads.CountFailure(*pFile, m_parts.transfers.WasRefused(CKZDownloadWorker::kMainSlot));
    if (!GiveUpOn(*pFile))
        m_parts.zipQueue.PushBack(pFile);
}

// Once every checksum worker has ended, every entry not found in sync is queued, lower priority
// values first.
void CKZMainWorker::CompareStep()
{
    if (m_checksums.IsRunning())
    {
        // Each checksum worker wakes the download queue as it ends.
        m_parts.downloadQueue.WaitForPush(m_parts.timing.dwEmptyQueueWaitMs, m_bRun);
        return;
    }
    std::vector<CKZWebInstallerFile*> vecQueued = m_parts.catalogue.Pending();
    if (m_bResuming)
        vecQueued.erase(std::remove_if(vecQueued.begin(), vecQueued.end(),
                                       [this](CKZWebInstallerFile* pFile) { return MergeFoundFile(pFile); }),
                        vecQueued.end());
    PlanDeltas(vecQueued);
    if (m_checkDiskSpace(UpdateDiskBytes(vecQueued)) != CKZWebInstaller::ERROR_NONE)
    {
        m_parts.states.Fail(CKZWebInstaller::ERROR_DISK_SPACE);
        return;
    }
    m_parts.downloadQueue.WithItems([&vecQueued](std::deque<CKZWebInstallerFile*>& items) {
        items.assign(vecQueued.begin(), vecQueued.end());
    });
    for (const CKZWebInstallerFile* pFile : vecQueued)
        m_parts.progress.AddFile(pFile->DownloadBytes(), 0);
    m_parts.states.GoTo(CKZWebInstaller::STATE_UPDATE_DOWNLOAD);
    m_parts.downloadQueue.Wake();
}

// A changed file whose packed copy is the base of a delta in the server's index fetches that delta
// instead of its update zip. The index is fetched once, and only when some packed copy could use it.
void CKZMainWorker::PlanDeltas(const std::vector<CKZWebInstallerFile*>& vecQueued)
{
    if (!m_parts.bUsePackFiles)
        return;
    struct SBase
    {
        CKZWebInstallerFile* pFile;
        uint32_t dwSize;
        uint32_t dwCrc;
    };
    std::vector<SBase> vecBases;
    m_parts.packs.With([&](CKZPackFileArchive& archive) {
        for (CKZWebInstallerFile* pFile : vecQueued)
            if (!pFile->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
                if (const SKZPackedFile* pPacked = archive.GetPackedFileByInternalRelativePath(pFile->m_strName))
                    vecBases.push_back({pFile, pPacked->m_dwLength, pPacked->m_dwCheckSum});
    });
    CKZDeltaIndex index;
    if (vecBases.empty() || !LoadDeltaIndex(index))
        return;
    size_t planned = 0;
    for (const SBase& base : vecBases)
    {
        const CKZWebInstallerFile& file = *base.pFile;
        const SKZDelta* pDelta = index.Find(file.m_strName, base.dwSize, base.dwCrc);
        // A delta must give the record's bytes and cost less than the zip.
        if (!pDelta || pDelta->dwTargetSize != file.m_dwSize || pDelta->dwTargetCrc != file.m_dwExportedCrc ||
            pDelta->qwDeltaSize >= file.m_dwCompressedSize || !m_parts.transfers.MayFetch(pDelta->ServerPath().c_str()))
            continue;
        base.pFile->m_pDelta = std::make_shared<const SKZDelta>(*pDelta);
        ++planned;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "%zu of the %zu files to fetch come as deltas", planned, vecQueued.size());
}

bool CKZMainWorker::LoadDeltaIndex(CKZDeltaIndex& index)
{
    const char* const szName = KZInstallLayout::kDeltaIndexName;
    // A signed release without an index has no deltas to offer.
    if (!m_parts.transfers.MayFetch(szName))
        return false;
    std::string strText, strWhy;
    if (!m_parts.transfers.FetchText(szName, CKZDeltaIndex::kMaxBytes, strText))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "No delta index on the server: changed files come whole");
        return false;
    }
    if (!index.Parse(strText, strWhy))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "The delta index is refused (%s): changed files come whole", strWhy.c_str());
        return false;
    }
    return true;
}

bool CKZMainWorker::MergeFoundFile(CKZWebInstallerFile* pFile)
{
    const std::string strFile = m_parts.strInstallRoot + pFile->m_strFilePath;
    uint32_t dwSize = 0;
    if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT) || !CKZPath::IsInsideRoot(pFile->m_strFilePath) ||
        !CKZFile::FileExists(strFile, nullptr, &dwSize) || dwSize != pFile->m_dwSize ||
        CKZFile::GetChecksum(strFile.c_str()) != pFile->m_dwExportedCrc)
        return false;
    if (m_parts.bUsePackFiles)
    {
        const CKZPath path = CKZPath::FilePath(strFile);
        m_parts.packs.With([&](CKZPackFileArchive& archive) { archive.AddPatchFile(pFile->m_dwZipIndex, path); });
    }
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DONE);
    m_parts.progress.AddFile(0, 0);
    m_parts.progress.FileDone();
    return true;
}

uint64_t CKZMainWorker::UpdateDiskBytes(const std::vector<CKZWebInstallerFile*>& vecQueued)
{
    uint64_t qwUnpacked = 0, qwLargest = 0;
    std::set<uint32_t> setPacks;
    for (const CKZWebInstallerFile* pFile : vecQueued)
    {
        qwUnpacked += pFile->m_dwSize;
        qwLargest = std::max<uint64_t>(qwLargest, pFile->TransferBound());
        setPacks.insert(pFile->m_dwZipIndex);
    }
    m_parts.packs.With([&](CKZPackFileArchive& archive) {
        for (const CKZWebInstallerFile* pFile : vecQueued)
            if (const SKZPackedFile* pPacked = archive.GetPackedFileByInternalRelativePath(pFile->m_strName))
                setPacks.insert(archive.GetPackFileIndex(*pPacked)); // its old pack loses it
        for (unsigned int i = 0; i < archive.GetPackFileCount(); ++i)
            if (archive.IsPackMarkedForPatch(i))
                setPacks.insert(i);
    });
    uint64_t qwRebuilt = 0;
    for (const uint32_t pack : setPacks)
        qwRebuilt += m_parts.catalogue.PackBytes(pack);
    return qwUnpacked + 2 * qwLargest + qwRebuilt;
}

void CKZMainWorker::UpdateStep()
{
    CKZWebInstallerFile* pFile = nullptr;
    if (m_downloads.TakeReady(pFile, true))
    {
        if (GiveUpOn(*pFile))
            return;
        if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
            m_downloads.FetchDirect(pFile);
        else
            m_downloads.FetchUpdateZip(pFile, CKZDownloadWorker::kMainSlot);
        return;
    }
    if (m_parts.progress.AllFilesDone() && m_parts.downloadQueue.Empty())
    {
        FinishUpdate();
        return;
    }
    // Woken early when an entry comes back for another try or on shutdown.
    m_parts.downloadQueue.WaitForPush(m_parts.timing.dwEmptyQueueWaitMs, m_bRun);
}

// Every file is in: the packs are rebuilt, checked against the new catalogue, and the catalogue is
// installed.
void CKZMainWorker::FinishUpdate()
{
    if (m_parts.bUsePackFiles)
    {
        if (!MergePackFiles())
            return;
        if (!CKZFile::RemoveDirectoryContents((m_parts.strInstallRoot + m_parts.catalogueFiles.CacheName()).c_str()))
            KZ_REPORT_EVENT(s_recordEmptyData, "%s", "");
        if (!PacksHoldCatalogue())
        {
            KZ_REPORT_EVENT(s_recordConsistency, "%s", "");
            m_parts.states.Fail(CKZWebInstaller::ERROR_PACK_UPDATE);
            return;
        }
    }
    m_parts.states.GoTo(CKZWebInstaller::STATE_INSTALLED);
}

bool CKZMainWorker::PacksHoldCatalogue() const
{
    const std::string strUpdate = m_parts.strInstallRoot + KZInstallLayout::kUpdateName;
    const uint32_t dwCatalogueCount = CKZFileTimeCache::GetFileCountFromFilePath(CKZPath::FilePath(strUpdate));
    const bool bHeld =
        CKZInstallationVerifier::HoldsFileCount(m_parts.strInstallRoot + KZInstallLayout::kPackDirectory, dwCatalogueCount);
    if (!bHeld)
        KZOutput::Print(KZOutput::LEVEL_INFO, "The pack files do not hold the %u files of the catalogue", dwCatalogueCount);
    return bHeld;
}

bool CKZMainWorker::MergePackFiles()
{
    const CKZPath packDir((m_parts.strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    const CKZPath sourceDir((m_parts.strInstallRoot + m_parts.catalogueFiles.CacheName()).c_str());
    const unsigned int packCount = static_cast<unsigned int>(m_parts.catalogueFiles.PackCount());
    const bool bMerged = m_parts.packs.With([&](CKZPackFileArchive& archive) {
        if (packCount == 0)
            KZ_REPORT_EVENT(s_recordPackCount, "%s", "");
        // Internal paths are taken below the download directory: the file of a record
        // "Data/levels/a.lvl" is packed as "levels\a.lvl", the path its update zip holds it at.
        const bool bDone = archive.DoPatch(packDir, sourceDir, packCount);
        if (bDone)
            archive.PatchEnd();
        archive.ClosePackFileArchive();
        return bDone;
    });
    if (bMerged)
    {
        m_parts.progress.SetPackMerged();
        return true;
    }
    // Until its commit a rebuild only writes temporaries beside the old packs, so a failure there
    // (a disk full for a moment) keeps the installation whole: the temporaries go, the catalogue and
    // the packs stay, and the next run updates what differs. After the commit the next run
    // completes the renames.
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not rebuild the pack files in %s", packDir.c_str());
    if (!CKZPackFileArchive::HasCommittedPatch(packDir))
        CKZPackFileArchive::RemoveTemporaryPatchFiles(packDir, packCount);
    // A cancelled run keeps the unpacked files: the next one merges them without fetching them again.
    if (!m_parts.control.IsCancelled())
        CKZFile::RemoveDirectoryContents(sourceDir.c_str());
    m_parts.states.Fail(CKZWebInstaller::ERROR_PACK_UPDATE);
    return false;
}
