#include "System/Util/KZFolderLock.h"

#include "Base/Platform/KZPlatform.h"
#include "System/KZInstallLayout.h"

bool CKZFolderLock::Acquire(const std::string& strFolder)
{
    if (m_fd >= 0)
        return true;
    const std::string strRoot = strFolder.empty() || strFolder.back() == '/' ? strFolder : strFolder + "/";
    m_fd = KZPlatform::LockFile((strRoot + KZInstallLayout::kLockName).c_str());
    return m_fd >= 0;
}

void CKZFolderLock::Release()
{
    KZPlatform::UnlockFile(m_fd);
    m_fd = -1;
}
