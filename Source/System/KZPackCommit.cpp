#include "System/KZPackCommit.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Util/KZKillPoint.h"
#include "System/KZInstallLayout.h"

#include <cstdio>

using KZInstallLayout::PackHeaderName;

namespace
{
const char* const s_szFile = "Source/System/KZPackFileArchive";
const unsigned int kMaxCommittedPacks = 1u << 20;
} // namespace

bool CKZPackCommit::Commit(unsigned int packCount, unsigned int oldCount) const
{
    // Rebuilt packs replace their targets by renaming; only packs beyond the new count are deleted.
    // The commit marker lets the next run complete renames that an interruption cut short, so a
    // pack never keeps new data with an old header.
    if (!WriteCommitMarker(packCount, oldCount))
        return false;
    RemovePackFiles(packCount, oldCount);
    if (!RenameTemporaries(0, packCount))
        return false;
    KZKillPoint::Reached("packs-renamed");
    CKZFile::RemoveFile(PathOf(KZInstallLayout::kPatchCommitName).c_str());
    return true;
}

// The marker: "<pack count> <old pack count>". While it exists the temporaries are the new packs.
bool CKZPackCommit::WriteCommitMarker(unsigned int packCount, unsigned int oldCount) const
{
    FILE* pFile = fopen(PathOf(KZInstallLayout::kPatchCommitName).c_str(), "wb");
    if (!pFile)
        return false;
    const bool bWritten = fprintf(pFile, "%u %u\n", packCount, oldCount) > 0;
    return fclose(pFile) == 0 && bWritten;
}

// Renames the temporaries of packs first .. end-1 into place; a pack without a temporary was left
// unchanged or is already in place. A pack updated by appending to its data file has a temporary
// header only, which names the old data file's bytes: the header's rename alone puts it into place.
// Data goes before header, so a rename cut short between them is completed from the header.
bool CKZPackCommit::RenameTemporaries(unsigned int first, unsigned int end) const
{
    for (unsigned int j = first; j < end; ++j)
    {
        const std::string strTemporary = PathOf(KZInstallLayout::TemporaryPackName(j));
        const std::string strTarget = PathOf(KZInstallLayout::PackName(j));
        if (CKZFile::FileExists(strTemporary))
        {
            if (!CKZFile::Rename(strTemporary.c_str(), strTarget.c_str()))
                return false;
            KZKillPoint::Reached("pack-data-renamed");
        }
        const std::string strTemporaryHeader = PackHeaderName(strTemporary);
        if (CKZFile::FileExists(strTemporaryHeader))
        {
            if (!CKZFile::Rename(strTemporaryHeader.c_str(), PackHeaderName(strTarget).c_str()))
                return false;
            KZKillPoint::Reached("pack-renamed");
        }
    }
    return true;
}

bool CKZPackCommit::FinishInterruptedPatch() const
{
    const std::string strCommit = PathOf(KZInstallLayout::kPatchCommitName);
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
        RemovePackFiles(packCount, oldCount);
        if (!RenameTemporaries(0, packCount))
            return false;
    }
    CKZFile::RemoveFile(strCommit.c_str());
    return bRead;
}

bool CKZPackCommit::HasCommittedPatch() const
{
    return CKZFile::FileExists(PathOf(KZInstallLayout::kPatchCommitName));
}

void CKZPackCommit::RemoveTemporaryPatchFiles(unsigned int count) const
{
    for (unsigned int j = 0; j < count; ++j)
    {
        const std::string strPath = PathOf(KZInstallLayout::TemporaryPackName(j));
        CKZFile::RemoveFile(strPath.c_str());
        CKZFile::RemoveFile(PackHeaderName(strPath).c_str());
    }
}

void CKZPackCommit::RemovePackFiles(unsigned int first, unsigned int end) const
{
    if (m_Directory.empty())
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "!pathPackFilesDirectory.empty()", "%s", "");
    // The header goes first: a pack whose removal is cut short then ends the discovery instead of
    // naming a data file that is gone.
    for (unsigned int c = first; c < end; ++c)
    {
        const std::string strPath = PathOf(KZInstallLayout::PackName(c));
        CKZFile::RemoveFile(PackHeaderName(strPath).c_str());
        CKZFile::RemoveFile(strPath.c_str());
    }
}
