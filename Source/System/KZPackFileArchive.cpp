#include "System/KZPackFileArchive.h"

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Base/Debug/KZLog.h"
#include "Base/Serialize/KZFileParser.h"
#include "Base/Util/KZKillPoint.h"
#include "Base/Util/KZMemory.h"
#include "Base/Util/KZString.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZFileTimeCache.h"

#include "Base/Platform/KZPlatform.h"
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace
{
const char* const s_szFile = "Source/System/KZPackFileArchive";

// What stands behind a handle of the archive's I/O interface.
struct SKZPackedFileHandle
{
    SKZPackedFile* m_pPackedFile = nullptr;
    CKZIOInterface* m_pInterface = nullptr;
    void* m_pHandle = nullptr;
    bool m_bOwned = false;  // the underlying handle is closed with this one
    bool m_bDirect = false; // positions are not translated (files opened for writing)
};

SKZPackedFileHandle* HandleOf(void* pHandle)
{
    return static_cast<SKZPackedFileHandle*>(pHandle);
}

// The underlying position of a packed-file position, or -1 when it cannot be expressed.
// Below this a kept file is copied through the block: the kernel copy's set-up would cost more.
const uint32_t kKernelCopyThreshold = 64 * 1024;

int UnderlyingPosition(int64_t position)
{
    return position < 0 || position > INT_MAX ? -1 : static_cast<int>(position);
}

std::string PathText(const CKZPath& directory, const std::string& strName)
{
    return directory.GetString() + strName;
}

// Written once every rebuilt pack is complete, before the first rename, and removed after the last:
// "<pack count> <old pack count>". While it exists the temporaries are the new packs, and an
// interrupted run's renames are completed rather than its temporaries deleted.
const char* const kPatchCommitName = "p_tmp_commit";
const unsigned int kMaxCommittedPacks = 1u << 20;

bool WriteCommitMarker(const std::string& strPath, unsigned int packCount, unsigned int oldCount)
{
    FILE* pFile = fopen(strPath.c_str(), "wb");
    if (!pFile)
        return false;
    const bool bWritten = fprintf(pFile, "%u %u\n", packCount, oldCount) > 0;
    return fclose(pFile) == 0 && bWritten;
}

// Renames the temporaries of packs first .. end-1 into place; a pack without a temporary was left
// unchanged or is already in place.
bool RenameTemporaries(const CKZPath& directory, unsigned int first, unsigned int end)
{
    for (unsigned int j = first; j < end; ++j)
    {
        const int pack = static_cast<int>(j);
        const std::string strTemporary = PathText(directory, CKZPackFileArchive::CreateFileName(pack, "p_tmp", "csa"));
        const std::string strTarget = PathText(directory, CKZPackFileArchive::CreateFileName(pack, "p", "csa"));
        if (CKZFile::FileExists(strTemporary))
        {
            if (!CKZFile::Rename(strTemporary.c_str(), strTarget.c_str()))
                return false;
            KZKillPoint::Reached("pack-data-renamed");
        }
        const std::string strTemporaryHeader = strTemporary + "header";
        if (CKZFile::FileExists(strTemporaryHeader) &&
            !CKZFile::Rename(strTemporaryHeader.c_str(), (strTarget + "header").c_str()))
            return false;
    }
    return true;
}

// Where a packed file is written below an output directory.
CKZPath OutputPath(const CKZPath& directory, const std::string& strInternalPath)
{
    return CKZPath::FilePath(directory.empty() ? strInternalPath : directory.GetString() + "/" + strInternalPath);
}

// The internal path of a file below the directory part of a base directory.
std::string InternalPathBelow(const std::string& strSource, const CKZPath& base)
{
    std::string strPath = CKZPath::GetRelativePath(CKZPath::FilePath(strSource).c_str(), base.GetDirectory().c_str());
    if (!strPath.empty() && strPath.front() == '/')
        strPath.erase(0, 1);
    std::replace(strPath.begin(), strPath.end(), '/', '\\');
    return strPath;
}
}

bool CKZPackFile::RemovePackedFile(unsigned int index)
{
    if (index >= m_PackedFiles.size())
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "0", "RemovePackedFile: Packed file index out of bounds.");
        return false;
    }
    for (size_t i = index; i < m_PackedFiles.size(); ++i)
        --m_PackedFiles[i]->m_nIndex;
    m_PackedFiles.erase(m_PackedFiles.begin() + index);
    return true;
}

CKZPackFileArchive::CKZPackFileArchive() : m_dwPatchBytesDone(0), m_pIOInterface(KZFileIO::GetStandardInterface())
{
}

CKZPackFileArchive::~CKZPackFileArchive()
{
    ClosePackFileArchive();
}

std::string CKZPackFileArchive::CreateFileName(int index, const char* szBase, const char* szExtension)
{
    return KZInstallLayout::PackFileName(index, szBase, szExtension);
}

std::string CKZPackFileArchive::CreateMapKey(const std::string& strPath)
{
    std::string strKey;
    CKZPath::FindFileName(CKZPath::FilePath(strPath).GetString(), strKey);
    KZStrToLower(strKey);
    return strKey;
}

bool CKZPackFileArchive::OpenPackFile(const CKZPath& directory)
{
    if (!m_PackFiles.empty())
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "false", "PackFileArchive already opened!");
        return false;
    }
    m_strRootDirectory = directory.GetString();
    for (int i = 0;; ++i)
    {
        const std::string strName = CreateFileName(i, "p", "csa");
        const std::string strPath = PathText(directory, strName);
        if (!CKZFile::FileExists(strPath + "header"))
            break;
        void* pFile = m_pIOInterface->Open(strPath.c_str(), "rb");
        if (!pFile)
        {
            ClosePackFileArchive();
            return false;
        }
        m_PackFiles.emplace_back();
        m_PackFiles.back().m_strFileName = strName;
        m_PackFiles.back().m_pFile = pFile;
    }
    if (m_PackFiles.empty())
        return false;
    for (CKZPackFile& pack : m_PackFiles)
    {
        if (!LoadPackHeader(pack))
        {
            ClosePackFileArchive();
            return false;
        }
    }
    return true;
}

bool CKZPackFileArchive::LoadPackHeader(CKZPackFile& pack)
{
    const std::string strHeaderName = pack.m_strFileName + "header";
    CKZFile headerFile(*m_pIOInterface);
    if (!headerFile.OpenInMemory(PathText(CKZPath(m_strRootDirectory), strHeaderName).c_str()))
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
    pack.m_dwFileStart = header.dwfilestart;
    pack.m_dwAlignment = header.walignment;
    pack.m_dwNumFiles = directory.dwnumfiles;

    // Every entry must lie inside the data file, so no reader is ever sent past its end.
    const int dataLength = m_pIOInterface->GetLength(pack.m_pFile);
    if (dataLength < 0)
        return false;
    for (const CSA_FILEINFO& info : directory.pfileinfo)
    {
        if (uint64_t(info.dwoffset) + info.dwlength > uint64_t(dataLength))
        {
            KZ_ERROR(s_szFile, "Packfile header %s names data beyond the end of %s", strHeaderName.c_str(),
                     pack.m_strFileName.c_str());
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
        SKZPackedFile* pPacked = new SKZPackedFile;
        pPacked->m_pPackFile = &pack;
        pPacked->m_strPath = info.m_strPath;
        pPacked->m_dwOffset = info.dwoffset;
        pPacked->m_dwLength = info.dwlength;
        pPacked->m_dwCheckSum = info.dwchecksum;
        pPacked->m_FileTime = info.filetime;
        pPacked->m_nIndex = static_cast<int32_t>(pack.m_PackedFiles.size());
        pack.m_PackedFiles.push_back(pPacked);
        m_PackedFileMap[strKey] = pPacked;
    }
    return true;
}

bool CKZPackFileArchive::ClosePackFileArchive()
{
    for (CKZPackFile& pack : m_PackFiles)
    {
        if (pack.m_pFile)
            m_pIOInterface->Close(pack.m_pFile);
        for (SKZPackedFile* pPacked : pack.m_PackedFiles)
            delete pPacked;
    }
    m_PackFiles.clear();
    m_PackedFileMap.clear();
    KZFree(m_pPatchMemoryBlock);
    m_pPatchMemoryBlock = nullptr;
    return true;
}

unsigned int CKZPackFileArchive::GetPackedFileCount(unsigned int pack) const
{
    return static_cast<unsigned int>(m_PackFiles[pack].m_PackedFiles.size());
}

unsigned int CKZPackFileArchive::GetTotalPackedFileCount() const
{
    unsigned int total = 0;
    for (const CKZPackFile& pack : m_PackFiles)
        total += static_cast<unsigned int>(pack.m_PackedFiles.size());
    return total;
}

uint32_t CKZPackFileArchive::GetPackedFileLength(unsigned int pack, unsigned int file) const
{
    return m_PackFiles[pack].m_PackedFiles[file]->m_dwLength;
}

uint32_t CKZPackFileArchive::GetPackedFileOffset(unsigned int pack, unsigned int file) const
{
    return m_PackFiles[pack].m_PackedFiles[file]->m_dwOffset;
}

uint32_t CKZPackFileArchive::GetPackedFileCheckSum(unsigned int pack, unsigned int file) const
{
    return m_PackFiles[pack].m_PackedFiles[file]->m_dwCheckSum;
}

const char* CKZPackFileArchive::GetPackedFilePath(unsigned int pack, unsigned int file) const
{
    return m_PackFiles[pack].m_PackedFiles[file]->m_strPath.c_str();
}

SKZFileTime CKZPackFileArchive::GetPackedFileTime(unsigned int pack, unsigned int file) const
{
    return m_PackFiles[pack].m_PackedFiles[file]->m_FileTime;
}

SKZPackedFile* CKZPackFileArchive::GetPackedFileByInternalRelativePath(const std::string& strInternalRelativePath) const
{
    if (strInternalRelativePath.find('/') != std::string::npos)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "strInternalRelativePath.find(\"/\") == string::npos",
                 "Pack file paths should only contain backslash separators, not forward");
    const auto found = m_PackedFileMap.find(CreateMapKey(strInternalRelativePath));
    return found == m_PackedFileMap.end() ? nullptr : found->second;
}

bool CKZPackFileArchive::SetPackedFilePath(const std::string& strInternalRelativePath, const std::string& strNewPath)
{
    SKZPackedFile* pPacked = GetPackedFileByInternalRelativePath(strInternalRelativePath);
    if (!pPacked || strNewPath.find('/') != std::string::npos || CreateMapKey(strNewPath) != CreateMapKey(pPacked->m_strPath))
        return false;
    pPacked->m_strPath = strNewPath;
    return true;
}

SKZPackedFile* CKZPackFileArchive::GetPackedFileByPath(const CKZPath& path) const
{
    return GetPackedFileByInternalRelativePath(csaGetInternalPath(path.GetString(), m_strRootDirectory));
}

uint32_t CKZPackFileArchive::GetPackedFileLength(const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    return pPacked ? pPacked->m_dwLength : 0;
}

uint32_t CKZPackFileArchive::GetPackedFileOffset(const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    return pPacked ? pPacked->m_dwOffset : 0;
}

uint32_t CKZPackFileArchive::GetPackedFileCheckSum(const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    return pPacked ? pPacked->m_dwCheckSum : 0;
}

const char* CKZPackFileArchive::GetPackedFilePath(const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    return pPacked ? pPacked->m_strPath.c_str() : nullptr;
}

SKZFileTime CKZPackFileArchive::GetPackedFileTime(const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    return pPacked ? pPacked->m_FileTime : SKZFileTime();
}

bool CKZPackFileArchive::GetPackedFilePackFileIndex(unsigned int* pIndex, const CKZPath& path) const
{
    const SKZPackedFile* pPacked = GetPackedFileByPath(path);
    if (!pPacked)
        return false;
    *pIndex = GetPackFileIndex(*pPacked);
    return true;
}

bool CKZPackFileArchive::Extract(const CKZPath& directory)
{
    for (size_t i = 0; i < m_PackFiles.size(); ++i)
    {
        for (const SKZPackedFile* pPacked : m_PackFiles[i].m_PackedFiles)
        {
            // Pack headers come from outside: a path that would leave the directory creates nothing.
            if (!CKZPath::IsInsideRoot(pPacked->m_strPath))
            {
                KZ_ERROR(s_szFile, "Could not write to %s", pPacked->m_strPath.c_str());
                return false;
            }
            CKZFile packedFile(*this);
            const int length = static_cast<int>(pPacked->m_dwLength);
            if (!packedFile.OpenInMemory(pPacked->m_strPath.c_str()) || packedFile.GetLength() != length)
            {
                KZ_ERROR(s_szFile, "Could not open packed file %s from packfile %d", pPacked->m_strPath.c_str(),
                         static_cast<int>(i));
                return false;
            }
            const void* pContent = packedFile.GetFileStartPtr();
            if (crc32(0L, static_cast<const Bytef*>(pContent), pPacked->m_dwLength) != pPacked->m_dwCheckSum)
            {
                KZ_ERROR(s_szFile, "Packed file %s from packfile %d does not match its checksum",
                         pPacked->m_strPath.c_str(), static_cast<int>(i));
                return false;
            }
            const CKZPath output = OutputPath(directory, pPacked->m_strPath);
            const std::string strOutputDirectory = output.SubPath(KZ_PATH_DIRECTORY);
            if (!strOutputDirectory.empty() && !CKZFile::DirectoryExists(strOutputDirectory.c_str()))
                CKZFile::CreateDir(strOutputDirectory.c_str(), true);
            CKZFile outputFile(*m_pIOInterface);
            if (!outputFile.Open(output.c_str(), "wb"))
            {
                KZ_ERROR(s_szFile, "Could not write to %s", pPacked->m_strPath.c_str());
                return false;
            }
            // A file that cannot be written in full is a failed extraction, not a short file.
            if (outputFile.Write(pContent, 1, length) != length)
            {
                outputFile.Close();
                CKZFile::RemoveFile(output.c_str());
                KZ_ERROR(s_szFile, "Could not write to %s", pPacked->m_strPath.c_str());
                return false;
            }
        }
    }
    return true;
}

void* CKZPackFileArchive::Open(const char* szPath, const char* szMode)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    SKZPackedFile* pPacked = szPath && szMode ? GetPackedFileByPath(CKZPath::FilePath(szPath)) : nullptr;
    if (!pPacked)
        return nullptr;
    std::unique_ptr<SKZPackedFileHandle> pRecord(new SKZPackedFileHandle);
    pRecord->m_pPackedFile = pPacked;
    pRecord->m_pInterface = m_pIOInterface;
    if (szMode[0] == 'w')
    {
        pRecord->m_bOwned = true;
        pRecord->m_bDirect = true;
        pRecord->m_pHandle = m_pIOInterface->Open(szPath, szMode);
        return pRecord->m_pHandle ? pRecord.release() : nullptr;
    }
    CKZPackFile* pPack = pPacked->m_pPackFile;
    if (pPack->m_pFile)
    {
        pRecord->m_pHandle = pPack->m_pFile;
        pPack->m_pFile = nullptr;
    }
    else
    {
        pRecord->m_pHandle = m_pIOInterface->Open(PathText(CKZPath(m_strRootDirectory), pPack->m_strFileName).c_str(), "rb");
        pRecord->m_bOwned = true;
        if (!pRecord->m_pHandle)
        {
            KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "pPackFile->m_pFile", "%s", "");
            return nullptr;
        }
    }
    if (m_pIOInterface->Tell(pRecord->m_pHandle) != UnderlyingPosition(pPacked->m_dwOffset))
        m_pIOInterface->Seek(pRecord->m_pHandle, UnderlyingPosition(pPacked->m_dwOffset), 0);
    return pRecord.release();
}

int CKZPackFileArchive::Close(void* pHandle)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    if (!pRecord)
        return 0;
    if (pRecord->m_bOwned)
        pRecord->m_pInterface->Close(pRecord->m_pHandle);
    else
        pRecord->m_pPackedFile->m_pPackFile->m_pFile = pRecord->m_pHandle;
    delete pRecord;
    return 0;
}

int CKZPackFileArchive::Read(void* pBuffer, int elementSize, int count, void* pHandle)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    if (!pRecord->m_bDirect && elementSize > 0 && count > 0)
    {
        // A read stops at the packed file's end instead of running into the next file's bytes.
        const int64_t end = int64_t(pRecord->m_pPackedFile->m_dwOffset) + pRecord->m_pPackedFile->m_dwLength;
        const int64_t remaining = std::max<int64_t>(0, end - pRecord->m_pInterface->Tell(pRecord->m_pHandle));
        count = static_cast<int>(std::min<int64_t>(count, remaining / elementSize));
        if (count == 0)
            return 0;
    }
    return pRecord->m_pInterface->Read(pBuffer, elementSize, count, pRecord->m_pHandle);
}

int CKZPackFileArchive::Write(const void* pBuffer, int elementSize, int count, void* pHandle)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    return pRecord->m_pInterface->Write(pBuffer, elementSize, count, pRecord->m_pHandle);
}

int CKZPackFileArchive::Tell(void* pHandle)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    const int position = pRecord->m_pInterface->Tell(pRecord->m_pHandle);
    if (pRecord->m_bDirect || position < 0)
        return position;
    return static_cast<int>(int64_t(position) - pRecord->m_pPackedFile->m_dwOffset);
}

int CKZPackFileArchive::Seek(void* pHandle, int offset, int origin)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    if (pRecord->m_bDirect)
        return pRecord->m_pInterface->Seek(pRecord->m_pHandle, offset, origin);
    const SKZPackedFile& packed = *pRecord->m_pPackedFile;
    int64_t target = 0;
    switch (origin)
    {
    case 0:
        target = int64_t(packed.m_dwOffset) + offset;
        break;
    case 1:
        return pRecord->m_pInterface->Seek(pRecord->m_pHandle, offset, 1);
    case 2:
        target = int64_t(packed.m_dwOffset) + packed.m_dwLength + offset;
        break;
    default:
        return 0;
    }
    const int position = UnderlyingPosition(target);
    return position < 0 ? -1 : pRecord->m_pInterface->Seek(pRecord->m_pHandle, position, 0);
}

int CKZPackFileArchive::KZEOF(void* pHandle)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    if (!pRecord->m_bDirect)
    {
        const uint32_t position = static_cast<uint32_t>(pRecord->m_pInterface->Tell(pRecord->m_pHandle));
        if (uint64_t(position) >= uint64_t(pRecord->m_pPackedFile->m_dwOffset) + pRecord->m_pPackedFile->m_dwLength)
            return 1;
    }
    return pRecord->m_pInterface->KZEOF(pRecord->m_pHandle);
}

int CKZPackFileArchive::GetLength(void* pHandle)
{
    SKZPackedFileHandle* pRecord = HandleOf(pHandle);
    if (pRecord->m_bDirect)
        return CKZIOInterface::GetLength(pHandle);
    return static_cast<int>(pRecord->m_pPackedFile->m_dwLength);
}

bool CKZPackFileArchive::Good(void*) const
{
    return true;
}

void CKZPackFileArchive::PatchBegin()
{
    if (!m_pPatchMemoryBlock)
        m_pPatchMemoryBlock = static_cast<uint8_t*>(KZMalloc(PATCH_BLOCK_SIZE));
    m_dwPatchBytesDone.store(0);
    m_dwPatchFilesDone = 0;
    m_dwPatchPackLimit = 0;
    m_dwPatchPacksWritten = 0;
    m_dwPatchPackCount = 0;
    for (CKZPackFile& pack : m_PackFiles)
        pack.m_bModified = false;
}

SKZPatchFileInfo& CKZPackFileArchive::GetPatchFileInfo(unsigned int pack, const CKZPath& path)
{
    SKZPatchFileInfo info;
    info.m_dwPackIndex = pack;
    info.m_strPath = CKZPath::FilePath(path.GetString()).GetString();
    m_PatchFiles.push_back(info);
    return m_PatchFiles.back();
}

void CKZPackFileArchive::MarkForPatch(unsigned int pack)
{
    if (pack < m_PackFiles.size())
        m_PackFiles[pack].m_bModified = true;
}

void CKZPackFileArchive::AddPatchFile(unsigned int pack, const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock", "Run PatchBegin first!");
    GetPatchFileInfo(pack, path).m_bAdd = true;
    m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, pack + 1);
    MarkForPatch(pack);
}

bool CKZPackFileArchive::PatchMoveFile(unsigned int sourcePack, unsigned int targetPack, const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock", "Run PatchBegin first!");
    GetPatchFileInfo(targetPack, path).m_bMove = true;
    m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, targetPack + 1);
    MarkForPatch(targetPack);
    MarkForPatch(sourcePack);
    return true;
}

int CKZPackFileArchive::RemovePatchFile(const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock != nullptr",
                 "Run CKZPackFileArchive::PatchBegin before RemovePatchFile!");
        return -1;
    }
    const auto found = m_PackedFileMap.find(CreateMapKey(path.GetString()));
    if (found == m_PackedFileMap.end())
        return 0;
    SKZPackedFile* pPacked = found->second;
    CKZPackFile* pPack = pPacked->m_pPackFile;
    const bool bRemoveOK = pPacked->m_nIndex >= 0 && pPack->RemovePackedFile(static_cast<unsigned int>(pPacked->m_nIndex));
    m_PackedFileMap.erase(found);
    pPack->m_bModified = true;
    if (!bRemoveOK)
    {
        // The record stays in its pack's list, which owns it; only the index forgets it.
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "bRemoveOK", "The packed file could not be removed from the packfile.");
        return -1;
    }
    delete pPacked;
    return 1;
}

void CKZPackFileArchive::PatchEnd()
{
    m_PatchFiles.clear();
}

bool CKZPackFileArchive::DoPatch(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount)
{
    if (!m_pPatchMemoryBlock)
        return false;
    const unsigned int oldCount = GetPackFileCount();

    std::unordered_set<std::string> movedNames;
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
    {
        const SKZPatchFileInfo& entry = m_PatchFiles[i];
        if (entry.m_bMove && !entry.m_bAdd)
            movedNames.insert(CreateMapKey(entry.m_strPath));
        else if (RemovePatchFile(CKZPath(entry.m_strPath)) < 0)
            return false;
    }
    // The rebuild set is taken after the old copies of added files left their packs: a pack that
    // lost a file must be rewritten even when the caller did not mark it, or it would still hold
    // the old copy and the next open would find the name twice.
    std::vector<bool> rebuild(oldCount);
    for (unsigned int i = 0; i < oldCount; ++i)
        rebuild[i] = m_PackFiles[i].m_bModified;

    for (unsigned int i = 0; i < oldCount; ++i)
    {
        for (const SKZPackedFile* pPacked : m_PackFiles[i].m_PackedFiles)
        {
            if (movedNames.count(CreateMapKey(pPacked->m_strPath)))
                continue;
            GetPatchFileInfo(i, CKZPath(sourceDirectory.GetString() + pPacked->m_strPath)).m_bAdd = true;
            m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, i + 1);
            m_PackFiles[i].m_bModified = true;
        }
    }

    // A name given twice is stored once, where its last entry puts it: two copies would make the
    // directory impossible to open.
    std::unordered_map<std::string, size_t> lastEntries;
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
        lastEntries[CreateMapKey(m_PatchFiles[i].m_strPath)] = i;

    m_dwPatchPackCount = packCount;
    for (unsigned int m = 0; m < packCount; ++m)
    {
        if (m < oldCount && !rebuild[m])
        {
            m_dwPatchFilesDone += GetPackedFileCount(m);
            m_dwPatchBytesDone.fetch_add(CKZFile::GetFileSize(PathText(packDirectory, CreateFileName(m, "p", "csa")).c_str()));
            continue;
        }
        if (!RebuildPack(m, packDirectory, sourceDirectory, lastEntries))
            return false;
        KZKillPoint::Reached("pack-rebuilt");
    }

    ClosePackFileArchive();
    // Rebuilt packs replace their targets by renaming; only packs beyond the new count are deleted.
    // The commit marker lets the next run complete renames that an interruption cut short, so a
    // pack never keeps new data with an old header.
    const std::string strCommit = PathText(packDirectory, kPatchCommitName);
    if (!WriteCommitMarker(strCommit, packCount, oldCount))
        return false;
    RemovePackFiles(packDirectory, packCount, oldCount);
    if (!RenameTemporaries(packDirectory, 0, packCount))
        return false;
    KZKillPoint::Reached("packs-renamed");
    CKZFile::RemoveFile(strCommit.c_str());
    m_PatchFiles.clear();
    return true;
}

bool CKZPackFileArchive::RebuildPack(unsigned int pack, const CKZPath& packDirectory, const CKZPath& sourceDirectory,
                                     const std::unordered_map<std::string, size_t>& lastEntries)
{
    void* pList = csaCreateGroceryList();
    if (!pList)
        return false;
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
    {
        const SKZPatchFileInfo& entry = m_PatchFiles[i];
        if (entry.m_dwPackIndex != pack || lastEntries.at(CreateMapKey(entry.m_strPath)) != i)
            continue;
        const std::string strInternal = InternalPathBelow(entry.m_strPath, sourceDirectory);
        if (!csaAddGrocery(pList, strInternal.c_str(), entry.m_strPath.c_str()))
        {
            csaDestroyGroceryList(pList);
            return false;
        }
    }
    const std::string strTemporary = PathText(packDirectory, CreateFileName(static_cast<int>(pack), "p_tmp", "csa"));
    void* csa = csaCreate(strTemporary.c_str(), 256, 0, 1);
    if (!csa)
    {
        csaDestroyGroceryList(pList);
        return false;
    }
    using namespace std::placeholders;
    m_strPatchTarget = strTemporary;
    const bool bStored =
        csaStoreGroceryList(csa, pList, std::bind(&CKZPackFileArchive::ColdCompilerWriteFile, this, _1, _2, _3, _4));
    if (m_nPatchTargetFd >= 0)
        close(m_nPatchTargetFd);
    m_nPatchTargetFd = -1;
    m_strPatchTarget.clear();
    csaDestroyGroceryList(pList);
    // A failed store has already destroyed the container.
    if (!bStored)
        return false;
    csaClose(csa);
    ++m_dwPatchPacksWritten;
    return true;
}

bool CKZPackFileArchive::CopyIntoContainer(std::fstream& stream, void* pSource, uint32_t dwLength, uint32_t* pCrc)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    for (uint32_t dwLeft = dwLength; dwLeft > 0;)
    {
        const int want = static_cast<int>(std::min(dwLeft, PATCH_BLOCK_SIZE));
        const int got = m_pIOInterface->Read(m_pPatchMemoryBlock, 1, want, pSource);
        if (got <= 0)
            return false;
        if (pCrc)
            crc = crc32(crc, m_pPatchMemoryBlock, static_cast<uInt>(got));
        stream.write(reinterpret_cast<const char*>(m_pPatchMemoryBlock), got);
        if (stream.fail())
        {
            KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pFile->m_pFStream->fail()", "%s", "");
            return false;
        }
        dwLeft -= static_cast<uint32_t>(std::min(got, want));
    }
    if (pCrc)
        *pCrc = static_cast<uint32_t>(crc);
    return true;
}

// Copies as much as the kernel will of a kept file's bytes, from the source handle's position to the
// stream's, and leaves both positioned after what was copied; answers the bytes copied. Kept files
// need no checksum, so their bytes never have to pass through this process.
uint32_t CKZPackFileArchive::CopyInKernel(std::fstream& stream, void* pSource, uint32_t dwLength)
{
    const int fdIn = m_pIOInterface->GetDescriptor(pSource);
    const int in = m_pIOInterface->Tell(pSource);
    if (fdIn < 0 || in < 0 || m_strPatchTarget.empty() || !stream.flush())
        return 0;
    const int64_t out = static_cast<int64_t>(stream.tellp());
    if (out < 0)
        return 0;
    if (m_nPatchTargetFd < 0)
        m_nPatchTargetFd = open(m_strPatchTarget.c_str(), O_WRONLY | O_CLOEXEC);
    if (m_nPatchTargetFd < 0)
        return 0;
    uint32_t dwCopied = 0;
    while (dwCopied < dwLength)
    {
        const int64_t copied =
            KZPlatform::CopyFileRange(fdIn, in + int64_t(dwCopied), m_nPatchTargetFd, out + dwCopied, dwLength - dwCopied);
        if (copied <= 0)
            break;
        dwCopied += static_cast<uint32_t>(copied);
    }
    if (dwCopied > 0)
    {
        stream.seekp(out + dwCopied);
        m_pIOInterface->Seek(pSource, in + static_cast<int>(dwCopied), 0);
    }
    return dwCopied;
}

bool CKZPackFileArchive::ColdCompilerWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& entry)
{
    _CSAFILE* pContainer = static_cast<_CSAFILE*>(csa);
    const _CSAGROCERY* pGrocery = static_cast<const _CSAGROCERY*>(grocery);
    if (!pContainer || !pGrocery || !pContainer->m_pFStream || !m_pPatchMemoryBlock)
        return false;
    const uint32_t dwAlignment = pContainer->header.walignment;
    if (dwAlignment == 0)
        return false;
    std::fstream& stream = *pContainer->m_pFStream;

    const SKZPackedFile* pPacked =
        GetPackedFileByInternalRelativePath(csaGetInternalPath(pGrocery->szSourcePath, m_strRootDirectory));
    void* pSource = nullptr;
    bool bOwnSource = false;
    uint32_t dwLength = 0;
    uint32_t dwChecksum = 0;
    if (pPacked)
    {
        // Kept and moved files are copied straight out of the old pack data.
        pSource = pPacked->m_pPackFile->m_pFile;
        if (!pSource) // lent to a reader: no handle may be held during a patch run
            return false;
        if (m_pIOInterface->Tell(pSource) != UnderlyingPosition(pPacked->m_dwOffset) &&
            m_pIOInterface->Seek(pSource, UnderlyingPosition(pPacked->m_dwOffset), 0) != 0)
            return false;
        dwLength = pPacked->m_dwLength;
        entry.filetime = pPacked->m_FileTime;
        entry.dwchecksum = pPacked->m_dwCheckSum;
    }
    else
    {
        pSource = m_pIOInterface->Open(pGrocery->szSourcePath, "rb");
        if (!pSource)
        {
            KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "pFileOnDisk", "%s", "");
            return false;
        }
        bOwnSource = true;
        const int length = m_pIOInterface->GetLength(pSource);
        SKZFileTime creation;
        if (length < 0 || !CKZFile::GetFileTime(pGrocery->szSourcePath, &creation, nullptr, nullptr))
        {
            m_pIOInterface->Close(pSource);
            return false;
        }
        dwLength = static_cast<uint32_t>(length);
        entry.filetime = creation;
    }

    const uint64_t qwFilled = (uint64_t(dwLength) + dwAlignment - 1) / dwAlignment * dwAlignment;
    // A new file's checksum is taken from the bytes as they are copied: one read, and the
    // checksum always describes the stored data.
    // Large kept files go through the kernel where the file system allows; the rest (and new files,
    // whose checksum is taken on the way) through the block.
    const uint32_t dwInKernel = !bOwnSource && dwLength >= kKernelCopyThreshold ? CopyInKernel(stream, pSource, dwLength) : 0;
    bool bOK = qwFilled <= UINT32_MAX && !stream.fail() &&
               CopyIntoContainer(stream, pSource, dwLength - dwInKernel, bOwnSource ? &dwChecksum : nullptr);
    if (bOwnSource)
    {
        m_pIOInterface->Close(pSource);
        entry.dwchecksum = dwChecksum;
    }
    if (!bOK)
        return false;
    // Only the bytes of the fill are zeroed: with the usual alignment of 1 there is none.
    const uint64_t qwFillTotal = qwFilled - dwLength;
    memset(m_pPatchMemoryBlock, 0, static_cast<size_t>(std::min<uint64_t>(qwFillTotal, PATCH_BLOCK_SIZE)));
    for (uint64_t qwFill = qwFillTotal; qwFill > 0;)
    {
        const uint64_t piece = std::min<uint64_t>(qwFill, PATCH_BLOCK_SIZE);
        stream.write(reinterpret_cast<const char*>(m_pPatchMemoryBlock), static_cast<std::streamsize>(piece));
        if (stream.fail())
        {
            KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pFile->m_pFStream->fail()", "%s", "");
            return false;
        }
        qwFill -= piece;
    }
    lengths = CSA_LENGTHS(dwLength, static_cast<uint32_t>(qwFilled));
    m_dwPatchBytesDone.fetch_add(dwLength);
    ++m_dwPatchFilesDone;
    return true;
}

bool CKZPackFileArchive::FinishInterruptedPatch(const CKZPath& directory)
{
    const std::string strCommit = PathText(directory, kPatchCommitName);
    FILE* pFile = fopen(strCommit.c_str(), "rb");
    if (!pFile)
        return false;
    unsigned int packCount = 0, oldCount = 0;
    const bool bRead = fscanf(pFile, "%u %u", &packCount, &oldCount) == 2;
    fclose(pFile);
    // A marker that cannot be read completes nothing: the temporaries are then deleted as leftovers
    // and the packs are judged by the next run as they are.
    if (bRead && packCount <= kMaxCommittedPacks && oldCount <= kMaxCommittedPacks)
    {
        RemovePackFiles(directory, packCount, oldCount);
        if (!RenameTemporaries(directory, 0, packCount))
            return false;
    }
    CKZFile::RemoveFile(strCommit.c_str());
    return bRead;
}

bool CKZPackFileArchive::HasCommittedPatch(const CKZPath& directory)
{
    return CKZFile::FileExists(PathText(directory, kPatchCommitName));
}

bool CKZPackFileArchive::RemoveTemporaryPatchFiles(const CKZPath& directory, unsigned int count)
{
    for (unsigned int j = 0; j < count; ++j)
    {
        const std::string strPath = PathText(directory, CreateFileName(static_cast<int>(j), "p_tmp", "csa"));
        CKZFile::RemoveFile(strPath.c_str());
        CKZFile::RemoveFile((strPath + "header").c_str());
    }
    return true;
}

void CKZPackFileArchive::RemovePackFiles(const CKZPath& directory, unsigned int first, unsigned int end)
{
    if (directory.empty())
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pathPackFilesDirectory.empty()", "%s", "");
    // The header goes first: a pack whose removal is cut short then ends the discovery instead of
    // naming a data file that is gone.
    for (unsigned int c = first; c < end; ++c)
    {
        const std::string strPath = PathText(directory, CreateFileName(static_cast<int>(c), "p", "csa"));
        CKZFile::RemoveFile((strPath + "header").c_str());
        CKZFile::RemoveFile(strPath.c_str());
    }
}

bool CKZPackFileArchive::CreateFromCacheFile(const CKZFileTimeCache& cacheFile, const CKZPath& sourceDirectory,
                                             const CKZPath& destinationDirectory, const CKZPath& baseDirectory)
{
    const auto& records = cacheFile.GetRawData();
    uint32_t dwPackCount = 0;
    for (const auto& record : records)
        dwPackCount = std::max(dwPackCount, record.second->m_dwZipIndex + 1);

    size_t iWrittenFiles = 0;
    for (uint32_t j = 0; j < dwPackCount; ++j)
    {
        void* pList = csaCreateGroceryList();
        for (const auto& record : records)
        {
            if (record.second->m_dwZipIndex != j)
                continue;
            const std::string strSource =
                CKZPath::FilePath(sourceDirectory.GetString() + record.second->GetRelativePath()).GetString();
            const std::string strInternal = InternalPathBelow(strSource, baseDirectory);
            if (strInternal.empty())
                KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!strRelativePath.empty()", "%s", "");
            if (!csaAddGrocery(pList, strInternal.c_str(), strSource.c_str()))
            {
                csaDestroyGroceryList(pList);
                return false;
            }
            ++iWrittenFiles;
        }
        const std::string strPack = PathText(destinationDirectory, CreateFileName(static_cast<int>(j), "p", "csa"));
        void* csa = csaCreate(strPack.c_str(), 256, 0, 1);
        if (!csa || !csaStoreGroceryList(csa, pList, csaWriteFile))
        {
            csaDestroyGroceryList(pList);
            return false;
        }
        csaDestroyGroceryList(pList);
        csaClose(csa);
    }
    if (records.size() != iWrittenFiles)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "cacheFile.GetRawData().size() == iWrittenFiles", "%s", "");

    CKZPackFileArchive archive;
    const bool bOpened = archive.OpenPackFile(destinationDirectory);
    if (!bOpened)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "archive.OpenPackFile(destinationDirectory)",
                 "Failed to open pack file (%s)", destinationDirectory.c_str());
    const unsigned int dwTotalFileCountInArchive = bOpened ? archive.GetTotalPackedFileCount() : 0;
    archive.ClosePackFileArchive();
    if (dwTotalFileCountInArchive != iWrittenFiles)
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "dwTotalFileCountInArchive == iWrittenFiles",
                 "Number of files (%d) in archive [%s] differs from the number of written files (%d)",
                 static_cast<int>(dwTotalFileCountInArchive), destinationDirectory.c_str(), static_cast<int>(iWrittenFiles));
        return false;
    }
    return iWrittenFiles == records.size();
}

int CKZPackFileArchive::DiffAgainstCacheFile(const CKZPackFileArchive& archive, const CKZFileTimeCache& cacheFile,
                                             const DiffCallback& callback)
{
    const auto& records = cacheFile.GetRawData();
    for (const auto& record : records)
    {
        const std::string& strName = record.second->m_strName;
        if (!archive.GetPackedFileByInternalRelativePath(csaGetInternalPath(strName, archive.m_strRootDirectory)))
            callback(false, strName);
    }
    for (const CKZPackFile& pack : archive.m_PackFiles)
    {
        for (const SKZPackedFile* pPacked : pack.m_PackedFiles)
        {
            std::string strName;
            CKZPath::FindFileName(pPacked->m_strPath, strName);
            if (!records.count(strName))
                callback(true, strName);
        }
    }
    return static_cast<int32_t>(archive.GetTotalPackedFileCount() - records.size());
}
