#include "System/KZPackIndex.h"

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Base/Debug/KZLog.h"
#include "Base/Serialize/KZFileParser.h"
#include "Base/Util/KZString.h"
#include "System/KZInstallLayout.h"

namespace
{
const char* const s_szFile = "Source/System/KZPackFileArchive";
}

bool CKZPackFile::RemovePackedFile(unsigned int index)
{
    if (index >= m_PackedFiles.size())
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "0", "RemovePackedFile: Packed file index out of bounds.");
        return false;
    }
    for (size_t i = index; i < m_PackedFiles.size(); ++i)
        --m_PackedFiles[i].m_nIndex;
    m_PackedFiles.erase(m_PackedFiles.begin() + index);
    return true;
}

std::string CKZPackIndex::CreateMapKey(const std::string& strPath)
{
    std::string strKey;
    CKZPath::FindFileName(CKZPath::FilePath(strPath).GetString(), strKey);
    KZStrToLower(strKey);
    return strKey;
}

bool CKZPackIndex::Open(const CKZPath& directory)
{
    m_strRootDirectory = directory.GetString();
    for (unsigned int i = 0;; ++i)
    {
        const std::string strName = KZInstallLayout::PackName(i);
        if (!CKZFile::FileExists(KZInstallLayout::PackHeaderName(m_strRootDirectory + strName)))
            break;
        if (!AddPack(strName))
        {
            Close();
            return false;
        }
    }
    if (m_PackFiles.empty())
        return false;
    for (CKZPackFile& pack : m_PackFiles)
    {
        if (!LoadPackHeader(pack))
        {
            Close();
            return false;
        }
    }
    return true;
}

bool CKZPackIndex::AddPack(const std::string& strName)
{
    auto pData = std::make_shared<CKZFileDescriptor>(CKZFileDescriptor::OpenForReading(m_strRootDirectory + strName));
    if (!pData->IsOpen())
        return false;
    m_PackFiles.emplace_back();
    m_PackFiles.back().m_strFileName = strName;
    m_PackFiles.back().m_pData = std::move(pData);
    return true;
}

void CKZPackIndex::Close()
{
    m_PackedFileMap.clear();
    m_PackFiles.clear();
}

bool CKZPackIndex::LoadPackHeader(CKZPackFile& pack)
{
    const std::string strHeaderName = KZInstallLayout::PackHeaderName(pack.m_strFileName);
    CKZFile headerFile(m_HeaderInterface);
    if (!headerFile.OpenInMemory((m_strRootDirectory + strHeaderName).c_str()))
    {
        KZ_ERROR(s_szFile, "Packfile header %s cannot be read", strHeaderName.c_str());
        return false;
    }
    std::unique_ptr<CKZSerializer> pSerializer;
    const int code = CKZFileParser::Load(headerFile, pSerializer);
    if (code != CKZFileParser::LOAD_OK || !pSerializer)
    {
        KZ_ERROR(s_szFile, "Load packfile header returned error code %d", code);
        return false;
    }
    CSA_HEADER header;
    header.Serialize(pSerializer.get());
    CSA_DIRECTORY directory;
    directory.Serialize(pSerializer.get());
    // Damaged header bytes read as missing values: without this check such a header would open as
    // a pack that holds no files, and the caller could not tell it from an empty one.
    if (header.GetMagic() != CSA_MAGIC || directory.dwnumfiles != directory.pfileinfo.size())
    {
        KZ_ERROR(s_szFile, "Packfile header %s cannot be read", strHeaderName.c_str());
        return false;
    }
    pack.m_dwFileVersion = header.dwfileversion;
    pack.m_wMode = header.wmode;
    pack.m_wAlignment = header.walignment;
    const int64_t qwDataLength = pack.m_pData->GetLength();
    if (qwDataLength < 0)
        return false;
    // The map points into the list, which therefore never grows past this.
    pack.m_PackedFiles.reserve(directory.pfileinfo.size());
    for (const CSA_FILEINFO& info : directory.pfileinfo)
        if (!AddPackedFile(pack, info, qwDataLength))
            return false;
    return true;
}

bool CKZPackIndex::AddPackedFile(CKZPackFile& pack, const CSA_FILEINFO& info, int64_t qwDataLength)
{
    // Every entry must lie inside the data file, so no reader is ever sent past its end.
    if (int64_t(info.dwoffset) + info.dwlength > qwDataLength)
    {
        KZ_ERROR(s_szFile, "Packfile header %s names data beyond the end of %s",
                 KZInstallLayout::PackHeaderName(pack.m_strFileName).c_str(), pack.m_strFileName.c_str());
        return false;
    }
    if (info.m_strPath.find('/') != std::string::npos)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "Info.m_strPath.find(\"/\") == string::npos",
                 "PackedFile paths should not contain forward slashes!");
    const std::string strKey = CreateMapKey(info.m_strPath);
    if (m_PackedFileMap.count(strKey))
    {
        KZ_ERROR(s_szFile, "Packed file name %s occurs twice", strKey.c_str());
        return false;
    }
    SKZPackedFile packed;
    packed.m_pPackFile = &pack;
    packed.m_strPath = info.m_strPath;
    packed.m_dwOffset = info.dwoffset;
    packed.m_dwLength = info.dwlength;
    packed.m_dwCheckSum = info.dwchecksum;
    packed.m_FileTime = info.filetime;
    packed.m_nIndex = static_cast<int32_t>(pack.m_PackedFiles.size());
    pack.m_PackedFiles.push_back(std::move(packed));
    m_PackedFileMap[strKey] = &pack.m_PackedFiles.back();
    return true;
}

unsigned int CKZPackIndex::GetTotalPackedFileCount() const
{
    unsigned int total = 0;
    for (const CKZPackFile& pack : m_PackFiles)
        total += static_cast<unsigned int>(pack.m_PackedFiles.size());
    return total;
}

SKZPackedFile* CKZPackIndex::GetPackedFileByInternalRelativePath(const std::string& strInternalRelativePath) const
{
    if (strInternalRelativePath.find('/') != std::string::npos)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "strInternalRelativePath.find(\"/\") == string::npos",
                 "Pack file paths should only contain backslash separators, not forward");
    return FindByKey(CreateMapKey(strInternalRelativePath));
}

SKZPackedFile* CKZPackIndex::GetPackedFileByPath(const CKZPath& path) const
{
    return GetPackedFileByInternalRelativePath(csaGetInternalPath(path.GetString(), m_strRootDirectory));
}

SKZPackedFile* CKZPackIndex::FindByKey(const std::string& strKey) const
{
    const auto found = m_PackedFileMap.find(strKey);
    return found == m_PackedFileMap.end() ? nullptr : found->second;
}

bool CKZPackIndex::SetPackedFilePath(const std::string& strInternalRelativePath, const std::string& strNewPath)
{
    SKZPackedFile* pPacked = GetPackedFileByInternalRelativePath(strInternalRelativePath);
    if (!pPacked || strNewPath.find('/') != std::string::npos || CreateMapKey(strNewPath) != CreateMapKey(pPacked->m_strPath))
        return false;
    pPacked->m_strPath = strNewPath;
    return true;
}

bool CKZPackIndex::Remove(SKZPackedFile& packed)
{
    CKZPackFile& pack = *packed.m_pPackFile;
    m_PackedFileMap.erase(CreateMapKey(packed.m_strPath));
    const int32_t index = packed.m_nIndex;
    if (index < 0 || !pack.RemovePackedFile(static_cast<unsigned int>(index)))
        return false;
    // The files after it moved up one place in the list.
    for (size_t i = static_cast<size_t>(index); i < pack.m_PackedFiles.size(); ++i)
    {
        const auto found = m_PackedFileMap.find(CreateMapKey(pack.m_PackedFiles[i].m_strPath));
        if (found != m_PackedFileMap.end())
            found->second = &pack.m_PackedFiles[i];
    }
    return true;
}

CKZPackReader CKZPackIndex::OpenReader(const SKZPackedFile& packed) const
{
    return CKZPackReader(packed.m_pPackFile->m_pData, packed.m_dwOffset, packed.m_dwLength);
}
