#if defined(__APPLE__)
#include "Base/Platform/KZPlatform.h"

#include <cstdlib>
#include <cerrno>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <sys/clonefile.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

namespace KZPlatform
{
bool IsDebuggerAttached()
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, getpid()};
    struct kinfo_proc info = {};
    size_t size = sizeof(info);
    if (sysctl(mib, 4, &info, &size, nullptr, 0) != 0)
        return false;
    return (info.kp_proc.p_flag & P_TRACED) != 0;
}

std::string GetExecutablePath()
{
    char szPath[512];
    uint32_t size = sizeof(szPath);
    if (_NSGetExecutablePath(szPath, &size) != 0)
        return std::string();
    return szPath;
}

bool GetFileBirthTime(const char* szPath, int64_t* pSeconds)
{
    struct stat info;
    if (stat(szPath, &info) != 0)
        return false;
    *pSeconds = info.st_birthtimespec.tv_sec;
    return true;
}

bool RevealFile(const std::string& strPath)
{
    system(("open -R " + ShellQuote(strPath)).c_str());
    return true;
}

bool OpenWithDefaultApplication(const std::string& strPath)
{
    system(("open " + ShellQuote(strPath)).c_str());
    return true;
}

// No kernel copy between arbitrary descriptors here: callers copy through their own buffer.
int64_t CopyFileRange(int, int64_t, int, int64_t, uint64_t)
{
    return -1;
}

// The system has no posix_fallocate: the blocks are asked for with F_PREALLOCATE, then the length set.
bool ReserveFileSpace(int fd, uint64_t qwLength)
{
    if (qwLength == 0)
        return true;
    fstore_t store = {F_ALLOCATECONTIG | F_ALLOCATEALL, F_PEOFPOSMODE, 0, static_cast<off_t>(qwLength), 0};
    if (fcntl(fd, F_PREALLOCATE, &store) != 0)
    {
        store.fst_flags = F_ALLOCATEALL;
        if (fcntl(fd, F_PREALLOCATE, &store) != 0)
            return false;
    }
    return ftruncate(fd, static_cast<off_t>(qwLength)) == 0;
}

// clonefile() refuses a target that exists, so an old one goes first.
bool CloneFile(const char* szFrom, const char* szTo)
{
    if (unlink(szTo) != 0 && errno != ENOENT)
        return false;
    return clonefile(szFrom, szTo, CLONE_NOFOLLOW) == 0;
}
}
#endif
