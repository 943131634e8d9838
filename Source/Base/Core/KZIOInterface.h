#pragma once
// The file back ends: every file access goes through an I/O interface that opens, reads, writes,
// seeks and closes files named by a path, identified afterwards by an opaque handle.

#include <cstdint>
#include <cstdio>

class CKZIOInterface
{
public:
    virtual ~CKZIOInterface() = default;
    virtual void* Open(const char* szPath, const char* szMode) = 0;
    virtual int Close(void* pHandle) = 0;
    virtual int Read(void* pBuffer, int elementSize, int count, void* pHandle) = 0;
    virtual int Write(const void* pBuffer, int elementSize, int count, void* pHandle) = 0;
    virtual int Tell(void* pHandle) = 0;
    // Origin 0 from the start, 1 from the current position, 2 from the end; 0 on success.
    virtual int Seek(void* pHandle, int offset, int origin) = 0;
    virtual int KZEOF(void* pHandle) = 0;
    virtual int GetLength(void* pHandle);
    virtual void* GetMemPtr(void* pHandle) { (void)pHandle; return nullptr; }
    virtual void* GetMemPtrOfStart(void* pHandle) { (void)pHandle; return nullptr; }
    virtual bool Good(void* pHandle) const = 0;
    // The operating system's descriptor behind a handle, for copies inside the kernel; -1 where
    // there is none (memory files, archives).
    virtual int GetDescriptor(void* pHandle) { (void)pHandle; return -1; }
};

// The standard I/O library; handles are FILE streams. Each stream gets a buffer of kBufferSize
// bytes (the library's default is a page): reading a file of small records then costs one system
// call per buffer, not per record.
class CKZIOInterfaceC : public CKZIOInterface
{
public:
    static const size_t kBufferSize = 64 * 1024;

    void* Open(const char* szPath, const char* szMode) override;
    int Close(void* pHandle) override;
    int Read(void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Write(const void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Tell(void* pHandle) override;
    int Seek(void* pHandle, int offset, int origin) override;
    int KZEOF(void* pHandle) override;
    // The length from the file's status, without seeking: a seek would throw the buffer away.
    int GetLength(void* pHandle) override;
    bool Good(void* pHandle) const override;
    int GetDescriptor(void* pHandle) override;
};

// What every write the library makes to a file passes first: the default one lets every write
// through; a test installs one that fails the N-th write or runs out of room, so that write errors
// and full disks are tried without a file system of their own.
class IKZWriteBackEnd
{
public:
    virtual ~IKZWriteBackEnd() = default;
    // False refuses the write, with errno set to why (EIO, ENOSPC).
    virtual bool Admit(size_t bytes) = 0;
    // The free space of the disk the back end stands for; false to let the system say.
    virtual bool FreeDiskBytes(uint64_t& qwFree) { (void)qwFree; return false; }
};

// The process-wide choice of interfaces; any thread may read or change them.
namespace KZFileIO
{
// Null restores the default back end.
void SetWriteBackEnd(IKZWriteBackEnd* pBackEnd);
// Every write site asks this before it writes bytes to a file.
bool AdmitWrite(size_t bytes);
// The bytes that may still be written below a path: the back end's word, else the file system's.
bool FreeDiskBytes(const char* szPath, uint64_t& qwFree);
CKZIOInterface* GetStandardInterface();
CKZIOInterface* GetDefaultInterface();
void SetDefaultInterface(CKZIOInterface* pInterface);
CKZIOInterface* SetDefaultInterface();
void SetUserDataInterface(CKZIOInterface* pInterface);
CKZIOInterface* GetUserDataInterface();
}
