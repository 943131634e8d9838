// The files kztool commands read: checked in one place before any command opens them.

#include "KZTool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct SCloseFile
{
    void operator()(FILE* pFile) const { fclose(pFile); }
};
typedef std::unique_ptr<FILE, SCloseFile> FilePtr;

std::string CannotRead(const std::string& strPath, int error)
{
    return "cannot read " + strPath + ": " + strerror(error);
}
}

namespace KZTool
{
std::string InputFileProblem(const std::string& strPath)
{
    struct stat status;
    if (stat(strPath.c_str(), &status) != 0)
        return errno == ENOENT ? "no such file: " + strPath : CannotRead(strPath, errno);
    if (S_ISDIR(status.st_mode))
        return "is a directory, not a file: " + strPath;
    if (!S_ISREG(status.st_mode))
        return access(strPath.c_str(), R_OK) == 0 ? std::string() : CannotRead(strPath, errno);
    // A regular file: it must open and give its first byte (or end at once).
    const FilePtr pFile(fopen(strPath.c_str(), "rb"));
    if (!pFile)
        return CannotRead(strPath, errno);
    if (fgetc(pFile.get()) == EOF && ferror(pFile.get()))
        return CannotRead(strPath, errno);
    return std::string();
}

bool ReadInputFile(const std::string& strPath, std::string& strBytes, std::string& strError)
{
    strError = InputFileProblem(strPath);
    if (!strError.empty())
        return false;
    const FilePtr pFile(fopen(strPath.c_str(), "rb"));
    if (!pFile)
    {
        strError = CannotRead(strPath, errno);
        return false;
    }
    strBytes.clear();
    char buffer[65536];
    while (const size_t n = fread(buffer, 1, sizeof(buffer), pFile.get()))
        strBytes.append(buffer, n);
    if (ferror(pFile.get()))
    {
        strError = CannotRead(strPath, errno);
        return false;
    }
    return true;
}
}
