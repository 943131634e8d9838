// The installer's main worker: the catalogue probe, the zip enumeration, the new-install downloads
// with their retries, and extra files added before a run.

#include "System/Util/KZWebInstaller.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Debug/KZLog.h"

#include <algorithm>
#include <cstdio>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordExtract = {s_szFile, "MainThread", "extractSuccess", CKZLog::EVENT_ASSERT, 0,
                                              __LINE__};
const CKZLog::SEventRecord s_recordOpenZip = {s_szFile, "MainThread", "false", CKZLog::EVENT_ASSERT, 0, __LINE__};

// Idle intervals: the longest waits of a worker that is otherwise woken by work or shutdown.
const unsigned kEmptyQueueWaitMs = 20;
const unsigned kIdleWaitMs = 100;
const unsigned kUnzipBehindWaitMs = 4000;
} // namespace

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
        m_bMainThreadBusy = false;
        return;
    }
    if (m_bRunning)
        GoToState(m_bNewInstall ? STATE_NEW_INSTALL_PREPARE : STATE_UPDATE_PREPARE);
    while (m_bRunning)
    {
        const uint32_t state = m_uState;
        if (state == STATE_NEW_INSTALL_DOWNLOAD)
            NewInstallStep();
        else if (state == STATE_UPDATE_COMPARE)
            CompareStep();
        else if (state == STATE_UPDATE_DOWNLOAD)
            UpdateStep();
        else
            // Installed or failed: idle until shut down, without spinning.
            m_zipQueue.WaitForPush(kIdleWaitMs, m_bRunning);
    }
    m_bMainThreadBusy = false;
}

void CKZWebInstaller::EnumerateFullInstallZips(uint32_t dwLimit)
{
    for (uint32_t j = 0; j < dwLimit && m_bRunning; ++j)
    {
        const std::string strName = m_strCacheName + std::to_string(j) + ".zip";
        uint64_t qwSize = 0;
        SKZFileTime time;
        if (!ProbeRemoteFile(strName.c_str(), &qwSize, &time))
            break;
        CKZWebInstallerFile* pFile = new CKZWebInstallerFile;
        pFile->m_strName = strName;
        pFile->m_Time = time;
        pFile->m_dwSize = pFile->m_dwCompressedSize = static_cast<uint32_t>(qwSize);
        pFile->m_qwTransferBound = qwSize;
        pFile->m_dwZipIndex = j;
        pFile->m_dwFlags = CKZWebInstallerFile::FILE_FLAG_DIRECT | CKZWebInstallerFile::FILE_FLAG_EXTRACT |
                           CKZWebInstallerFile::FILE_FLAG_FULL_ZIP;
        {
            std::lock_guard<std::mutex> lock(m_progressMutex);
            const auto stage = m_zipStages.find(static_cast<int32_t>(j));
            pFile->m_dwStage = stage != m_zipStages.end() ? static_cast<uint32_t>(stage->second) : kNoStage;
            if (pFile->m_dwStage != kNoStage)
                m_stageTotal[pFile->m_dwStage] += pFile->m_dwSize;
            ++m_qwTotalFiles;
            m_qwTotalDownloadBytes += pFile->m_dwSize;
            m_qwTotalUnpackBytes += pFile->m_dwSize;
            m_qwZipsInstalled = 0;
            m_qwZipCount = j + 1;
        }
        m_zipQueue.PushBack(pFile);
    }
}

// Takes the first zip queue entry whose retry time has come.
bool CKZWebInstaller::TakeReadyZip(CKZWebInstallerFile*& pFile)
{
    const auto now = std::chrono::steady_clock::now();
    return m_zipQueue.PopFirst(pFile, [now](const CKZWebInstallerFile* pEntry) { return pEntry->m_retry.Due(now); });
}

// True when the entry has failed too often to be tried again: the run then fails.
bool CKZWebInstaller::GiveUpOn(CKZWebInstallerFile* pFile)
{
    if (!HasFailedTooOften(*pFile))
        return false;
    printf("Could not install %s after %u tries\n", pFile->m_strName.c_str(), pFile->m_retry.Tries());
    delete pFile;
    Fail(ERROR_PACK_UPDATE);
    return true;
}

void CKZWebInstaller::OnTransferFailed(CKZWebInstallerFile* pFile, unsigned slot)
{
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        ++m_dwDownloadFailures;
        m_downloadSlotStage[slot] = kNoStage;
    }
    ScheduleRetry(*pFile, WasRefused(slot));
    if (GiveUpOn(pFile))
        return;
    m_zipQueue.PushBack(pFile);
}

// A refusal is given up on after a few tries; connection failures, stalls and server errors,
// which another try may mend, after many more.
bool CKZWebInstaller::HasFailedTooOften(const CKZWebInstallerFile& file)
{
    return file.m_retry.Exhausted(CKZRetryPolicy::kEntry);
}

void CKZWebInstaller::ScheduleRetry(CKZWebInstallerFile& file, bool bRefused) const
{
    file.m_retry.CountFailure(bRefused, m_retryPolicy);
    file.m_dwStatus = CKZWebInstallerFile::FILE_STATUS_PENDING;
}

// A file fetched under its own name may bring what the server said it holds; an update zip its
// record's compressed size, with room for the zip around one entry of its name.
uint64_t CKZWebInstaller::TransferBound(const CKZWebInstallerFile& file)
{
    if (file.Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
        return file.m_qwTransferBound;
    return uint64_t(file.m_dwCompressedSize) + 2 * file.m_strFilePath.size() + kUpdateZipOverhead;
}

bool CKZWebInstaller::WasRefused(unsigned slot) const
{
    return m_bLastRefused[slot];
}

void CKZWebInstaller::NewInstallStep()
{
    CKZWebInstallerFile* pFile = nullptr;
    if (!TakeReadyZip(pFile))
    {
        if (m_zipQueue.Empty())
        {
            bool bAllDone;
            {
                std::lock_guard<std::mutex> lock(m_progressMutex);
                bAllDone = m_qwFilesDone == m_qwTotalFiles;
            }
            if (bAllDone)
            {
                GoToState(STATE_INSTALLED);
                return;
            }
        }
        // Woken early when a refused zip comes back or on shutdown.
        m_zipQueue.WaitForPush(kEmptyQueueWaitMs, m_bRunning);
        return;
    }
    if (GiveUpOn(pFile))
        return;
    pFile->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DOWNLOADING;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_downloadSlotStage[SLOT_MAIN] = pFile->m_dwStage;
    }
    const char* szLocalDir = pFile->m_strLocalDir.empty() ? nullptr : pFile->m_strLocalDir.c_str();
    if (!GetRemoteFileHttp(pFile->m_strName.c_str(), pFile->m_strName.c_str(), SLOT_MAIN, szLocalDir,
                           &pFile->m_resumeTime, TransferBound(*pFile)))
    {
        OnTransferFailed(pFile, SLOT_MAIN);
        return;
    }
    pFile->m_retry.Succeeded();
    pFile->m_resumeTime = -1;
    {
        // The slot's bytes become credited bytes in one step, so progress never dips or doubles.
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_downloadSlotBytes[SLOT_MAIN] = 0;
        m_downloadSlotStage[SLOT_MAIN] = kNoStage;
        m_qwDownloadedBytes += pFile->m_dwCompressedSize;
        if (pFile->m_dwStage != kNoStage)
            m_stageDownloaded[pFile->m_dwStage] += pFile->m_dwSize;
    }
    if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
    {
        // Few zips wait on disk: while the unzip worker is behind, the downloads wait for it.
        if (m_unzipQueue.PushBack(pFile) > 0)
            m_unzipQueue.WaitUntilEmpty(kUnzipBehindWaitMs, m_bRunning);
        return;
    }
    SetServerTime(*pFile);
    if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT))
        ExtractCustomZip(*pFile);
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        ++m_qwFilesDone;
        if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_EXTRACT))
            m_qwUnpackedBytes += pFile->m_dwSize;
    }
    delete pFile;
}

// A file fetched under its own name carries the server's time, so that the next update finds it
// in sync by size and time.
void CKZWebInstaller::SetServerTime(const CKZWebInstallerFile& file)
{
    const std::string strPath = (file.m_strLocalDir.empty() ? m_strInstallRoot : file.m_strLocalDir) + file.m_strName;
    CKZFile::SetFileTime(strPath.c_str(), &file.m_Time, &file.m_Time, &file.m_Time);
}

void CKZWebInstaller::ExtractCustomZip(const CKZWebInstallerFile& file)
{
    const std::string strPath = (file.m_strLocalDir.empty() ? m_strInstallRoot : file.m_strLocalDir) + file.m_strName;
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

void CKZWebInstaller::AddCustomFile(const char* szName, uint64_t qwSize, int bExtract, const char* szLocalDir)
{
    SKZFileTime time;
    if (!GetRemoteFileInfoHttp(szName, &qwSize, &time))
        return;
    CKZWebInstallerFile* pFile = new CKZWebInstallerFile;
    pFile->m_strName = szName;
    pFile->m_Time = time;
    pFile->m_dwSize = pFile->m_dwCompressedSize = static_cast<uint32_t>(qwSize);
    pFile->m_qwTransferBound = qwSize;
    if (szLocalDir)
        pFile->m_strLocalDir = szLocalDir;
    pFile->m_dwFlags = CKZWebInstallerFile::FILE_FLAG_DIRECT;
    if (bExtract)
        pFile->m_dwFlags |= CKZWebInstallerFile::FILE_FLAG_EXTRACT;
    if (m_bNewInstall)
    {
        m_zipQueue.PushBack(pFile);
        return;
    }
    std::lock_guard<std::mutex> lock(m_downloadQueue.Mutex());
    CKZWebInstallerFile*& pSlot = m_catalogue[szName];
    delete pSlot;
    pSlot = pFile;
}
