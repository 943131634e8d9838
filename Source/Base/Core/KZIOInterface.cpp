#include "Base/Core/KZIOInterface.h"

#include "Base/Platform/KZPlatform.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>

namespace
{
// The buffers given to open streams, freed when their stream is closed. Streams are opened and
// closed by several threads through the one standard interface.
class CStreamBuffers
{
public:
    void Give(FILE* pStream)
    {
        std::unique_ptr<char[]> pBuffer(new (std::nothrow) char[CKZIOInterfaceC::kBufferSize]);
        if (!pBuffer || setvbuf(pStream, pBuffer.get(), _IOFBF, CKZIOInterfaceC::kBufferSize) != 0)
            return; // the stream keeps the library's own buffer
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_buffers[pStream] = std::move(pBuffer);
    }
    // Taken while the stream is still open (so that no new stream can have its address yet) and
    // freed by the caller after closing it.
    std::unique_ptr<char[]> Take(FILE* pStream)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_buffers.find(pStream);
        if (it == m_buffers.end())
            return nullptr;
        std::unique_ptr<char[]> pBuffer = std::move(it->second);
        m_buffers.erase(it);
        return pBuffer;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<FILE*, std::unique_ptr<char[]>> m_buffers;
};

CStreamBuffers& StreamBuffers()
{
    // Never destroyed: streams may still be closed while static objects are torn down.
    static CStreamBuffers* s_pBuffers = new CStreamBuffers;
    return *s_pBuffers;
}
} // namespace

int CKZIOInterface::GetLength(void* pHandle)
{
    const int position = Tell(pHandle);
    Seek(pHandle, 0, 2);
    const int length = Tell(pHandle);
    Seek(pHandle, position, 0);
    return length;
}

void* CKZIOInterfaceC::Open(const char* szPath, const char* szMode)
{
    FILE* pStream = fopen(szPath, szMode);
    if (pStream)
        StreamBuffers().Give(pStream);
    return pStream;
}

int CKZIOInterfaceC::Close(void* pHandle)
{
    FILE* pStream = static_cast<FILE*>(pHandle);
    const std::unique_ptr<char[]> pBuffer = StreamBuffers().Take(pStream);
    return fclose(pStream);
}

int CKZIOInterfaceC::Read(void* pBuffer, int elementSize, int count, void* pHandle)
{
    if (elementSize <= 0 || count <= 0)
        return 0;
    return static_cast<int>(fread(pBuffer, static_cast<size_t>(elementSize), static_cast<size_t>(count),
                                  static_cast<FILE*>(pHandle)));
}

int CKZIOInterfaceC::Write(const void* pBuffer, int elementSize, int count, void* pHandle)
{
    if (elementSize <= 0 || count <= 0 || !KZFileIO::AdmitWrite(size_t(elementSize) * size_t(count)))
        return 0;
    return static_cast<int>(fwrite(pBuffer, static_cast<size_t>(elementSize), static_cast<size_t>(count),
                                   static_cast<FILE*>(pHandle)));
}

int CKZIOInterfaceC::Tell(void* pHandle)
{
    return static_cast<int>(ftell(static_cast<FILE*>(pHandle)));
}

int CKZIOInterfaceC::Seek(void* pHandle, int offset, int origin)
{
    return fseek(static_cast<FILE*>(pHandle), offset, origin);
}

int CKZIOInterfaceC::GetDescriptor(void* pHandle)
{
    return pHandle ? fileno(static_cast<FILE*>(pHandle)) : -1;
}

int CKZIOInterfaceC::KZEOF(void* pHandle)
{
    return feof(static_cast<FILE*>(pHandle));
}

int CKZIOInterfaceC::GetLength(void* pHandle)
{
    FILE* pStream = static_cast<FILE*>(pHandle);
    struct stat status;
    if (fstat(fileno(pStream), &status) != 0 || !S_ISREG(status.st_mode))
        return CKZIOInterface::GetLength(pHandle);
    // Written bytes still in the buffer can reach past the end the system knows; only then is the
    // buffer flushed (it holds nothing to read back at that moment).
    const long position = ftell(pStream);
    if (position > status.st_size && (fflush(pStream) != 0 || fstat(fileno(pStream), &status) != 0))
        return CKZIOInterface::GetLength(pHandle);
    return static_cast<int>(status.st_size);
}

bool CKZIOInterfaceC::Good(void* pHandle) const
{
    return pHandle && ferror(static_cast<FILE*>(pHandle)) == 0;
}

namespace KZFileIO
{
namespace
{
CKZIOInterfaceC s_StandardIOInterface;
// Atomic: the installer's init worker resets the default while other threads open files.
std::atomic<CKZIOInterface*> s_pDefaultIOInterface{&s_StandardIOInterface};
std::atomic<CKZIOInterface*> s_pUserDataIOInterface{&s_StandardIOInterface};
std::atomic<IKZWriteBackEnd*> s_pWriteBackEnd{nullptr};
}

void SetWriteBackEnd(IKZWriteBackEnd* pBackEnd) { s_pWriteBackEnd.store(pBackEnd); }
bool AdmitWrite(size_t bytes)
{
    IKZWriteBackEnd* pBackEnd = s_pWriteBackEnd.load();
    return !pBackEnd || pBackEnd->Admit(bytes);
}
bool FreeDiskBytes(const char* szPath, uint64_t& qwFree)
{
    IKZWriteBackEnd* pBackEnd = s_pWriteBackEnd.load();
    return (pBackEnd && pBackEnd->FreeDiskBytes(qwFree)) || KZPlatform::GetFreeDiskBytes(szPath, &qwFree);
}

CKZIOInterface* GetStandardInterface() { return &s_StandardIOInterface; }
CKZIOInterface* GetDefaultInterface() { return s_pDefaultIOInterface.load(); }
void SetDefaultInterface(CKZIOInterface* pInterface) { s_pDefaultIOInterface.store(pInterface); }
CKZIOInterface* SetDefaultInterface()
{
    s_pDefaultIOInterface.store(&s_StandardIOInterface);
    return &s_StandardIOInterface;
}
void SetUserDataInterface(CKZIOInterface* pInterface) { s_pUserDataIOInterface.store(pInterface); }
CKZIOInterface* GetUserDataInterface() { return s_pUserDataIOInterface.load(); }
}
