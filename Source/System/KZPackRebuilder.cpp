#include "System/KZPackRebuilder.h"

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Base/Core/KZIOInterface.h"
#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZCrc32.h"
#include "Base/Platform/KZPlatform.h"
#include "Base/Util/KZKillPoint.h"
#include "Base/Util/KZMemory.h"
#include "System/KZContainerBuilder.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZFileTimeCache.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace
{
const char* const s_szFile = "Source/System/KZPackFileArchive";

// Below this a kept file is copied through the block: the kernel copy's set-up would cost more.
const uint32_t kKernelCopyThreshold = 64 * 1024;
// The container refuses a file of this size or more once it is written; it is refused before.
const uint64_t kMaxFilledLength = uint64_t(1) << 31;
// An append copies through this much of the block at a time: a piece that stays in the processor's
// cache between the read, the checksum and the write, and leaves the rest of the block untouched.
const uint32_t kAppendPiece = 256 * 1024;

// The internal path of a file below the directory part of a base directory.
std::string InternalPathBelow(const std::string& strSource, const CKZPath& base)
{
    std::string strPath = CKZPath::GetRelativePath(CKZPath::FilePath(strSource).c_str(), base.GetDirectory().c_str());
    if (!strPath.empty() && strPath.front() == '/')
        strPath.erase(0, 1);
    std::replace(strPath.begin(), strPath.end(), '/', '\\');
    return strPath;
}

bool WriteToContainer(std::fstream& stream, const uint8_t* pBytes, size_t size)
{
    if (!KZFileIO::AdmitWrite(size))
        stream.setstate(std::ios::failbit);
    else
        stream.write(reinterpret_cast<const char*>(pBytes), static_cast<std::streamsize>(size));
    if (stream.fail())
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pFile->m_pFStream->fail()", "%s", "");
        return false;
    }
    return true;
}

// Only the bytes of the fill are zeroed: with the usual alignment of 1 there is none.
bool WriteFill(std::fstream& stream, uint8_t* pBlock, uint64_t qwFill)
{
    memset(pBlock, 0, static_cast<size_t>(std::min<uint64_t>(qwFill, CKZPackRebuilder::PATCH_BLOCK_SIZE)));
    for (uint64_t qwLeft = qwFill; qwLeft > 0;)
    {
        const uint64_t piece = std::min<uint64_t>(qwLeft, CKZPackRebuilder::PATCH_BLOCK_SIZE);
        if (!WriteToContainer(stream, pBlock, static_cast<size_t>(piece)))
            return false;
        qwLeft -= piece;
    }
    return true;
}

uint64_t Filled(uint64_t qwLength, uint32_t dwAlignment)
{
    return (qwLength + dwAlignment - 1) / dwAlignment * dwAlignment;
}

// The grocery texts as csaAddGrocery keeps them, so that an append names a file as a rebuild would.
std::string GroceryText(const std::string& strText)
{
    return strText.substr(0, std::min(strText.find('\0'), CSA_MAX_PATH_TEXT));
}

// Writes bytes at an offset of a descriptor, after the write back end admitted them.
bool WriteAt(int fd, const uint8_t* pBytes, size_t size, uint64_t qwOffset)
{
    bool bWritten = KZFileIO::AdmitWrite(size);
    while (bWritten && size > 0)
    {
        const ssize_t written = pwrite(fd, pBytes, size, static_cast<off_t>(qwOffset));
        if (written < 0 && errno == EINTR)
            continue;
        bWritten = written > 0;
        if (bWritten)
        {
            pBytes += written;
            size -= static_cast<size_t>(written);
            qwOffset += static_cast<uint64_t>(written);
        }
    }
    if (!bWritten)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pFile->m_pFStream->fail()", "%s", "");
    return bWritten;
}

bool WriteZerosAt(int fd, uint8_t* pBlock, uint64_t qwCount, uint64_t qwOffset)
{
    memset(pBlock, 0, static_cast<size_t>(std::min<uint64_t>(qwCount, kAppendPiece)));
    for (uint64_t qwLeft = qwCount; qwLeft > 0;)
    {
        const uint64_t piece = std::min<uint64_t>(qwLeft, kAppendPiece);
        if (!WriteAt(fd, pBlock, static_cast<size_t>(piece), qwOffset))
            return false;
        qwLeft -= piece;
        qwOffset += piece;
    }
    return true;
}

// Copies up to dwLength bytes between two descriptors inside the kernel; answers the bytes copied.
// A write the back end refuses ends the copy there: the caller's block copy then fails the same way.
uint32_t CopyRangeInKernel(int fdIn, int64_t in, int fdOut, int64_t out, uint32_t dwLength)
{
    uint32_t dwCopied = 0;
    while (dwCopied < dwLength && KZFileIO::AdmitWrite(dwLength - dwCopied))
    {
        const int64_t copied = KZPlatform::CopyFileRange(fdIn, in + dwCopied, fdOut, out + dwCopied, dwLength - dwCopied);
        if (copied <= 0)
            break;
        dwCopied += static_cast<uint32_t>(copied);
    }
    return dwCopied;
}

// Device and inode of a path or descriptor: an append goes only to the data file the index read.
bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
} // namespace

void CKZPackRebuilder::SBlockDeleter::operator()(uint8_t* pBlock) const
{
    KZFree(pBlock);
}

void CKZPackRebuilder::PatchBegin()
{
    if (!m_pPatchMemoryBlock)
        m_pPatchMemoryBlock.reset(static_cast<uint8_t*>(KZMalloc(PATCH_BLOCK_SIZE)));
    m_dwPatchBytesDone.store(0);
    m_dwPatchFilesDone = 0;
    m_dwPatchPackLimit = 0;
    m_dwPatchPacksWritten = 0;
    m_dwPatchPacksAppended = 0;
    m_vecAppended.clear();
    m_setMarkedPacks.clear();
}

void CKZPackRebuilder::EndRun()
{
    m_pPatchMemoryBlock.reset();
    m_setMarkedPacks.clear();
}

SKZPatchFileInfo& CKZPackRebuilder::GetPatchFileInfo(unsigned int pack, const CKZPath& path)
{
    SKZPatchFileInfo info;
    info.m_dwPackIndex = pack;
    info.m_strPath = CKZPath::FilePath(path.GetString()).GetString();
    m_PatchFiles.push_back(info);
    return m_PatchFiles.back();
}

void CKZPackRebuilder::MarkForPatch(unsigned int pack)
{
    if (pack < m_Index.GetPackCount())
        m_setMarkedPacks.insert(pack);
}

void CKZPackRebuilder::AddPatchFile(unsigned int pack, const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock", "Run PatchBegin first!");
    GetPatchFileInfo(pack, path).m_bAdd = true;
    m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, pack + 1);
    MarkForPatch(pack);
}

bool CKZPackRebuilder::PatchMoveFile(unsigned int sourcePack, unsigned int targetPack, const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock", "Run PatchBegin first!");
    GetPatchFileInfo(targetPack, path).m_bMove = true;
    m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, targetPack + 1);
    MarkForPatch(targetPack);
    MarkForPatch(sourcePack);
    return true;
}

int CKZPackRebuilder::RemovePatchFile(const CKZPath& path)
{
    if (!m_pPatchMemoryBlock)
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "m_pPatchMemoryBlock != nullptr",
                 "Run CKZPackFileArchive::PatchBegin before RemovePatchFile!");
        return -1;
    }
    SKZPackedFile* pPacked = m_Index.FindByKey(CKZPackIndex::CreateMapKey(path.GetString()));
    if (!pPacked)
        return 0;
    const unsigned int pack = m_Index.GetPackIndex(*pPacked);
    const bool bRemoveOK = m_Index.Remove(*pPacked);
    MarkForPatch(pack);
    if (!bRemoveOK)
    {
        // The record stays in its pack's list; only the map forgets it.
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "bRemoveOK", "The packed file could not be removed from the packfile.");
        return -1;
    }
    return 1;
}

bool CKZPackRebuilder::RebuildPacks(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount)
{
    if (!m_pPatchMemoryBlock)
        return false;
    const unsigned int oldCount = m_Index.GetPackCount();
    std::vector<bool> rebuild;
    if (!TakeOutReplacedFiles(rebuild))
        return false;
    KeepOtherFiles(sourceDirectory);
    // A name given twice is stored once, where its last entry puts it: two copies would make the
    // directory impossible to open.
    LastEntries lastEntries;
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
        lastEntries[CKZPackIndex::CreateMapKey(m_PatchFiles[i].m_strPath)] = i;

    m_vecAppended.clear();
    for (unsigned int m = 0; m < packCount; ++m)
    {
        if (m < oldCount && !rebuild[m])
        {
            m_dwPatchFilesDone += static_cast<uint32_t>(m_Index.GetPack(m).m_PackedFiles.size());
            const std::string strPack = packDirectory.GetString() + KZInstallLayout::PackName(m);
            m_dwPatchBytesDone.fetch_add(CKZFile::GetFileSize(strPack.c_str()));
            continue;
        }
        const std::vector<SPackEntry> entries = PackEntries(m, sourceDirectory, lastEntries);
        SAppendPlan plan;
        const bool bAppend = m < oldCount && ChooseAppend(m, packDirectory, entries, plan);
        if (!(bAppend ? AppendToPack(m, packDirectory, entries, plan) : RebuildPack(m, packDirectory, entries)))
        {
            RollBackAppends();
            return false;
        }
        KZKillPoint::Reached("pack-rebuilt");
    }
    return true;
}

void CKZPackRebuilder::RollBackAppends()
{
    // Bytes past the old end are named by no header that is in place: cutting them off changes
    // nothing a reader can see and gives the disk its room back.
    for (const SAppendedFile& appended : m_vecAppended)
        if (truncate(appended.m_strPath.c_str(), static_cast<off_t>(appended.m_qwOldEnd)) != 0)
            KZ_ERROR(s_szFile, "Could not cut %s back to %llu bytes", appended.m_strPath.c_str(),
                     static_cast<unsigned long long>(appended.m_qwOldEnd));
    m_vecAppended.clear();
}

// The old copies of added files (and of entries without a flag) leave the index; moved files stay
// to be copied out of their old packs. The rebuild set is taken afterwards: a pack that lost a file
// must be rewritten even when the caller did not mark it, or it would still hold the old copy and
// the next open would find the name twice.
bool CKZPackRebuilder::TakeOutReplacedFiles(std::vector<bool>& rebuild)
{
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
    {
        const SKZPatchFileInfo& entry = m_PatchFiles[i];
        if ((!entry.m_bMove || entry.m_bAdd) && RemovePatchFile(CKZPath(entry.m_strPath)) < 0)
            return false;
    }
    rebuild.assign(m_Index.GetPackCount(), false);
    for (unsigned int pack : m_setMarkedPacks)
        rebuild[pack] = true;
    return true;
}

// Every file the entries do not name or move stays in its pack, copied from the old pack data.
void CKZPackRebuilder::KeepOtherFiles(const CKZPath& sourceDirectory)
{
    std::unordered_set<std::string> movedNames;
    for (const SKZPatchFileInfo& entry : m_PatchFiles)
        if (entry.m_bMove && !entry.m_bAdd)
            movedNames.insert(CKZPackIndex::CreateMapKey(entry.m_strPath));
    for (unsigned int i = 0; i < m_Index.GetPackCount(); ++i)
    {
        for (const SKZPackedFile& packed : m_Index.GetPack(i).m_PackedFiles)
        {
            if (movedNames.count(CKZPackIndex::CreateMapKey(packed.m_strPath)))
                continue;
            GetPatchFileInfo(i, CKZPath(sourceDirectory.GetString() + packed.m_strPath)).m_bAdd = true;
            m_dwPatchPackLimit = std::max(m_dwPatchPackLimit, i + 1);
            MarkForPatch(i);
        }
    }
}

// The new directory of a pack: the entries for it, each name where its last entry puts it, in the
// order of the list (the caller's entries, then the kept files in their old order).
std::vector<CKZPackRebuilder::SPackEntry> CKZPackRebuilder::PackEntries(unsigned int pack, const CKZPath& sourceDirectory,
                                                                        const LastEntries& lastEntries) const
{
    std::vector<SPackEntry> entries;
    for (size_t i = 0; i < m_PatchFiles.size(); ++i)
    {
        const SKZPatchFileInfo& patchFile = m_PatchFiles[i];
        if (patchFile.m_dwPackIndex != pack || lastEntries.at(CKZPackIndex::CreateMapKey(patchFile.m_strPath)) != i)
            continue;
        SPackEntry entry;
        entry.m_strInternalPath = GroceryText(InternalPathBelow(patchFile.m_strPath, sourceDirectory));
        entry.m_strSourcePath = GroceryText(patchFile.m_strPath);
        entry.m_pPacked = FindPacked(entry.m_strSourcePath);
        entry.m_bInPlace = entry.m_pPacked && m_Index.GetPackIndex(*entry.m_pPacked) == pack;
        entries.push_back(std::move(entry));
    }
    return entries;
}

const SKZPackedFile* CKZPackRebuilder::FindPacked(const std::string& strSourcePath) const
{
    return m_Index.GetPackedFileByInternalRelativePath(csaGetInternalPath(strSourcePath, m_Index.GetRootDirectory()));
}

// An existing pack is appended to when its header was read, its data file is the one the index
// opened, it keeps at least one file where it lies, the appended end stays below 2^31 and no more
// than kMaxDeadPercent of the data file would be dead. A pack whose files all change is rebuilt:
// that writes no more than an append would, and leaves it compact.
bool CKZPackRebuilder::ChooseAppend(unsigned int pack, const CKZPath& packDirectory,
                                    const std::vector<SPackEntry>& entries, SAppendPlan& plan) const
{
    const CKZPackFile& packFile = m_Index.GetPack(pack);
    const uint32_t dwAlignment = packFile.m_wAlignment;
    if (dwAlignment == 0 || !packFile.m_pData || !packFile.m_pData->IsOpen())
        return false;
    plan.m_strDataPath = packDirectory.GetString() + KZInstallLayout::PackName(pack);
    struct stat onDisk = {}, opened = {};
    if (stat(plan.m_strDataPath.c_str(), &onDisk) != 0 || fstat(packFile.m_pData->Get(), &opened) != 0 ||
        !SameFile(onDisk, opened) || onDisk.st_size < 0)
        return false;
    plan.m_qwOldEnd = static_cast<uint64_t>(onDisk.st_size);
    plan.m_wAlignment = static_cast<uint16_t>(dwAlignment);
    uint64_t qwKept = 0, qwAppended = 0;
    bool bKeepsAny = false;
    for (const SPackEntry& entry : entries)
    {
        uint64_t qwLength = 0;
        if (entry.m_pPacked)
            qwLength = entry.m_pPacked->m_dwLength;
        else
        {
            struct stat source = {};
            if (stat(entry.m_strSourcePath.c_str(), &source) != 0 || source.st_size < 0)
                return false; // the rebuild reports the missing file
            qwLength = static_cast<uint64_t>(source.st_size);
        }
        (entry.m_bInPlace ? qwKept : qwAppended) += Filled(qwLength, dwAlignment);
        bKeepsAny = bKeepsAny || entry.m_bInPlace;
    }
    const uint64_t qwEnd = Filled(plan.m_qwOldEnd, dwAlignment) + qwAppended;
    if (!bKeepsAny || qwEnd >= kMaxFilledLength)
        return false;
    const uint64_t qwLive = std::min(qwEnd, qwKept + qwAppended);
    return (qwEnd - qwLive) * 100 <= qwEnd * kMaxDeadPercent;
}

bool CKZPackRebuilder::RebuildPack(unsigned int pack, const CKZPath& packDirectory, const std::vector<SPackEntry>& entries)
{
    CKZContainerBuilder builder;
    if (!builder.IsValid())
        return false;
    for (const SPackEntry& entry : entries)
        if (!builder.AddGrocery(entry.m_strInternalPath, entry.m_strSourcePath))
            return false;
    using namespace std::placeholders;
    m_strPatchTarget = packDirectory.GetString() + KZInstallLayout::TemporaryPackName(pack);
    const bool bStored =
        builder.Store(m_strPatchTarget, std::bind(&CKZPackRebuilder::ColdCompilerWriteFile, this, _1, _2, _3, _4));
    m_PatchTarget = CKZFileDescriptor();
    m_strPatchTarget.clear();
    if (!bStored)
        return false;
    ++m_dwPatchPacksWritten;
    return true;
}

// The new and moved-in files go after the end of the data file (of a clone of it where the file
// system can clone, so that the old pack is never written); kept files stay where they are. Only the
// header is new, written as the temporary header: the old one names only bytes below the old end and
// stays valid until the commit renames the new one into place.
bool CKZPackRebuilder::AppendToPack(unsigned int pack, const CKZPath& packDirectory,
                                    const std::vector<SPackEntry>& entries, const SAppendPlan& plan)
{
    const std::string strTemporary = packDirectory.GetString() + KZInstallLayout::TemporaryPackName(pack);
    const std::string strTemporaryHeader = KZInstallLayout::PackHeaderName(strTemporary);
    const bool bNeedsData = std::any_of(entries.begin(), entries.end(), [](const SPackEntry& e) { return !e.m_bInPlace; });
    CKZFileDescriptor target;
    bool bClone = false;
    if (bNeedsData && KZPlatform::CloneFile(plan.m_strDataPath.c_str(), strTemporary.c_str()))
    {
        target = CKZFileDescriptor::OpenForWriting(strTemporary);
        bClone = target.IsOpen();
        if (!bClone)
            CKZFile::RemoveFile(strTemporary.c_str());
    }
    // The commit renames whatever temporary data file exists: a stale one from a run cut short must
    // not replace the data file this header describes.
    if (!bClone)
        CKZFile::RemoveFile(strTemporary.c_str());
    if (bNeedsData && !bClone)
        target = CKZFileDescriptor::OpenForWriting(plan.m_strDataPath);
    if (bNeedsData && !target.IsOpen())
        return false;
    // The end as it is now, beyond whatever an earlier cut-short run left there; a clone has it too.
    const int64_t qwEnd = bNeedsData ? target.GetLength() : int64_t(plan.m_qwOldEnd);
    if (qwEnd < 0)
        return false;
    if (bNeedsData && !bClone)
        m_vecAppended.push_back({plan.m_strDataPath, static_cast<uint64_t>(qwEnd)});
    // A failure leaves the temporaries to no one: a clone and a partial header go here, bytes
    // appended to the live data file when the run rolls back.
    const auto fail = [&]() {
        target = CKZFileDescriptor();
        if (bClone)
            CKZFile::RemoveFile(strTemporary.c_str());
        CKZFile::RemoveFile(strTemporaryHeader.c_str());
        return false;
    };
    uint64_t qwOffset = Filled(static_cast<uint64_t>(qwEnd), plan.m_wAlignment);
    if (bNeedsData && qwOffset > uint64_t(qwEnd) &&
        !WriteZerosAt(target.Get(), m_pPatchMemoryBlock.get(), qwOffset - uint64_t(qwEnd), uint64_t(qwEnd)))
        return fail();

    const CKZPackFile& packFile = m_Index.GetPack(pack);
    CSA_HEADER header;
    header.dwfileversion = packFile.m_dwFileVersion;
    header.wmode = packFile.m_wMode;
    header.walignment = plan.m_wAlignment;
    CSA_DIRECTORY directory;
    directory.pfileinfo.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if (m_cancelled && m_cancelled())
            return fail();
        const SPackEntry& entry = entries[i];
        CSA_FILEINFO& info = directory.pfileinfo[i];
        info.m_strPath = entry.m_strInternalPath;
        if (entry.m_bInPlace)
        {
            info.dwoffset = entry.m_pPacked->m_dwOffset;
            info.dwlength = entry.m_pPacked->m_dwLength;
            info.filetime = entry.m_pPacked->m_FileTime;
            info.dwchecksum = entry.m_pPacked->m_dwCheckSum;
        }
        else if (!AppendFile(target.Get(), qwOffset, plan.m_wAlignment, entry, info))
            return fail();
        m_dwPatchBytesDone.fetch_add(info.dwlength);
        ++m_dwPatchFilesDone;
    }
    target = CKZFileDescriptor();
    KZKillPoint::Reached("pack-appended");
    if (!CKZContainerBuilder::WriteHeaderFile(strTemporaryHeader, header, directory))
        return fail();
    ++m_dwPatchPacksWritten;
    ++m_dwPatchPacksAppended;
    return true;
}

// One new or moved-in file at qwOffset of the target, with its fill; qwOffset moves past both.
bool CKZPackRebuilder::AppendFile(int fdTarget, uint64_t& qwOffset, uint16_t wAlignment, const SPackEntry& entry,
                                  CSA_FILEINFO& info)
{
    bool bNew = false;
    std::optional<CKZPackReader> source = OpenSource(entry.m_strSourcePath.c_str(), info, bNew);
    if (!source)
        return false;
    const uint32_t dwLength = source->GetLength();
    const uint64_t qwFilled = Filled(dwLength, wAlignment);
    if (qwOffset + qwFilled >= kMaxFilledLength)
        return false;
    const uint64_t qwStart = qwOffset;
    uint32_t dwDone = 0;
    if (!bNew && dwLength >= kKernelCopyThreshold && source->GetDescriptor() >= 0)
        dwDone = CopyRangeInKernel(source->GetDescriptor(), source->GetDataPosition(), fdTarget,
                                   static_cast<int64_t>(qwStart), dwLength);
    if (dwDone > 0)
        source->Seek(static_cast<int>(dwDone), 1);
    uint32_t crc = 0;
    uint8_t* pBlock = m_pPatchMemoryBlock.get();
    while (dwDone < dwLength)
    {
        const int want = static_cast<int>(std::min(dwLength - dwDone, kAppendPiece));
        const int got = source->Read(pBlock, 1, want);
        if (got <= 0)
            return false;
        if (bNew)
            crc = KZCrc32(crc, pBlock, static_cast<size_t>(got));
        if (!WriteAt(fdTarget, pBlock, static_cast<size_t>(got), qwStart + dwDone))
            return false;
        dwDone += static_cast<uint32_t>(got);
    }
    if (qwFilled > dwLength && !WriteZerosAt(fdTarget, pBlock, qwFilled - dwLength, qwStart + dwLength))
        return false;
    if (bNew)
        info.dwchecksum = static_cast<uint32_t>(crc);
    info.dwoffset = static_cast<uint32_t>(qwStart);
    info.dwlength = dwLength;
    qwOffset = qwStart + qwFilled;
    return true;
}

bool CKZPackRebuilder::ColdCompilerWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& entry)
{
    if (m_cancelled && m_cancelled())
        return false;
    _CSAFILE* pContainer = static_cast<_CSAFILE*>(csa);
    const _CSAGROCERY* pGrocery = static_cast<const _CSAGROCERY*>(grocery);
    if (!pContainer || !pGrocery || !pContainer->m_pFStream || !m_pPatchMemoryBlock)
        return false;
    const uint32_t dwAlignment = pContainer->header.walignment;
    if (dwAlignment == 0)
        return false;
    std::fstream& stream = *pContainer->m_pFStream;
    bool bNew = false;
    std::optional<CKZPackReader> source = OpenSource(pGrocery->szSourcePath, entry, bNew);
    if (!source)
        return false;
    const uint32_t dwLength = source->GetLength();
    const uint64_t qwFilled = (uint64_t(dwLength) + dwAlignment - 1) / dwAlignment * dwAlignment;
    if (qwFilled >= kMaxFilledLength || stream.fail())
        return false;
    // Large kept files go through the kernel where the file system allows; the rest, and new files,
    // through the block. A new file's checksum is taken from the bytes as they are copied: one read,
    // and the checksum always describes the stored data.
    const uint32_t dwInKernel = !bNew && dwLength >= kKernelCopyThreshold ? CopyInKernel(stream, *source, dwLength) : 0;
    uint32_t dwChecksum = 0;
    if (!CopyIntoContainer(stream, *source, dwLength - dwInKernel, bNew ? &dwChecksum : nullptr))
        return false;
    if (bNew)
        entry.dwchecksum = dwChecksum;
    if (!WriteFill(stream, m_pPatchMemoryBlock.get(), qwFilled - dwLength))
        return false;
    lengths = CSA_LENGTHS(dwLength, static_cast<uint32_t>(qwFilled));
    m_dwPatchBytesDone.fetch_add(dwLength);
    ++m_dwPatchFilesDone;
    return true;
}

// A kept or moved file is read from its old pack, with the time and checksum its entry had; any
// other file (bNew) from disk, with its creation time.
std::optional<CKZPackReader> CKZPackRebuilder::OpenSource(const char* szSourcePath, CSA_FILEINFO& entry, bool& bNew) const
{
    const SKZPackedFile* pPacked = FindPacked(szSourcePath);
    bNew = pPacked == nullptr;
    if (pPacked)
    {
        entry.filetime = pPacked->m_FileTime;
        entry.dwchecksum = pPacked->m_dwCheckSum;
        return m_Index.OpenReader(*pPacked);
    }
    auto pFileOnDisk = std::make_shared<CKZFileDescriptor>(CKZFileDescriptor::OpenForReading(szSourcePath));
    if (!pFileOnDisk->IsOpen())
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "pFileOnDisk", "%s", "");
        return std::nullopt;
    }
    const int64_t qwLength = pFileOnDisk->GetLength();
    SKZFileTime creation;
    if (qwLength < 0 || uint64_t(qwLength) >= kMaxFilledLength ||
        !CKZFile::GetFileTime(szSourcePath, &creation, nullptr, nullptr))
        return std::nullopt;
    entry.filetime = creation;
    return CKZPackReader(std::move(pFileOnDisk), 0, static_cast<uint32_t>(qwLength));
}

bool CKZPackRebuilder::CopyIntoContainer(std::fstream& stream, CKZPackReader& source, uint32_t dwLength, uint32_t* pCrc)
{
    uint8_t* pBlock = m_pPatchMemoryBlock.get();
    uint32_t crc = 0;
    for (uint32_t dwLeft = dwLength; dwLeft > 0;)
    {
        const int want = static_cast<int>(std::min(dwLeft, PATCH_BLOCK_SIZE));
        const int got = source.Read(pBlock, 1, want);
        if (got <= 0)
            return false;
        if (pCrc)
            crc = KZCrc32(crc, pBlock, static_cast<size_t>(got));
        if (!WriteToContainer(stream, pBlock, static_cast<size_t>(got)))
            return false;
        dwLeft -= static_cast<uint32_t>(got);
    }
    if (pCrc)
        *pCrc = static_cast<uint32_t>(crc);
    return true;
}

// Copies as much as the kernel will of a kept file's bytes, from the source's position to the
// stream's, and leaves both positioned after what was copied; answers the bytes copied. Kept files
// need no checksum, so their bytes never have to pass through this process.
uint32_t CKZPackRebuilder::CopyInKernel(std::fstream& stream, CKZPackReader& source, uint32_t dwLength)
{
    const int fdIn = source.GetDescriptor();
    const int64_t in = source.GetDataPosition();
    if (fdIn < 0 || m_strPatchTarget.empty() || !stream.flush())
        return 0;
    const int64_t out = static_cast<int64_t>(stream.tellp());
    if (out < 0)
        return 0;
    if (!m_PatchTarget.IsOpen())
        m_PatchTarget = CKZFileDescriptor::OpenForWriting(m_strPatchTarget);
    if (!m_PatchTarget.IsOpen())
        return 0;
    const uint32_t dwCopied = CopyRangeInKernel(fdIn, in, m_PatchTarget.Get(), out, dwLength);
    if (dwCopied > 0)
    {
        stream.seekp(out + dwCopied);
        source.Seek(static_cast<int>(dwCopied), 1);
    }
    return dwCopied;
}

namespace
{
typedef std::map<std::string, CKZFileDetails*> Records;

// Pack j of a catalogue: every record whose zip index is j, in key order; iWrittenFiles counts them.
bool BuildPackOfRecords(const Records& records, uint32_t j, const CKZPath& sourceDirectory,
                        const CKZPath& destinationDirectory, const CKZPath& baseDirectory, size_t& iWrittenFiles)
{
    CKZContainerBuilder builder;
    for (const auto& record : records)
    {
        if (record.second->m_dwZipIndex != j)
            continue;
        const std::string strSource =
            CKZPath::FilePath(sourceDirectory.GetString() + record.second->GetRelativePath()).GetString();
        const std::string strInternal = InternalPathBelow(strSource, baseDirectory);
        if (strInternal.empty())
            KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!strRelativePath.empty()", "%s", "");
        if (!builder.AddGrocery(strInternal, strSource))
            return false;
        ++iWrittenFiles;
    }
    return builder.Store(destinationDirectory.GetString() + KZInstallLayout::PackName(j), csaWriteFile);
}

// A fresh index of the written packs holds every written file.
bool CheckWrittenPacks(const CKZPath& destinationDirectory, size_t iWrittenFiles)
{
    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    const bool bOpened = index.Open(destinationDirectory);
    if (!bOpened)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "archive.OpenPackFile(destinationDirectory)",
                 "Failed to open pack file (%s)", destinationDirectory.c_str());
    const unsigned int dwTotalFileCountInArchive = bOpened ? index.GetTotalPackedFileCount() : 0;
    if (dwTotalFileCountInArchive != iWrittenFiles)
    {
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "dwTotalFileCountInArchive == iWrittenFiles",
                 "Number of files (%d) in archive [%s] differs from the number of written files (%d)",
                 static_cast<int>(dwTotalFileCountInArchive), destinationDirectory.c_str(), static_cast<int>(iWrittenFiles));
        return false;
    }
    return true;
}
} // namespace

bool CKZPackRebuilder::CreateFromCacheFile(const CKZFileTimeCache& cacheFile, const CKZPath& sourceDirectory,
                                           const CKZPath& destinationDirectory, const CKZPath& baseDirectory)
{
    const Records& records = cacheFile.GetRawData();
    uint32_t dwPackCount = 0;
    for (const auto& record : records)
        dwPackCount = std::max(dwPackCount, record.second->m_dwZipIndex + 1);
    size_t iWrittenFiles = 0;
    for (uint32_t j = 0; j < dwPackCount; ++j)
        if (!BuildPackOfRecords(records, j, sourceDirectory, destinationDirectory, baseDirectory, iWrittenFiles))
            return false;
    if (records.size() != iWrittenFiles)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "cacheFile.GetRawData().size() == iWrittenFiles", "%s", "");
    return CheckWrittenPacks(destinationDirectory, iWrittenFiles) && iWrittenFiles == records.size();
}
