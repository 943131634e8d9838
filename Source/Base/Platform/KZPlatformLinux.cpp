#if defined(__linux__)
#include "Base/Platform/KZPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KZPlatform
{
bool IsDebuggerAttached()
{
    // A traced process names its tracer in /proc/self/status; 0 means none.
    FILE* pStatus = fopen("/proc/self/status", "r");
    if (!pStatus)
        return false;
    char szLine[256];
    bool bTraced = false;
    while (fgets(szLine, sizeof(szLine), pStatus))
    {
        if (strncmp(szLine, "TracerPid:", 10) == 0)
        {
            bTraced = strtol(szLine + 10, nullptr, 10) != 0;
            break;
        }
    }
    fclose(pStatus);
    return bTraced;
}

std::string GetExecutablePath()
{
    char szPath[4096];
    const ssize_t length = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (length <= 0)
        return std::string();
    return std::string(szPath, static_cast<size_t>(length));
}

bool GetFileBirthTime(const char* szPath, int64_t* pSeconds)
{
    struct statx info;
    if (statx(AT_FDCWD, szPath, 0, STATX_BTIME | STATX_MTIME, &info) != 0)
        return false;
    *pSeconds = (info.stx_mask & STATX_BTIME) ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
    return true;
}

// The desktop has no "reveal": the file's folder is opened instead.
bool RevealFile(const std::string& strPath)
{
    const size_t slash = strPath.find_last_of('/');
    const std::string strFolder = slash == std::string::npos ? "." : strPath.substr(0, slash + 1);
    return system(("xdg-open " + ShellQuote(strFolder) + " >/dev/null 2>&1 &").c_str()) == 0;
}

bool OpenWithDefaultApplication(const std::string& strPath)
{
    return system(("xdg-open " + ShellQuote(strPath) + " >/dev/null 2>&1 &").c_str()) == 0;
}

int64_t CopyFileRange(int fdIn, int64_t in, int fdOut, int64_t out, uint64_t length)
{
    loff_t offIn = in, offOut = out;
    // One call copies at most about 2 GB; the caller loops.
    const size_t piece = static_cast<size_t>(length < (1u << 30) ? length : (1u << 30));
    const ssize_t copied = copy_file_range(fdIn, &offIn, fdOut, &offOut, piece, 0);
    return copied < 0 ? -1 : static_cast<int64_t>(copied);
}

bool ReserveFileSpace(int fd, uint64_t qwLength)
{
    return qwLength == 0 || posix_fallocate(fd, 0, static_cast<off_t>(qwLength)) == 0;
}

bool CloneFile(const char* szFrom, const char* szTo)
{
    const int fdIn = open(szFrom, O_RDONLY | O_CLOEXEC);
    if (fdIn < 0)
        return false;
    const int fdOut = open(szTo, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fdOut < 0)
    {
        const int error = errno;
        close(fdIn);
        errno = error;
        return false;
    }
    bool bCloned = ioctl(fdOut, FICLONE, fdIn) == 0;
    int error = bCloned ? 0 : errno;
    close(fdIn);
    if (close(fdOut) != 0 && bCloned)
    {
        bCloned = false;
        error = errno;
    }
    if (!bCloned)
    {
        unlink(szTo);
        errno = error;
    }
    return bCloned;
}
}
#endif
