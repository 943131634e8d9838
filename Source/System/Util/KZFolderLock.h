#pragma once
// The lock that keeps two runs off one installation: a lock file below the install root, held for the
// length of a run. The operating system lets go of it when its holder ends, however it ends, so a
// killed run never leaves the folder locked.

#include <string>

class CKZFolderLock
{
public:
    CKZFolderLock() = default;
    CKZFolderLock(const CKZFolderLock&) = delete;
    CKZFolderLock& operator=(const CKZFolderLock&) = delete;
    ~CKZFolderLock() { Release(); }

    // True when this holder now has the folder's lock (also when it already had it).
    bool Acquire(const std::string& strFolder);
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
