#include "System/Util/KZDownloadWorker.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZWebInstaller.h"

#include <algorithm>
#include <chrono>


namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordDownload = {s_szFile, "MainThread", "false", CKZLog::EVENT_ASSERT, 0, __LINE__};
const CKZLog::SEventRecord s_recordExtract = {s_szFile, "MainThread", "extractSuccess", CKZLog::EVENT_ASSERT, 0,
                                              __LINE__};
const CKZLog::SEventRecord s_recordOpenZip = {s_szFile, "MainThread", "false", CKZLog::EVENT_ASSERT, 0, __LINE__};

const char* LocalDirOf(const CKZWebInstallerFile& file)
{
    return file.m_strLocalDir.empty() ? nullptr : file.m_strLocalDir.c_str();
}
} // namespace

void CKZDownloadWorker::Start()
{
    StartThread(CKZWorkerGroup::KIND_DOWNLOAD, "WebInstallerUpdateThread", [this] { Run(); });
}

void CKZDownloadWorker::Run()
{
    if (!m_parts.workers.Pause(m_parts.timing.dwStartPauseMs))
        return;
    while (m_bRun)
    {
        CKZWebInstallerFile* pFile = nullptr;
        if (m_parts.states.State() == CKZWebInstaller::STATE_UPDATE_DOWNLOAD && TakeReady(pFile, false))
            FetchUpdateZip(pFile, kSecondSlot);
        else
            m_parts.downloadQueue.WaitForPush(m_parts.timing.dwIdleWaitMs, m_bRun);
    }
}

bool CKZDownloadWorker::HasFailedTooOften(const CKZWebInstallerFile& file)
{
    return file.m_retry.Exhausted(CKZRetryPolicy::kEntry);
}

void CKZDownloadWorker::CountFailure(CKZWebInstallerFile& file, bool bRefused)
{
    file.m_retry.CountFailure(bRefused, m_parts.retryPolicy);
    m_parts.catalogue.SetStatus(file, CKZWebInstallerFile::FILE_STATUS_PENDING);
}

bool CKZDownloadWorker::TakeReady(CKZWebInstallerFile*& pFile, bool bMainWorker)
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_parts.downloadQueue.PopFirst(pFile, [now, bMainWorker](const CKZWebInstallerFile* pEntry) {
            if (bMainWorker)
                return pEntry->m_retry.Due(now) || HasFailedTooOften(*pEntry);
            return pEntry->m_retry.Due(now) && !pEntry->Has(CKZWebInstallerFile::FILE_FLAG_DIRECT) &&
                   !HasFailedTooOften(*pEntry);
        }))
        return false;
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DOWNLOADING);
    return true;
}

bool CKZDownloadWorker::FetchDelta(CKZWebInstallerFile* pFile, unsigned slot)
{
    const std::string strName = pFile->m_pDelta->ServerPath();
    if (m_parts.transfers.Fetch(strName.c_str(), strName.c_str(), slot, LocalDirOf(*pFile), nullptr,
                                std::max<uint64_t>(1, pFile->m_pDelta->qwDeltaSize)))
    {
        m_parts.progress.CreditDownload(slot, *pFile);
        m_parts.unzipQueue.PushBack(pFile);
        return true;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not download the delta %s: fetching its update zip instead",
                    strName.c_str());
    CKZFile::RemoveFile((pFile->LocalDir(m_parts.strInstallRoot) + strName).c_str());
    DropDelta(*pFile);
    return false;
}

void CKZDownloadWorker::DropDelta(CKZWebInstallerFile& file)
{
    m_parts.progress.ChangeDownloadTotal(file.DownloadBytes(), file.m_dwCompressedSize);
    file.m_pDelta.reset();
}

void CKZDownloadWorker::FetchUpdateZip(CKZWebInstallerFile* pFile, unsigned slot)
{
    if (pFile->m_pDelta && FetchDelta(pFile, slot))
        return;
    const std::string strName = KZInstallLayout::UpdateZipName(pFile->m_strName);
    if (!m_parts.transfers.Fetch(strName.c_str(), strName.c_str(), slot, LocalDirOf(*pFile), &pFile->m_resumeTime,
                                 pFile->TransferBound()))
    {
        KZ_REPORT_EVENT(s_recordDownload, "%s", "");
        Requeue(pFile, m_parts.transfers.WasRefused(slot));
        return;
    }
    pFile->m_resumeTime = -1;
    m_parts.progress.CreditDownload(slot, *pFile);
    m_parts.unzipQueue.PushBack(pFile);
}

void CKZDownloadWorker::FetchDirect(CKZWebInstallerFile* pFile)
{
    if (!m_parts.transfers.Fetch(pFile->m_strName.c_str(), pFile->m_strName.c_str(), kMainSlot, LocalDirOf(*pFile),
                                 &pFile->m_resumeTime, pFile->TransferBound()))
    {
        Requeue(pFile, m_parts.transfers.WasRefused(kMainSlot));
        return;
    }
    pFile->m_resumeTime = -1;
    FinishDirectFile(*pFile, m_parts.strInstallRoot);
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DONE);
    m_parts.progress.CreditDownload(kMainSlot, *pFile);
    m_parts.progress.FileDone();
}

void CKZDownloadWorker::Requeue(CKZWebInstallerFile* pFile, bool bRefused)
{
    CountFailure(*pFile, bRefused);
    m_parts.downloadQueue.PushBack(pFile);
}

void CKZDownloadWorker::FinishDirectFile(const CKZWebInstallerFile& file, const std::string& strInstallRoot)
{
    const std::string strPath = file.LocalDir(strInstallRoot) + file.m_strName;
    CKZFile::SetFileTime(strPath.c_str(), &file.m_Time, &file.m_Time, &file.m_Time);
    if (!file.Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT))
        return;
    CKZZipFile zip;
    if (!zip.Open(strPath.c_str(), 1, nullptr, 0))
    {
        KZ_REPORT_EVENT(s_recordOpenZip, "Could not open local zip file: %s", strPath.c_str());
        return;
    }
    if (!zip.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, nullptr))
        KZ_REPORT_EVENT(s_recordExtract, "%s", "");
    zip.Close();
}
