// The installer's checksum workers: in update mode they match every file on disk and every packed
// file against the server's catalogue by file name, mark the entries the installation already holds
// as in sync, and tidy the pack files on the way (a file in the wrong pack moves, a file the
// catalogue no longer lists leaves).

#include "System/Util/KZWebInstaller.h"

#include "Base/Debug/KZLog.h"
#include "System/KZInstallLayout.h"

#include <algorithm>

namespace
{
const char* const s_szFile = "Source/System/Util/KZWebInstaller";
const CKZLog::SEventRecord s_recordIndex = {s_szFile, "ChecksumThread", "bPackFileIndexFound", CKZLog::EVENT_ASSERT, 0,
                                            __LINE__};
const CKZLog::SEventRecord s_recordMove = {s_szFile, "ChecksumThread", "bMoveSuccess", CKZLog::EVENT_ASSERT, 0,
                                           __LINE__};
const CKZLog::SEventRecord s_recordRemove = {s_szFile, "ChecksumThread", "0", CKZLog::EVENT_ASSERT, 0, __LINE__};
const unsigned kCatalogueWaitMs = 100;

// Pack paths use "\", catalogue paths "/".
std::string SlashPath(std::string strPath)
{
    std::replace(strPath.begin(), strPath.end(), '\\', '/');
    return strPath;
}
} // namespace

unsigned CKZWebInstaller::ChecksumThreadEntry(void* pInstaller)
{
    CKZWebInstaller* pThis = static_cast<CKZWebInstaller*>(pInstaller);
    pThis->ChecksumThread();
    // The comparison step waits for the last worker to end: tell it at once.
    pThis->m_downloadQueue.Wake();
    --pThis->m_nChecksumThreadsAlive;
    return 0;
}

void CKZWebInstaller::StartChecksumWorkers()
{
    if (!ArmRunFlag(m_bChecksumThreadsRun))
        return;
    for (CKZThread& thread : m_checksumThreads)
        StartWorker(thread, ChecksumThreadEntry, m_nChecksumThreadsAlive, "WebInstallerChecksumThread");
}

// The file name of a path as the catalogue keys it: the text after the last "/" or "\", so that a
// name without an extension is a name too.
std::string CKZWebInstaller::FileNameKey(const char* szPath)
{
    const char* szName = szPath;
    for (const char* p = szPath; *p; ++p)
        if (*p == '/' || *p == '\\')
            szName = p + 1;
    return szName;
}

void CKZWebInstaller::ChecksumThread()
{
    while (m_bChecksumThreadsRun)
    {
        if (!m_bCatalogueLoaded)
        {
            m_downloadQueue.WaitForPush(kCatalogueWaitMs, m_bChecksumThreadsRun);
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
bool CKZWebInstaller::TakeLocalRecord(SKZFileInfo& record, bool& bPacked)
{
    std::lock_guard<std::mutex> lock(m_localFilesMutex);
    std::vector<SKZFileInfo>& list = m_localFiles.empty() ? m_packedFiles : m_localFiles;
    if (list.empty())
        return false;
    bPacked = &list == &m_packedFiles;
    record = list.back();
    list.pop_back();
    return true;
}

void CKZWebInstaller::CompareLocalRecord(const SKZFileInfo& record, bool bPacked)
{
    const std::string strKey = FileNameKey(record.name);
    CKZWebInstallerFile entry;
    bool bFound = false;
    {
        std::lock_guard<std::mutex> lock(m_downloadQueue.Mutex());
        const auto found = m_catalogue.find(strKey);
        if (found != m_catalogue.end())
        {
            entry = *found->second;
            bFound = true;
        }
    }
    if (!bFound)
    {
        // A packed file the server no longer lists leaves the packs; other files on disk stay.
        if (bPacked)
        {
            std::lock_guard<std::mutex> lock(m_packMutex);
            if (m_packArchive.RemovePatchFile(CKZPath::FilePath(m_strInstallRoot + SlashPath(record.name))) == -1)
                KZ_REPORT_EVENT(s_recordRemove, "%s", "Error while removing patch file.");
        }
        return;
    }
    bool bInSync = false;
    if (entry.Has(CKZWebInstallerFile::FILE_FLAG_DIRECT))
    {
        // A file fetched under its own name is judged by its copy on disk, on size and time.
        bInSync = !bPacked && record.size == entry.m_dwSize && CompareFileTime(&record.time, &entry.m_Time) == 0;
    }
    else if (bPacked)
        bInSync = ComparePackedRecord(record, entry);
    else if (!m_bUsePackFiles)
        bInSync = CKZFile::GetChecksum(record.name) == entry.m_dwExportedCrc;
    // With pack files, a loose file of the same name (inside the client application, say) says
    // nothing about the packed copy the client reads.
    if (bInSync)
        MarkInSync(strKey);
}

// A packed file is in sync when it holds the catalogue's bytes at the catalogue's path, in the
// design's form or in the one our 1.0.0 wrote (which gets the design's form only when its pack is
// rebuilt anyway); one that sits in the wrong pack is moved there.
bool CKZWebInstaller::ComparePackedRecord(const SKZFileInfo& record, const CKZWebInstallerFile& entry)
{
    const KZInstallLayout::EPackedPathMatch match = KZInstallLayout::MatchPackedPath(record.name, entry.m_strFilePath);
    if (match == KZInstallLayout::PACKED_PATH_DIFFERS)
        return false;
    std::lock_guard<std::mutex> lock(m_packMutex);
    const SKZPackedFile* pPacked = m_packArchive.GetPackedFileByInternalRelativePath(record.name);
    if (!pPacked)
    {
        KZ_REPORT_EVENT(s_recordIndex, "%s", "");
        return false;
    }
    const bool bSameBytes = (m_bCatalogueUnchanged && record.size == entry.m_dwSize) ||
                            (pPacked->m_dwCheckSum == entry.m_dwExportedCrc && pPacked->m_dwLength == entry.m_dwSize);
    if (!bSameBytes)
        return false;
    if (match == KZInstallLayout::PACKED_PATH_MATCHES_OLD)
        m_packArchive.SetPackedFilePath(record.name, KZInstallLayout::PackedPathOfRecord(entry.m_strFilePath));
    const unsigned int index = m_packArchive.GetPackFileIndex(*pPacked);
    if (index != entry.m_dwZipIndex &&
        !m_packArchive.PatchMoveFile(index, entry.m_dwZipIndex, CKZPath::FilePath(m_strInstallRoot + entry.m_strFilePath)))
    {
        KZ_REPORT_EVENT(s_recordMove, "%s", "");
        return false;
    }
    return true;
}

// Statuses are written under the catalogue's lock: two workers may match one entry.
void CKZWebInstaller::MarkInSync(const std::string& strKey)
{
    std::lock_guard<std::mutex> lock(m_downloadQueue.Mutex());
    const auto found = m_catalogue.find(strKey);
    if (found != m_catalogue.end())
        found->second->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DONE;
}
