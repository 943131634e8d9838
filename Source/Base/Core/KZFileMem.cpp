#include "Base/Core/KZFileMem.h"

#include "Base/Debug/KZLog.h"
#include "Base/Util/KZMemory.h"

#include <cstring>

namespace
{
const CKZLog::SEventRecord s_recordAlreadyOpen = {"Source/Base/Core/KZFileMem", "OpenWithSize",
                                                  "!fileAlreadyOpened", CKZLog::EVENT_ASSERT, 0, 84};
const uint32_t kHeaderSize = 64;
static_assert(sizeof(CKZIOInterfaceMem::SMemBlock) <= kHeaderSize, "the header fits its 64 bytes");

CKZIOInterfaceMem::SMemBlock* NewBlock(uint32_t capacity)
{
    void* pMemory = KZAlignedMalloc(uint64_t(capacity) + kHeaderSize + 1, 64);
    if (!pMemory)
        return nullptr;
    auto* pBlock = static_cast<CKZIOInterfaceMem::SMemBlock*>(pMemory);
    pBlock->pStart = static_cast<uint8_t*>(pMemory) + kHeaderSize;
    pBlock->pPosition = pBlock->pStart;
    pBlock->dwCapacity = capacity;
    pBlock->dwLength = 0;
    pBlock->dwWriteMode = 0;
    pBlock->dwOpen = 1;
    pBlock->pStart[capacity] = 0;
    return pBlock;
}

bool IsWriteMode(const char* szMode)
{
    return strchr(szMode, 'w') || strchr(szMode, 'a');
}

// The room between the position and the end of the valid data; 0 when the position lies outside.
uint64_t Remaining(const CKZIOInterfaceMem::SMemBlock* pBlock)
{
    const uint8_t* pEnd = pBlock->pStart + pBlock->dwLength;
    return pBlock->pPosition >= pBlock->pStart && pBlock->pPosition < pEnd ? uint64_t(pEnd - pBlock->pPosition) : 0;
}
} // namespace

CKZIOInterfaceMem::MemFileInfo::~MemFileInfo()
{
    KZAlignedFree(block);
}

CKZIOInterfaceMem::~CKZIOInterfaceMem()
{
    Clear();
}

void CKZIOInterfaceMem::Clear()
{
    m_files.clear();
}

CKZIOInterfaceMem::SMemBlock* CKZIOInterfaceMem::GetFileFromPointer(void* pHandle)
{
    return pHandle ? static_cast<MemFileInfo*>(pHandle)->block : nullptr;
}

CKZIOInterfaceMem::SMemBlock* CKZIOInterfaceMem::OpenVirtualFile(uint32_t size, bool bWrite)
{
    SMemBlock* pBlock = NewBlock(size);
    if (pBlock)
        pBlock->dwWriteMode = bWrite ? 1 : 0;
    return pBlock;
}

void* CKZIOInterfaceMem::OpenWithSize(const char* szName, const char* szMode, uint32_t size)
{
    const bool bWrite = IsWriteMode(szMode);
    for (MemFileInfo& info : m_files)
    {
        if (info.name != szName)
            continue;
        if (info.block && info.block->dwOpen)
        {
            KZ_REPORT_EVENT(s_recordAlreadyOpen, "%s", "");
            return nullptr;
        }
        if (info.block)
            info.block->dwWriteMode = bWrite ? 1 : 0;
        return &info;
    }
    if (!bWrite)
        return nullptr;
    SMemBlock* pBlock = NewBlock(size);
    if (!pBlock)
        return nullptr;
    pBlock->dwWriteMode = 1;
    m_files.emplace_back();
    m_files.back().name = szName;
    m_files.back().block = pBlock;
    return &m_files.back();
}

int CKZIOInterfaceMem::Close(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    if (!pBlock)
        return -1;
    pBlock->dwOpen = 0;
    pBlock->pPosition = pBlock->pStart;
    return 0;
}

int CKZIOInterfaceMem::Read(void* pBuffer, int elementSize, int count, void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    if (!pBlock || elementSize <= 0 || count <= 0)
        return 0;
    uint64_t bytes = uint64_t(elementSize) * uint64_t(count);
    const uint64_t remaining = Remaining(pBlock);
    if (bytes > remaining)
        bytes = remaining;
    memcpy(pBuffer, pBlock->pPosition, bytes);
    pBlock->pPosition += bytes;
    return static_cast<int>(bytes);
}

int CKZIOInterfaceMem::Write(const void* pBuffer, int elementSize, int count, void* pHandle)
{
    MemFileInfo* pInfo = static_cast<MemFileInfo*>(pHandle);
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    if (!pBlock || elementSize <= 0 || count <= 0)
        return 0;
    const uint64_t bytes = uint64_t(elementSize) * uint64_t(count);
    if (pBlock->pPosition < pBlock->pStart)
        return 0;
    const uint64_t offset = uint64_t(pBlock->pPosition - pBlock->pStart);
    const uint64_t needed = offset + bytes + 1; // room for the terminating zero
    if (needed >= pBlock->dwCapacity)
    {
        uint64_t capacity = pBlock->dwCapacity ? pBlock->dwCapacity : 1;
        while (capacity < needed)
            capacity *= 2;
        if (capacity > 0xFFFFFFFFull - kHeaderSize - 1)
            return 0;
        SMemBlock* pNew = NewBlock(static_cast<uint32_t>(capacity));
        if (!pNew)
            return 0;
        pNew->dwWriteMode = pBlock->dwWriteMode;
        pNew->dwLength = pBlock->dwLength;
        pNew->dwOpen = pBlock->dwOpen;
        pNew->pPosition = pNew->pStart + offset;
        memcpy(pNew->pStart, pBlock->pStart, pBlock->dwLength);
        KZAlignedFree(pBlock);
        pInfo->block = pBlock = pNew;
    }
    memcpy(pBlock->pPosition, pBuffer, bytes);
    pBlock->pPosition += bytes;
    const uint64_t end = offset + bytes;
    if (end > pBlock->dwLength)
    {
        pBlock->dwLength = static_cast<uint32_t>(end);
        pBlock->pStart[end] = 0;
    }
    return static_cast<int>(bytes);
}

int CKZIOInterfaceMem::Tell(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    return pBlock ? static_cast<int>(pBlock->pPosition - pBlock->pStart) : 0;
}

int CKZIOInterfaceMem::Seek(void* pHandle, int offset, int origin)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    if (!pBlock)
        return 1;
    // Positions are kept as offsets inside [0, capacity]; reads and writes check them again.
    int64_t target;
    switch (origin)
    {
    case 0: target = offset; break;
    case 1: target = (pBlock->pPosition - pBlock->pStart) + int64_t(offset); break;
    case 2: target = int64_t(pBlock->dwLength) + offset; break;
    default: return 0;
    }
    if (target < 0)
        target = 0;
    if (target > int64_t(pBlock->dwCapacity))
        target = pBlock->dwCapacity;
    pBlock->pPosition = pBlock->pStart + target;
    return 0;
}

int CKZIOInterfaceMem::KZEOF(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    if (!pBlock || pBlock->dwWriteMode)
        return 0;
    return pBlock->pPosition - pBlock->pStart >= int64_t(pBlock->dwLength) ? 1 : 0;
}

int CKZIOInterfaceMem::GetLength(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    return pBlock ? static_cast<int>(pBlock->dwLength) : 0;
}

void* CKZIOInterfaceMem::GetMemPtr(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    return pBlock ? pBlock->pPosition : nullptr;
}

void* CKZIOInterfaceMem::GetMemPtrOfStart(void* pHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pHandle);
    return pBlock ? pBlock->pStart : nullptr;
}

bool CKZIOInterfaceMem::Good(void* pHandle) const
{
    return GetFileFromPointer(pHandle) != nullptr;
}

bool CKZIOInterfaceMem::CopyFileFromOtherIOInterface(CKZIOInterface* pOther, void* pOtherHandle, void* pOwnHandle)
{
    SMemBlock* pBlock = GetFileFromPointer(pOwnHandle);
    if (!pBlock)
        return false;
    const int length = pOther->GetLength(pOtherHandle);
    if (length < 0 || uint32_t(length) > pBlock->dwCapacity)
        return false;
    if (pOther->Read(pBlock->pStart, 1, length, pOtherHandle) < length)
        return false;
    pBlock->dwLength = static_cast<uint32_t>(length);
    pBlock->pStart[length] = 0;
    return true;
}
