#pragma once
// Named files in memory: a list of growable 64-byte aligned blocks with a 64-byte header, the data
// after it and always one spare byte for a terminating zero.

#include "Base/Core/KZIOInterface.h"

#include <cstdint>
#include <list>
#include <string>

class CKZIOInterfaceMem : public CKZIOInterface
{
public:
    // The block header; the data starts 64 bytes after the block.
    struct SMemBlock
    {
        uint8_t* pStart;
        uint8_t* pPosition;
        uint32_t dwCapacity;
        uint32_t dwLength;
        uint32_t dwWriteMode;
        uint32_t dwOpen;
    };

    struct MemFileInfo
    {
        MemFileInfo() = default;
        ~MemFileInfo();
        MemFileInfo(const MemFileInfo&) = delete;
        MemFileInfo& operator=(const MemFileInfo&) = delete;

        std::string name;
        SMemBlock* block = nullptr;
    };

    CKZIOInterfaceMem() = default;
    ~CKZIOInterfaceMem() override;
    CKZIOInterfaceMem(const CKZIOInterfaceMem&) = delete;
    CKZIOInterfaceMem& operator=(const CKZIOInterfaceMem&) = delete;

    void* OpenWithSize(const char* szName, const char* szMode, uint32_t size);
    void* Open(const char* szName, const char* szMode) override { return OpenWithSize(szName, szMode, 64); }
    int Close(void* pHandle) override;
    // Reads answer bytes, not elements.
    int Read(void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Write(const void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Tell(void* pHandle) override;
    int Seek(void* pHandle, int offset, int origin) override;
    int KZEOF(void* pHandle) override;
    int GetLength(void* pHandle) override;
    void* GetMemPtr(void* pHandle) override;
    void* GetMemPtrOfStart(void* pHandle) override;
    bool Good(void* pHandle) const override;

    // A free-standing block that is in no list; null when it cannot be allocated.
    static SMemBlock* OpenVirtualFile(uint32_t size, bool bWrite);
    static SMemBlock* GetFileFromPointer(void* pHandle);
    // Fills the own memory file from a file of another interface; false when it does not fit.
    bool CopyFileFromOtherIOInterface(CKZIOInterface* pOther, void* pOtherHandle, void* pOwnHandle);
    void Clear();

private:
    std::list<MemFileInfo> m_files;
};
