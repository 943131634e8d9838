#include "Base/Core/KZIOInterface.h"

#include <atomic>

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
    return fopen(szPath, szMode);
}

int CKZIOInterfaceC::Close(void* pHandle)
{
    return fclose(static_cast<FILE*>(pHandle));
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
    if (elementSize <= 0 || count <= 0)
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

int CKZIOInterfaceC::KZEOF(void* pHandle)
{
    return feof(static_cast<FILE*>(pHandle));
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
