#pragma once
// The end of a patch run in a pack directory and its repair. Rebuilt packs are written as
// temporaries beside the old ones (data and header; a pack updated by appending to its data file
// only a header); once every one is complete a commit marker is written, the packs beyond the new
// count are deleted and the temporaries renamed into place, and the marker goes. A run cut short
// after its commit is completed by the next start; one cut short before it leaves temporaries that
// are only deleted (and, in an appended data file, bytes no header names).

#include "Base/Core/FileIO/KZPath.h"

#include <string>

class CKZPackCommit
{
public:
    // The directory's text ends in "/".
    explicit CKZPackCommit(const CKZPath& directory) : m_Directory(directory) {}

    // Puts the rebuilt packs 0 .. packCount-1 into place and deletes packs packCount .. oldCount-1.
    bool Commit(unsigned int packCount, unsigned int oldCount) const;
    // Completes the renames of a committed run; true when there was one to complete.
    bool FinishInterruptedPatch() const;
    bool HasCommittedPatch() const;
    void RemoveTemporaryPatchFiles(unsigned int count) const;
    // Packs first .. end-1 with their headers.
    void RemovePackFiles(unsigned int first, unsigned int end) const;

private:
    std::string PathOf(const std::string& strName) const { return m_Directory.GetString() + strName; }
    bool WriteCommitMarker(unsigned int packCount, unsigned int oldCount) const;
    bool RenameTemporaries(unsigned int first, unsigned int end) const;

    const CKZPath m_Directory;
};
