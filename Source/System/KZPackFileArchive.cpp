#include "System/KZPackFileArchive.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZCrc32.h"
#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/KZPackCommit.h"
#include "System/Util/KZFileTimeCache.h"

#include <memory>
#include <optional>

namespace
{
const char* const s_szFile = "Source/System/KZPackFileArchive";

// What stands behind a handle of the archive's I/O interface: a reader of its own over a packed
// file, or the real file at a packed file's path opened for writing.
struct SKZPackedFileHandle
{
    std::optional<CKZPackReader> m_Reader;
    void* m_pDirect = nullptr; // a handle of the archive's underlying interface
};

SKZPackedFileHandle& HandleOf(void* pHandle)
{
    return *static_cast<SKZPackedFileHandle*>(pHandle);
}

// Where a packed file is written below an output directory.
CKZPath OutputPath(const CKZPath& directory, const std::string& strInternalPath)
{
    return CKZPath::FilePath(directory.empty() ? strInternalPath : directory.GetString() + "/" + strInternalPath);
}
} // namespace

CKZPackFileArchive::CKZPackFileArchive()
    : m_pIOInterface(KZFileIO::GetStandardInterface()), m_Index(*m_pIOInterface), m_Rebuilder(m_Index)
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

bool CKZPackFileArchive::OpenPackFile(const CKZPath& directory)
{
    if (m_Index.GetPackCount() != 0)
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "false", "PackFileArchive already opened!");
        return false;
    }
    if (m_Index.Open(directory))
        return true;
    ClosePackFileArchive();
    return false;
}

// Open readers keep what they read: they share the packs' data files, not the index.
bool CKZPackFileArchive::ClosePackFileArchive()
{
    m_Index.Close();
    m_Rebuilder.EndRun();
    return true;
}

unsigned int CKZPackFileArchive::GetPackedFileCount(unsigned int pack) const
{
    return static_cast<unsigned int>(m_Index.GetPack(pack).m_PackedFiles.size());
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

bool CKZPackFileArchive::MapPackedFile(const SKZPackedFile& packed, CKZMappedRegion& region) const
{
    const CKZPackReader reader = m_Index.OpenReader(packed);
    return region.Map(reader.GetDescriptor(), packed.m_dwOffset, packed.m_dwLength);
}

bool CKZPackFileArchive::Extract(const CKZPath& directory)
{
    for (unsigned int i = 0; i < GetPackFileCount(); ++i)
        for (const SKZPackedFile& packed : m_Index.GetPack(i).m_PackedFiles)
            if (!ExtractPackedFile(packed, i, directory))
                return false;
    return true;
}

// The file is read whole and checked against its checksum before anything is written.
bool CKZPackFileArchive::ExtractPackedFile(const SKZPackedFile& packed, unsigned int pack, const CKZPath& directory)
{
    // Pack headers come from outside: a path that would leave the directory creates nothing.
    if (!CKZPath::IsInsideRoot(packed.m_strPath))
    {
        KZ_ERROR(s_szFile, "Could not write to %s", packed.m_strPath.c_str());
        return false;
    }
    CKZFile packedFile(*this);
    const int length = static_cast<int>(packed.m_dwLength);
    if (!packedFile.OpenInMemory(packed.m_strPath.c_str()) || packedFile.GetLength() != length)
    {
        KZ_ERROR(s_szFile, "Could not open packed file %s from packfile %d", packed.m_strPath.c_str(), static_cast<int>(pack));
        return false;
    }
    const void* pContent = packedFile.GetFileStartPtr();
    if (KZCrc32(0, pContent, packed.m_dwLength) != packed.m_dwCheckSum)
    {
        KZ_ERROR(s_szFile, "Packed file %s from packfile %d does not match its checksum", packed.m_strPath.c_str(),
                 static_cast<int>(pack));
        return false;
    }
    const CKZPath output = OutputPath(directory, packed.m_strPath);
    const std::string strOutputDirectory = output.SubPath(KZ_PATH_DIRECTORY);
    if (!strOutputDirectory.empty() && !CKZFile::DirectoryExists(strOutputDirectory.c_str()))
        CKZFile::CreateDir(strOutputDirectory.c_str(), true);
    CKZFile outputFile(*m_pIOInterface);
    if (!outputFile.Open(output.c_str(), "wb"))
    {
        KZ_ERROR(s_szFile, "Could not write to %s", packed.m_strPath.c_str());
        return false;
    }
    // A file that cannot be written in full is a failed extraction, not a short file.
    if (outputFile.Write(pContent, 1, length) != length)
    {
        outputFile.Close();
        CKZFile::RemoveFile(output.c_str());
        KZ_ERROR(s_szFile, "Could not write to %s", packed.m_strPath.c_str());
        return false;
    }
    return true;
}

void* CKZPackFileArchive::Open(const char* szPath, const char* szMode)
{
    const SKZPackedFile* pPacked = szPath && szMode ? GetPackedFileByPath(CKZPath::FilePath(szPath)) : nullptr;
    if (!pPacked)
        return nullptr;
    auto pRecord = std::make_unique<SKZPackedFileHandle>();
    if (szMode[0] == 'w')
    {
        pRecord->m_pDirect = m_pIOInterface->Open(szPath, szMode);
        if (!pRecord->m_pDirect)
            return nullptr;
    }
    else
        pRecord->m_Reader.emplace(m_Index.OpenReader(*pPacked));
    return pRecord.release();
}

int CKZPackFileArchive::Close(void* pHandle)
{
    std::unique_ptr<SKZPackedFileHandle> pRecord(static_cast<SKZPackedFileHandle*>(pHandle));
    if (pRecord && pRecord->m_pDirect)
        m_pIOInterface->Close(pRecord->m_pDirect);
    return 0;
}

int CKZPackFileArchive::Read(void* pBuffer, int elementSize, int count, void* pHandle)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    if (record.m_Reader)
        return record.m_Reader->Read(pBuffer, elementSize, count);
    return m_pIOInterface->Read(pBuffer, elementSize, count, record.m_pDirect);
}

// Packed files are read only; a handle opened for writing is the real file at its path.
int CKZPackFileArchive::Write(const void* pBuffer, int elementSize, int count, void* pHandle)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    return record.m_Reader ? 0 : m_pIOInterface->Write(pBuffer, elementSize, count, record.m_pDirect);
}

int CKZPackFileArchive::Tell(void* pHandle)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    return record.m_Reader ? record.m_Reader->Tell() : m_pIOInterface->Tell(record.m_pDirect);
}

int CKZPackFileArchive::Seek(void* pHandle, int offset, int origin)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    return record.m_Reader ? record.m_Reader->Seek(offset, origin) : m_pIOInterface->Seek(record.m_pDirect, offset, origin);
}

int CKZPackFileArchive::KZEOF(void* pHandle)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    return record.m_Reader ? (record.m_Reader->IsAtEnd() ? 1 : 0) : m_pIOInterface->KZEOF(record.m_pDirect);
}

int CKZPackFileArchive::GetLength(void* pHandle)
{
    SKZPackedFileHandle& record = HandleOf(pHandle);
    if (record.m_Reader)
        return static_cast<int>(record.m_Reader->GetLength());
    return CKZIOInterface::GetLength(pHandle);
}

bool CKZPackFileArchive::Good(void*) const
{
    return true;
}

bool CKZPackFileArchive::DoPatch(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount)
{
    const unsigned int oldCount = GetPackFileCount();
    if (!m_Rebuilder.RebuildPacks(packDirectory, sourceDirectory, packCount))
        return false;
    // The old packs are replaced below: the archive closes (its open readers keep their data).
    ClosePackFileArchive();
    const CKZPackCommit commit(packDirectory);
    if (!commit.Commit(packCount, oldCount))
    {
        // Without its marker the commit changed nothing: the old headers stay, so the bytes this run
        // appended to their data files go again. With it, the next start completes the renames.
        if (!commit.HasCommittedPatch())
            m_Rebuilder.RollBackAppends();
        return false;
    }
    m_Rebuilder.PatchEnd();
    return true;
}

bool CKZPackFileArchive::RemoveTemporaryPatchFiles(const CKZPath& directory, unsigned int count)
{
    CKZPackCommit(directory).RemoveTemporaryPatchFiles(count);
    return true;
}

bool CKZPackFileArchive::FinishInterruptedPatch(const CKZPath& directory)
{
    return CKZPackCommit(directory).FinishInterruptedPatch();
}

bool CKZPackFileArchive::HasCommittedPatch(const CKZPath& directory)
{
    return CKZPackCommit(directory).HasCommittedPatch();
}

void CKZPackFileArchive::RemovePackFiles(const CKZPath& directory, unsigned int first, unsigned int end)
{
    CKZPackCommit(directory).RemovePackFiles(first, end);
}

bool CKZPackFileArchive::CreateFromCacheFile(const CKZFileTimeCache& cacheFile, const CKZPath& sourceDirectory,
                                             const CKZPath& destinationDirectory, const CKZPath& baseDirectory)
{
    return CKZPackRebuilder::CreateFromCacheFile(cacheFile, sourceDirectory, destinationDirectory, baseDirectory);
}

int CKZPackFileArchive::DiffAgainstCacheFile(const CKZPackFileArchive& archive, const CKZFileTimeCache& cacheFile,
                                             const DiffCallback& callback)
{
    const CKZInstallationVerifier::SResult result =
        CKZInstallationVerifier(cacheFile, archive.m_Index).Verify(CKZInstallationVerifier::DEPTH_NAMES);
    for (const CKZInstallationVerifier::SProblem& problem : result.m_Problems)
        callback(problem.m_eProblem == CKZInstallationVerifier::PROBLEM_EXTRA, problem.m_strPath);
    return static_cast<int32_t>(result.m_dwPackedFiles - result.m_dwCatalogueFiles);
}
