#include "System/Util/KZUnzipWorker.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Debug/KZOutput.h"
#include "Base/Util/KZKillPoint.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZDeltaPatcher.h"
#include "System/Util/KZDownloadWorker.h"

namespace
{
// The unpacking progress of one unzip worker, shown in its slot.
struct SUnzipSlot
{
    CKZInstallProgress* pProgress;
    unsigned slot;
};

void UnzipProgress(void* pSlot, uint32_t dwDone, uint32_t)
{
    const SUnzipSlot* pUnzipSlot = static_cast<const SUnzipSlot*>(pSlot);
    pUnzipSlot->pProgress->SetUnzipBytes(pUnzipSlot->slot, dwDone);
}

void RemoveFiles(const std::vector<std::string>& vecPaths)
{
    for (const std::string& strPath : vecPaths)
        CKZFile::RemoveFile(strPath.c_str());
}
} // namespace

void CKZUnzipWorker::Start()
{
    for (unsigned slot = 0; slot < kWorkers; ++slot)
        StartThread(CKZWorkerGroup::KIND_UNZIP, "WebInstallerUnzipThread", [this, slot] { Run(slot); });
}

void CKZUnzipWorker::Run(unsigned slot)
{
    while (m_bRun)
    {
        CKZWebInstallerFile* pFile = nullptr;
        if (!m_parts.unzipQueue.PopFront(pFile))
        {
            m_parts.unzipQueue.WaitForWork(m_parts.timing.dwEmptyQueueWaitMs, m_bRun);
            continue;
        }
        m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_UNZIPPING);
        if (pFile->Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
            UnpackFullInstallZip(pFile, slot);
        else if (pFile->m_pDelta)
            ApplyDelta(pFile);
        else
            UnpackUpdateZip(pFile);
    }
}

bool CKZUnzipWorker::Unpack(const std::string& strZip, CKZInstallProgress* pProgress, unsigned slot,
                            std::vector<std::string>& vecWritten)
{
    bool bUnpacked = false;
    {
        CKZZipFile zip;
        SUnzipSlot unzipSlot = {pProgress, slot};
        if (zip.Open(strZip.c_str(), 1, nullptr, 0))
        {
            bUnpacked = pProgress ? zip.Extract(nullptr, UnzipProgress, &unzipSlot, &vecWritten) != 0
                                  : zip.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, &vecWritten) != 0;
            bUnpacked = zip.Close() != 0 && bUnpacked;
        }
    }
    CKZFile::RemoveFile(strZip.c_str());
    return bUnpacked;
}

void CKZUnzipWorker::UnpackFullInstallZip(CKZWebInstallerFile* pFile, unsigned slot)
{
    m_parts.progress.SetUnzipStage(slot, pFile->m_dwStage);
    std::vector<std::string> vecWritten;
    if (Unpack(m_parts.strInstallRoot + pFile->m_strName, &m_parts.progress, slot, vecWritten))
    {
        m_parts.catalogueFiles.WriteInstallMarker(*pFile);
        KZKillPoint::Reached("full-zip-unpacked");
        m_parts.progress.FullInstallZipDone(slot, *pFile);
        m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DONE);
        return;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not unpack %s", pFile->m_strName.c_str());
    RemoveFiles(vecWritten);
    // A zip that does not unpack is fetched again, after a pause; its download is taken back.
    m_downloads.CountFailure(*pFile, true);
    m_parts.progress.UnzipAbandoned(slot);
    m_parts.progress.TakeBackDownload(*pFile);
    m_parts.zipQueue.PushBack(pFile);
}

bool CKZUnzipWorker::HoldsTheRecordsBytes(const CKZWebInstallerFile& file) const
{
    const std::string strFile = m_parts.strInstallRoot + file.m_strFilePath;
    return CKZPath::IsInsideRoot(file.m_strFilePath) && CKZFile::FileExists(strFile) &&
           CKZFile::GetChecksum(strFile.c_str()) == file.m_dwExportedCrc;
}

// Only a file that holds exactly the catalogue's bytes enters the packs: anything else is a failed
// download, fetched again.
void CKZUnzipWorker::UnpackUpdateZip(CKZWebInstallerFile* pFile)
{
    const std::string strZip = pFile->LocalDir(m_parts.strInstallRoot) + KZInstallLayout::UpdateZipName(pFile->m_strName);
    std::vector<std::string> vecWritten;
    if (Unpack(strZip, nullptr, 0, vecWritten) && HoldsTheRecordsBytes(*pFile))
    {
        MergeUpdateFile(pFile);
        return;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not unpack %s, or it does not hold the catalogue's bytes", strZip.c_str());
    RemoveFiles(vecWritten);
    m_parts.progress.TakeBackDownload(*pFile);
    m_downloads.Requeue(pFile, true);
}

void CKZUnzipWorker::MergeUpdateFile(CKZWebInstallerFile* pFile)
{
    if (m_parts.bUsePackFiles)
    {
        const CKZPath path = CKZPath::FilePath(m_parts.strInstallRoot + pFile->m_strFilePath);
        m_parts.packs.With([&](CKZPackFileArchive& archive) { archive.AddPatchFile(pFile->m_dwZipIndex, path); });
    }
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_DONE);
    m_parts.progress.FileDone();
}

void CKZUnzipWorker::ApplyDelta(CKZWebInstallerFile* pFile)
{
    const std::string strDelta = pFile->LocalDir(m_parts.strInstallRoot) + pFile->m_pDelta->ServerPath();
    const CKZDeltaPatcher patcher(m_parts.packs, m_parts.transfers.HasRelease());
    std::string strWhy = "its record's path lies outside the installation";
    const bool bApplied = CKZPath::IsInsideRoot(pFile->m_strFilePath) &&
                          patcher.Apply(*pFile, strDelta, m_parts.strInstallRoot + pFile->m_strFilePath, strWhy);
    CKZFile::RemoveFile(strDelta.c_str());
    if (bApplied)
    {
        MergeUpdateFile(pFile);
        return;
    }
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not apply the delta %s (%s): fetching its update zip instead",
                    pFile->m_pDelta->ServerPath().c_str(), strWhy.c_str());
    m_parts.progress.TakeBackDownload(*pFile);
    m_downloads.DropDelta(*pFile);
    m_parts.catalogue.SetStatus(*pFile, CKZWebInstallerFile::FILE_STATUS_PENDING);
    m_parts.downloadQueue.PushBack(pFile);
}
