#include "System/Util/KZChecksumWorker.h"

#include "Base/Debug/KZLog.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZWebInstaller.h"

#include <algorithm>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordIndex = {s_szFile, "ChecksumThread", "bPackFileIndexFound", CKZLog::EVENT_ASSERT, 0,
                                            __LINE__};
const CKZLog::SEventRecord s_recordMove = {s_szFile, "ChecksumThread", "bMoveSuccess", CKZLog::EVENT_ASSERT, 0,
                                           __LINE__};
const CKZLog::SEventRecord s_recordRemove = {s_szFile, "ChecksumThread", "0", CKZLog::EVENT_ASSERT, 0, __LINE__};

// Pack paths use "\", catalogue paths "/".
std::string SlashPath(std::string strPath)
{
    std::replace(strPath.begin(), strPath.end(), '\\', '/');
    return strPath;
}
} // namespace

void CKZChecksumWorker::SetLocalFiles(std::vector<SKZFileInfo> vecOnDisk, std::vector<SKZFileInfo> vecPacked)
{
    std::lock_guard<std::mutex> lock(m_listsMutex);
    m_onDisk = std::move(vecOnDisk);
    m_packed = std::move(vecPacked);
}

void CKZChecksumWorker::ClearLocalFiles()
{
    SetLocalFiles({}, {});
}

void CKZChecksumWorker::Start()
{
    for (unsigned i = 0; i < kWorkers; ++i)
        StartThread(CKZWorkerGroup::KIND_CHECKSUM, "WebInstallerChecksumThread", [this] {
            Run();
            // The comparison step waits for the last worker to end: tell it at once.
            m_parts.downloadQueue.Wake();
        });
}

std::string CKZChecksumWorker::FileNameKey(const char* szPath)
{
    const char* szName = szPath;
    for (const char* p = szPath; *p; ++p)
        if (*p == '/' || *p == '\\')
            szName = p + 1;
    return szName;
}

void CKZChecksumWorker::Run()
{
    while (m_bRun)
    {
        if (!m_parts.catalogueFiles.IsLoaded())
        {
            m_parts.downloadQueue.WaitForPush(m_parts.timing.dwIdleWaitMs, m_bRun);
            continue;
        }
        SKZFileInfo record;
        bool bPacked = false;
        if (!TakeLocalRecord(record, bPacked))
            return;
        CompareLocalRecord(record, bPacked);
    }
}

// Takes the last file found on disk, or when none is left the last packed file.
bool CKZChecksumWorker::TakeLocalRecord(SKZFileInfo& record, bool& bPacked)
{
    std::lock_guard<std::mutex> lock(m_listsMutex);
    std::vector<SKZFileInfo>& list = m_onDisk.empty() ? m_packed : m_onDisk;
    if (list.empty())
        return false;
    bPacked = &list == &m_packed;
    record = list.back();
    list.pop_back();
    return true;
}

void CKZChecksumWorker::CompareLocalRecord(const SKZFileInfo& record, bool bPacked)
{
    const std::string strKey = FileNameKey(record.name);
    CKZWebInstallerFile entry;
    if (!m_parts.catalogue.Find(strKey, entry))
    {
        // A packed file the server no longer lists leaves the packs; other files on disk stay.
        if (bPacked)
            RemoveUnlistedPackedFile(record);
        return;
    }
    bool bInSync = false;
    if (entry.Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
    {
        // A file fetched under its own name is judged by its copy on disk, on size and time.
        bInSync = !bPacked && record.size == entry.m_dwSize &&
                  CKZWebInstaller::CompareFileTime(&record.time, &entry.m_Time) == 0;
    }
    else if (bPacked)
        bInSync = ComparePackedRecord(record, entry);
    else if (!m_parts.bUsePackFiles)
        bInSync = CKZFile::GetChecksum(record.name) == entry.m_dwExportedCrc;
    // With pack files, a loose file of the same name (inside the client application, say) says
    // nothing about the packed copy the client reads.
    if (bInSync)
        m_parts.catalogue.MarkInSync(strKey);
}

void CKZChecksumWorker::RemoveUnlistedPackedFile(const SKZFileInfo& record)
{
    const CKZPath path = CKZPath::FilePath(m_parts.strInstallRoot + SlashPath(record.name));
    if (m_parts.packs.With([&](CKZPackFileArchive& archive) { return archive.RemovePatchFile(path); }) == -1)
        KZ_REPORT_EVENT(s_recordRemove, "%s", "Error while removing patch file.");
}

// A packed file is in sync when it holds the catalogue's bytes at the catalogue's path, in the
// design's form or in the one our 1.0.0 wrote (which gets the design's form only when its pack is
// rebuilt anyway); one that sits in the wrong pack is moved there.
bool CKZChecksumWorker::ComparePackedRecord(const SKZFileInfo& record, const CKZWebInstallerFile& entry)
{
    const KZInstallLayout::EPackedPathMatch match = KZInstallLayout::MatchPackedPath(record.name, entry.m_strFilePath);
    if (match == KZInstallLayout::PACKED_PATH_DIFFERS)
        return false;
    const bool bUnchanged = m_parts.catalogueFiles.IsUnchanged();
    const CKZPath target = CKZPath::FilePath(m_parts.strInstallRoot + entry.m_strFilePath);
    return m_parts.packs.With([&](CKZPackFileArchive& archive) {
        const SKZPackedFile* pPacked = archive.GetPackedFileByInternalRelativePath(record.name);
        if (!pPacked)
        {
            KZ_REPORT_EVENT(s_recordIndex, "%s", "");
            return false;
        }
        const bool bSameBytes = (bUnchanged && record.size == entry.m_dwSize) ||
                                (pPacked->m_dwCheckSum == entry.m_dwExportedCrc && pPacked->m_dwLength == entry.m_dwSize);
        if (!bSameBytes)
            return false;
        if (match == KZInstallLayout::PACKED_PATH_MATCHES_OLD)
            archive.SetPackedFilePath(record.name, KZInstallLayout::PackedPathOfRecord(entry.m_strFilePath));
        const unsigned int index = archive.GetPackFileIndex(*pPacked);
        if (index != entry.m_dwZipIndex && !archive.PatchMoveFile(index, entry.m_dwZipIndex, target))
        {
            KZ_REPORT_EVENT(s_recordMove, "%s", "");
            return false;
        }
        return true;
    });
}
