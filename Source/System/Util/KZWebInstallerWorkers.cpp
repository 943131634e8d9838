// The installer's unzip and update workers and how they are started.

#include "System/Util/KZWebInstaller.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Util/KZKillPoint.h"

#include <cstdio>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordUnzipSlot = {s_szFile, "UnzipThread",
                                                "dwThreadId < m_dwCurrentFileUnzipProgressSize.size()",
                                                CKZLog::EVENT_ASSERT, 0, __LINE__};
const unsigned kEmptyQueueWaitMs = 20;
const unsigned kIdleWaitMs = 100;
} // namespace

unsigned CKZWebInstaller::UpdateThreadEntry(void* pInstaller)
{
    CKZWebInstaller* pThis = static_cast<CKZWebInstaller*>(pInstaller);
    pThis->UpdateThread();
    // The last touch of the installer: after it the destructor may run.
    --pThis->m_nUpdateThreadsAlive;
    return 0;
}

unsigned CKZWebInstaller::UnzipThreadEntry(void* pInstaller)
{
    CKZWebInstaller* pThis = static_cast<CKZWebInstaller*>(pInstaller);
    pThis->UnzipThread();
    --pThis->m_nUnzipThreadsAlive;
    return 0;
}

// The creator counts a worker alive before its thread exists, so that a destructor can never
// miss a worker that is still starting; the count is taken back when the thread cannot be made.
bool CKZWebInstaller::StartWorker(CKZThread& thread, CKZThread::ThreadEntry entry, std::atomic<int32_t>& nAlive,
                                  const char* szName)
{
    ++nAlive;
    thread.DeleteThread();
    if (thread.CreateThread(entry, this, 0, szName))
        return true;
    --nAlive;
    return false;
}

// Sets a worker kind's run flag unless shutdown has been asked for. Shutdown asks first and clears
// the flags second, so a flag set here at the same moment is always cleared by one side or the
// other: a worker started late still ends, and the destructor's wait ends with it.
bool CKZWebInstaller::ArmRunFlag(std::atomic<bool>& bRun)
{
    bRun = true;
    if (!m_bShutDownRequested)
        return true;
    bRun = false;
    return false;
}

void CKZWebInstaller::StartUpdateAndUnzipWorkers()
{
    if (ArmRunFlag(m_bUpdateThreadsRun))
    {
        for (CKZThread& thread : m_updateThreads)
            StartWorker(thread, UpdateThreadEntry, m_nUpdateThreadsAlive, "WebInstallerUpdateThread");
    }
    if (ArmRunFlag(m_bUnzipThreadRun) &&
        StartWorker(m_unzipThread[0], UnzipThreadEntry, m_nUnzipThreadsAlive, "WebInstallerUnzipThread"))
        m_unzipThread[0].SetThreadPriority(3);
}

// Only the first update worker works; it transfers in slot 1 during the update download state.
void CKZWebInstaller::UpdateThread()
{
    if (m_nUpdateThreadsStarted.fetch_add(1) + 1 >= 2)
        return;
    Sleep(500);
    while (m_bUpdateThreadsRun)
    {
        CKZWebInstallerFile* pFile = nullptr;
        if (m_uState == STATE_UPDATE_DOWNLOAD && TakeReadyDownload(pFile, false))
            FetchUpdateEntry(pFile, SLOT_UPDATE);
        else
            m_downloadQueue.WaitForPush(kIdleWaitMs, m_bUpdateThreadsRun);
    }
}

void CKZWebInstaller::UnzipThread()
{
    const int32_t dwThreadId = m_nUnzipThreadsStarted.fetch_add(1);
    if (dwThreadId != 0)
    {
        // The progress slots hold one unzip worker only.
        KZ_REPORT_EVENT(s_recordUnzipSlot, "%s", "");
        return;
    }
    while (m_bUnzipThreadRun)
    {
        CKZWebInstallerFile* pFile = nullptr;
        if (!m_unzipQueue.PopFront(pFile))
        {
            m_unzipQueue.WaitForWork(kEmptyQueueWaitMs, m_bUnzipThreadRun);
            continue;
        }
        pFile->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_UNZIPPING;
        if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
            UnpackFullInstallZip(pFile);
        else
            UnpackUpdateZip(pFile);
    }
}

void CKZWebInstaller::UnpackFullInstallZip(CKZWebInstallerFile* pFile)
{
    const std::string strZip = m_strInstallRoot + pFile->m_strName;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_unzipSlotStage[0] = pFile->m_dwStage;
    }
    uint64_t qwTotal = 0;
    SKZUnzipProgress context = {&m_progressMutex, &m_dwCurrentFileUnzipProgressSize[0], &qwTotal};
    std::vector<std::string> vecWritten;
    bool bExtracted = false;
    {
        CKZZipFile zip;
        if (zip.Open(strZip.c_str(), 1, nullptr, 0))
        {
            bExtracted = zip.Extract(nullptr, FileUnzipCallback, &context, &vecWritten) != 0;
            bExtracted = zip.Close() != 0 && bExtracted;
        }
    }
    CKZFile::RemoveFile(strZip.c_str());
    if (ValidExtraction(bExtracted))
    {
        WriteInstallMarker(*pFile);
        KZKillPoint::Reached("full-zip-unpacked");
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_dwCurrentFileUnzipProgressSize[0] = 0;
        m_unzipSlotStage[0] = kNoStage;
        ++m_qwFilesDone;
        m_qwUnpackedBytes += pFile->m_dwSize;
        ++m_qwZipsInstalled;
        m_installedZips.insert(pFile->m_dwZipIndex);
        if (pFile->m_dwStage != kNoStage)
            m_stageUnpacked[pFile->m_dwStage] += pFile->m_dwSize;
        delete pFile;
        return;
    }
    printf("Could not unpack %s\n", pFile->m_strName.c_str());
    for (const std::string& strPath : vecWritten)
        CKZFile::RemoveFile(strPath.c_str());
    // A zip that does not unpack is fetched again, after a pause; its download is taken back.
    ScheduleRetry(*pFile, true);
    m_zipQueue.PushBack(pFile, [this, pFile] {
        ++m_dwUnzipFailures;
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_dwCurrentFileUnzipProgressSize[0] = 0;
        m_unzipSlotStage[0] = kNoStage;
        m_qwDownloadedBytes -= pFile->m_dwCompressedSize;
        if (pFile->m_dwStage != kNoStage)
            m_stageDownloaded[pFile->m_dwStage] -= pFile->m_dwSize;
    });
}

void CKZWebInstaller::WriteInstallMarker(const CKZWebInstallerFile& file)
{
    const std::string strMarker = MarkerPath(file.m_dwZipIndex);
    CKZFile::CreateEmptyFile(strMarker.c_str());
    if (CKZFile::FileExists(strMarker))
        CKZFile::SetFileTime(strMarker.c_str(), &file.m_Time, &file.m_Time, &file.m_Time);
}
