#include "System/KZInstallationVerifier.h"

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Base/Core/KZIOInterface.h"
#include "Base/Hash/KZCrc32.h"
#include "System/KZInstallLayout.h"
#include "System/KZPackIndex.h"
#include "System/Util/KZFileTimeCache.h"


#include <algorithm>
#include <cstdio>

namespace
{
std::string Hex(uint32_t dwValue)
{
    char text[9];
    snprintf(text, sizeof(text), "%08x", dwValue);
    return text;
}

// The CRC-32 of a packed file's bytes as they are in its pack; false when they cannot all be read.
bool PackedChecksum(const CKZPackIndex& index, const SKZPackedFile& packed, uint32_t& dwCrc)
{
    CKZPackReader reader = index.OpenReader(packed);
    std::vector<unsigned char> buffer(1 << 16);
    uint32_t dwLeft = packed.m_dwLength;
    dwCrc = 0;
    while (dwLeft > 0)
    {
        const int want = static_cast<int>(std::min<uint32_t>(dwLeft, static_cast<uint32_t>(buffer.size())));
        const int got = reader.Read(buffer.data(), 1, want);
        if (got <= 0)
            break;
        dwCrc = KZCrc32(dwCrc, buffer.data(), static_cast<size_t>(got));
        dwLeft -= static_cast<uint32_t>(got);
    }
    return dwLeft == 0;
}
} // namespace

const char* CKZInstallationVerifier::GetProblemName(EProblem problem)
{
    static const char* const kNames[] = {"count", "missing", "path", "size", "checksum", "unreadable", "extra"};
    return kNames[problem];
}

CKZInstallationVerifier::SResult CKZInstallationVerifier::Verify(EDepth depth) const
{
    SResult result;
    result.m_dwCatalogueFiles = static_cast<uint32_t>(m_Catalogue.GetRawData().size());
    result.m_dwPackedFiles = m_Index.GetTotalPackedFileCount();
    if (depth == DEPTH_COUNT)
    {
        if (result.m_dwCatalogueFiles != result.m_dwPackedFiles)
            result.m_Problems.push_back({PROBLEM_COUNT, "", std::to_string(result.m_dwCatalogueFiles),
                                         std::to_string(result.m_dwPackedFiles)});
    }
    else if (depth == DEPTH_NAMES)
        CompareNames(result);
    else
    {
        std::set<const SKZPackedFile*> listed;
        for (const auto& entry : m_Catalogue.GetRawData())
            CompareRecord(*entry.second, depth == DEPTH_CONTENT, listed, result);
        AddExtraFiles(listed, result);
    }
    return result;
}

// A record's name is looked up as any path is, by its file name; a packed file's name must be a
// record's name exactly.
void CKZInstallationVerifier::CompareNames(SResult& result) const
{
    const auto& records = m_Catalogue.GetRawData();
    for (const auto& record : records)
    {
        const std::string& strName = record.second->m_strName;
        if (!m_Index.GetPackedFileByInternalRelativePath(csaGetInternalPath(strName, m_Index.GetRootDirectory())))
            result.m_Problems.push_back({PROBLEM_MISSING, strName, "", ""});
    }
    for (unsigned int i = 0; i < m_Index.GetPackCount(); ++i)
    {
        for (const SKZPackedFile& packed : m_Index.GetPack(i).m_PackedFiles)
        {
            std::string strName;
            CKZPath::FindFileName(packed.m_strPath, strName);
            if (!records.count(strName))
                result.m_Problems.push_back({PROBLEM_EXTRA, strName, "", std::to_string(packed.m_dwLength)});
        }
    }
}

void CKZInstallationVerifier::CompareRecord(const CKZFileDetails& record, bool bContent,
                                            std::set<const SKZPackedFile*>& listed, SResult& result) const
{
    const std::string& strPath = record.m_strFilePath;
    const std::string strInternal = KZInstallLayout::PackedPathOfRecord(strPath);
    const SKZPackedFile* pPacked = strInternal.empty() ? nullptr : m_Index.GetPackedFileByInternalRelativePath(strInternal);
    if (!pPacked)
    {
        result.m_Problems.push_back({PROBLEM_MISSING, strPath, "", ""});
        return;
    }
    listed.insert(pPacked);
    // The 1.0.0 form ("Data\...") is the same file to the installer.
    if (KZInstallLayout::MatchPackedPath(pPacked->m_strPath, strPath) == KZInstallLayout::PACKED_PATH_DIFFERS)
    {
        result.m_Problems.push_back({PROBLEM_PATH, strPath, strInternal, pPacked->m_strPath});
        return;
    }
    if (pPacked->m_dwLength != record.m_dwSize)
    {
        result.m_Problems.push_back(
            {PROBLEM_SIZE, strPath, std::to_string(record.m_dwSize), std::to_string(pPacked->m_dwLength)});
        return;
    }
    if (!bContent)
        return;
    uint32_t dwCrc = 0;
    if (!PackedChecksum(m_Index, *pPacked, dwCrc))
        result.m_Problems.push_back({PROBLEM_UNREADABLE, strPath, "", ""});
    else if (dwCrc != record.m_dwExportedCrc)
        result.m_Problems.push_back({PROBLEM_CHECKSUM, strPath, Hex(record.m_dwExportedCrc), Hex(dwCrc)});
}

void CKZInstallationVerifier::AddExtraFiles(const std::set<const SKZPackedFile*>& listed, SResult& result) const
{
    for (unsigned int i = 0; i < m_Index.GetPackCount(); ++i)
        for (const SKZPackedFile& packed : m_Index.GetPack(i).m_PackedFiles)
            if (!listed.count(&packed))
                result.m_Problems.push_back({PROBLEM_EXTRA, KZInstallLayout::RecordPathOfPacked(packed.m_strPath), "",
                                             std::to_string(packed.m_dwLength)});
}

CKZInstallationVerifier::SResult CKZInstallationVerifier::VerifyPackDirectory(const CKZFileTimeCache& catalogue,
                                                                              const std::string& strPackDirectory,
                                                                              EDepth depth)
{
    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    index.Open(CKZPath(strPackDirectory));
    return CKZInstallationVerifier(catalogue, index).Verify(depth);
}

bool CKZInstallationVerifier::HoldsFileCount(const std::string& strPackDirectory, uint32_t dwCatalogueFiles)
{
    if (dwCatalogueFiles == 0)
        return true;
    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    return index.Open(CKZPath(strPackDirectory)) && index.GetTotalPackedFileCount() == dwCatalogueFiles;
}
