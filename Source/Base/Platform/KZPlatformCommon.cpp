// Platform services that both systems offer in the same form.

#include "Base/Platform/KZPlatform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace KZPlatform
{
std::string ShellQuote(const std::string& strText)
{
    std::string strQuoted = "'";
    for (char c : strText)
        strQuoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strQuoted + "'";
}

int64_t TimeGm(struct tm* pTime)
{
    return static_cast<int64_t>(timegm(pTime));
}


int LockFile(const char* szPath)
{
    const int fd = open(szPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    close(fd);
    return -1;
}

void UnlockFile(int fd)
{
    if (fd >= 0)
        close(fd); // closing lets go of the lock
}

bool GetFreeDiskBytes(const char* szPath, uint64_t* pBytes)
{
    struct statvfs info;
    if (statvfs(szPath, &info) != 0)
        return false;
    *pBytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
    return true;
}
}
