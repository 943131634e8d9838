#include "System/Util/KZCatalogueFiles.h"

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "Base/Debug/KZOutput.h"
#include "Base/Util/KZKillPoint.h"
#include "Base/Util/KZString.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZFileTimeCache.h"
#include "System/Util/KZInstallProgress.h"
#include "System/Util/KZInstallerTransfers.h"
#include "System/Util/KZRunCatalogue.h"
#include "System/Util/KZWebInstaller.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>


namespace
{
// Writes a whole file beside its target, flushes it to disk and renames it over the target.
bool ReplaceFileContents(const std::string& strTarget, const void* pData, size_t length)
{
    const std::string strTemp = strTarget + ".tmp";
    FILE* pFile = fopen(strTemp.c_str(), "wb");
    if (!pFile)
        return false;
    bool bOk = KZFileIO::AdmitWrite(length) && fwrite(pData, 1, length, pFile) == length && fflush(pFile) == 0 &&
               fsync(fileno(pFile)) == 0;
    bOk = fclose(pFile) == 0 && bOk;
    KZKillPoint::Reached("catalogue-written");
    if (bOk && rename(strTemp.c_str(), strTarget.c_str()) == 0)
        return true;
    remove(strTemp.c_str());
    return false;
}

// A record the installer can work with: its name keys the catalogue and names its update zip.
bool IsAcceptable(const CKZFileDetails& details)
{
    // An index this large would wrap the pack count; a path outside "Data/" is not one of ours.
    if (details.m_dwZipIndex >= CKZCatalogueFiles::kMaxZipIndex)
        return false;
    if (!CKZPath::IsInsideRoot(details.m_strName) || details.m_strName.find_first_of("/\\") != std::string::npos)
        return false;
    return details.m_strFilePath.empty() || (KZStringStartsWith(details.m_strFilePath, KZInstallLayout::kRecordPrefix) &&
                                             CKZPath::IsInsideRoot(details.m_strFilePath));
}
} // namespace

void CKZCatalogueFiles::SetNames(const std::string& strCacheName, const std::string& strInstallRoot)
{
    m_strCacheName = strCacheName;
    m_strCacheFileName = strCacheName + ".ccx";
    m_strInstallRoot = strInstallRoot;
}

int32_t CKZCatalogueFiles::Read(const std::string& strPath, KZCatalogueEntries& entries, int32_t* pVersion,
                                uint64_t* pPackCount)
{
    const uint32_t dwVersion = CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(strPath.c_str()));
    if (pVersion)
        *pVersion = static_cast<int32_t>(dwVersion);
    // A catalogue older than 258 is refused before it is read.
    if (dwVersion <= 257)
        return CKZWebInstaller::ERROR_CATALOGUE_VERSION;
    CKZFileTimeCache cache;
    if (!cache.Initialize(strPath.c_str(), nullptr, nullptr))
        return CKZWebInstaller::ERROR_CATALOGUE_OPEN;
    uint64_t qwPackCount = 0;
    for (const auto& entry : cache.GetRawData())
    {
        if (!IsAcceptable(*entry.second))
            return CKZWebInstaller::ERROR_CATALOGUE_OPEN;
        qwPackCount = std::max<uint64_t>(qwPackCount, entry.second->m_dwZipIndex + 1ULL);
    }
    for (const auto& entry : cache.GetRawData())
    {
        std::unique_ptr<CKZWebInstallerFile> pFile(new CKZWebInstallerFile(*entry.second));
        pFile->m_dwUserData = 0;
        entries[pFile->m_strName] = std::move(pFile);
    }
    if (pPackCount)
        *pPackCount = qwPackCount;
    return CKZWebInstaller::ERROR_NONE;
}

int32_t CKZCatalogueFiles::Retrieve(CKZInstallerTransfers& transfers, CKZRunCatalogue& catalogue)
{
    if (m_bLoaded)
        return CKZWebInstaller::ERROR_NONE;
    const std::string strLocalName = m_strCacheName + ".update";
    if (!transfers.FetchBoundedExchange(strLocalName.c_str(), m_strCacheFileName.c_str(),
                                        CKZInstallProgress::kUncountedSlot))
        return CKZWebInstaller::ERROR_CATALOGUE_DOWNLOAD;
    const std::string strPath = m_strInstallRoot + strLocalName;
    KZCatalogueEntries entries;
    int32_t version = -1;
    uint64_t qwPackCount = 0;
    const int32_t nError = Read(strPath, entries, &version, &qwPackCount);
    if (nError != CKZWebInstaller::ERROR_NONE)
        return nError;
    m_bUnchanged = CKZFile::GetChecksum(strPath.c_str()) == m_dwLocalChecksum;
    catalogue.Merge(std::move(entries));
    m_qwPackCount = qwPackCount;
    m_version = version;
    m_bLoaded = true;
    return CKZWebInstaller::ERROR_NONE;
}

bool CKZCatalogueFiles::Finalize() const
{
    if (!m_bLoaded || m_bUnchanged)
        return true;
    CKZFile update;
    if (!update.OpenInMemory((m_strInstallRoot + m_strCacheName + ".update").c_str()))
        return false;
    return ReplaceFileContents(m_strInstallRoot + m_strCacheFileName, update.GetFileStartPtr(),
                               static_cast<size_t>(update.GetLength()));
}

int32_t CKZCatalogueFiles::Install() const
{
    if (Finalize())
        return CKZWebInstaller::ERROR_NONE;
    KZOutput::Print(KZOutput::LEVEL_INFO, "Could not install the catalogue %s",
                    (m_strInstallRoot + m_strCacheFileName).c_str());
    return CKZWebInstaller::ERROR_PACK_UPDATE;
}

bool CKZCatalogueFiles::PrepareDataFolders(bool bKeepDownloads) const
{
    const int32_t version = m_version;
    if (version == -1)
        return false;
    if (version < 261)
        CKZFile::RemoveDirectoryContents((m_strInstallRoot + KZInstallLayout::kPackDirectory).c_str());
    else if (!bKeepDownloads)
        CKZFile::RemoveDirectoryContents((m_strInstallRoot + m_strCacheName).c_str());
    return true;
}

int32_t CKZCatalogueFiles::ReadStageInfo(CKZInstallerTransfers& transfers, CKZInstallProgress& progress)
{
    const std::string strLocalName = m_strCacheName + ".temp";
    const std::string strPath = m_strInstallRoot + strLocalName;
    if (!transfers.FetchBoundedExchange(strLocalName.c_str(), m_strCacheFileName.c_str(),
                                        CKZInstallProgress::kUncountedSlot))
    {
        // The tables are a help, not a need: the run goes on without them, leaving nothing behind.
        CKZFile::RemoveFile(strPath.c_str());
        return kStageInfoUnavailable;
    }
    KZCatalogueEntries entries;
    int32_t version = -1;
    const int32_t nError = Read(strPath, entries, &version, nullptr);
    CKZFile::RemoveFile(strPath.c_str());
    // A catalogue the run could never install fails it before any zip is fetched.
    if (nError != CKZWebInstaller::ERROR_NONE)
        return nError;
    m_version = version;
    m_qwStagePackCount = progress.SetStageCatalogue(std::move(entries));
    return CKZWebInstaller::ERROR_NONE;
}

std::string CKZCatalogueFiles::MarkerPath(uint32_t zip) const
{
    return m_strInstallRoot + m_strCacheName + std::to_string(zip) + ".install";
}

void CKZCatalogueFiles::WriteInstallMarker(const CKZWebInstallerFile& zip) const
{
    const std::string strMarker = MarkerPath(zip.m_dwZipIndex);
    CKZFile::CreateEmptyFile(strMarker.c_str());
    if (CKZFile::FileExists(strMarker))
        CKZFile::SetFileTime(strMarker.c_str(), &zip.m_Time, &zip.m_Time, &zip.m_Time);
}

bool CKZCatalogueFiles::HasInstallMarker(const CKZWebInstallerFile& zip) const
{
    SKZFileTime written;
    int64_t a = 0, b = 0;
    if (!CKZFile::GetFileTime(MarkerPath(zip.m_dwZipIndex).c_str(), nullptr, nullptr, &written))
        return false;
    FileTimeToUnixTime(&a, &written);
    FileTimeToUnixTime(&b, &zip.m_Time);
    return a == b;
}

void CKZCatalogueFiles::DeleteInstallMarkers() const
{
    for (uint32_t i = 0; CKZFile::RemoveFile(MarkerPath(i).c_str()); ++i)
    {
    }
}
