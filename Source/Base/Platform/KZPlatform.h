#pragma once
// The few services the operating system gives that differ between Linux and macOS. Everything
// else in the library is written once, against these functions.

#include <cstdint>
#include <ctime>
#include <string>

namespace KZPlatform
{
// True while a debugger traces this process.
bool IsDebuggerAttached();

// The full path of the running executable; empty when the system does not tell.
std::string GetExecutablePath();

// The birth time of a file in seconds since 1970; where the file system keeps none, its
// modification time. False when the file cannot be examined.
bool GetFileBirthTime(const char* szPath, int64_t* pSeconds);

// Shows a file in the desktop's file manager / opens it with its default application. The command
// runs through the shell with the path as one single-quoted word (ShellQuote), so no path can run
// a command of its own.
bool RevealFile(const std::string& strPath);
bool OpenWithDefaultApplication(const std::string& strPath);

// Seconds since 1970 of a broken-down UTC time (the inverse of gmtime).
int64_t TimeGm(struct tm* pTime);

// Copies length bytes from offset in of descriptor fdIn to offset out of fdOut inside the kernel,
// leaving both descriptors' own positions alone. Answers the bytes copied (0 at the end of the
// input), or -1 when the system cannot copy between these files (the caller then copies itself).
int64_t CopyFileRange(int fdIn, int64_t in, int fdOut, int64_t out, uint64_t length);

// Sets aside the blocks of a file's first qwLength bytes (and makes it that long at least), so that
// writing them through a mapping cannot run out of disk space; false when the disk has no room.
bool ReserveFileSpace(int fd, uint64_t qwLength);

// Makes szTo (replaced when it exists) a clone of the whole file szFrom: the two share their blocks
// until either is written, so nothing is copied (Linux FICLONE, macOS clonefile). False, with errno
// set and no szTo left behind, where the file system cannot (EOPNOTSUPP, EXDEV, EINVAL, ENOTTY, ...);
// the caller then works without a clone.
bool CloneFile(const char* szFrom, const char* szTo);

// The text as one single-quoted shell word, so that no character of a path can run a command.
std::string ShellQuote(const std::string& strText);

// Takes the exclusive lock of a file (created when missing) without waiting: its descriptor, or -1
// when another holder has it or the file cannot be made. The system lets go of the lock when the
// descriptor closes or the process ends, however it ends.
int LockFile(const char* szPath);
void UnlockFile(int fd);

// The bytes an unprivileged writer may still put on the file system that holds the path.
bool GetFreeDiskBytes(const char* szPath, uint64_t* pBytes);
}
