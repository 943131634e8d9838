#include "Base/Core/KZFileMem.h"

#include "Base/Debug/KZLog.h"
#include "Base/Util/KZMemory.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(KZFileMem, CreatingAndOpeningByName)
{
    CKZIOInterfaceMem memory;
    EXPECT_EQ(memory.Open("missing", "rb"), nullptr);
    for (const char* mode : {"wb", "ab", "w"})
    {
        void* handle = memory.Open(mode, mode);
        ASSERT_NE(handle, nullptr) << mode;
        EXPECT_EQ(memory.GetLength(handle), 0);
        memory.Close(handle);
    }
    void* handle = memory.Open("file", "wb");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(memory.Open("file", "rb"), nullptr) << "a file that is still open is refused";
}

TEST(KZFileMem, GrowsKeepsATerminatorAndReadsBack)
{
    CKZIOInterfaceMem memory;
    void* handle = memory.Open("grow", "wb");
    char data[200];
    for (int i = 0; i < 200; ++i)
        data[i] = static_cast<char>('A' + i % 26);
    EXPECT_EQ(memory.Write(data, 1, 200, handle), 200);
    CKZIOInterfaceMem::SMemBlock* pBlock = CKZIOInterfaceMem::GetFileFromPointer(handle);
    EXPECT_EQ(pBlock->dwCapacity, 256u);
    EXPECT_EQ(pBlock->dwLength, 200u);
    EXPECT_EQ(pBlock->pStart[200], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pBlock) % 64, 0u);
    EXPECT_EQ(memory.Close(handle), 0);

    handle = memory.Open("grow", "rb");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(memory.Tell(handle), 0);
    char back[200];
    EXPECT_EQ(memory.Read(back, 1, 196, handle), 196);
    EXPECT_EQ(memory.KZEOF(handle), 0);
    EXPECT_EQ(memory.Read(back + 196, 10, 1, handle), 4) << "bytes, not elements";
    EXPECT_EQ(memory.KZEOF(handle), 1);
    EXPECT_EQ(memcmp(back, data, 200), 0);
}

TEST(KZFileMem, SeekTellAndBounds)
{
    CKZIOInterfaceMem memory;
    void* handle = memory.Open("ten", "wb");
    memory.Write("0123456789", 1, 10, handle);
    EXPECT_EQ(memory.Seek(handle, -4, 2), 0);
    EXPECT_EQ(memory.Tell(handle), 6);
    EXPECT_EQ(memory.Seek(handle, 2, 1), 0);
    EXPECT_EQ(memory.Tell(handle), 8);
    // A position beyond the block is held at its edge: no read or write leaves the block.
    memory.Seek(handle, 1 << 30, 0);
    EXPECT_EQ(memory.Tell(handle), 64);
    memory.Seek(handle, -100, 0);
    EXPECT_EQ(memory.Tell(handle), 0);
    char c;
    memory.Seek(handle, 10, 0);
    EXPECT_EQ(memory.Read(&c, 1, 1, handle), 0);
    EXPECT_EQ(memory.Seek(nullptr, 0, 0), 1);
    EXPECT_EQ(memory.Close(nullptr), -1);
    EXPECT_EQ(memory.Read(&c, 1, 1, nullptr), 0);
}

TEST(KZFileMem, CopyFromAnotherInterface)
{
    CKZIOInterfaceMem source, target;
    void* from = source.Open("source", "wb");
    source.Write("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789", 1, 74, from);
    source.Close(from);
    from = source.Open("source", "rb");
    void* tooSmall = target.OpenWithSize("small", "wb", 16);
    EXPECT_FALSE(target.CopyFileFromOtherIOInterface(&source, from, tooSmall));
    EXPECT_EQ(target.GetLength(tooSmall), 0);
    void* bigEnough = target.OpenWithSize("big", "wb", 74);
    EXPECT_TRUE(target.CopyFileFromOtherIOInterface(&source, from, bigEnough));
    EXPECT_EQ(target.GetLength(bigEnough), 74);
    EXPECT_EQ(memcmp(target.GetMemPtrOfStart(bigEnough), "0123", 4), 0);
    EXPECT_FALSE(target.CopyFileFromOtherIOInterface(&source, from, nullptr));
}

TEST(KZFileMem, VirtualBlocks)
{
    CKZIOInterfaceMem::SMemBlock* pBlock = CKZIOInterfaceMem::OpenVirtualFile(32, true);
    ASSERT_NE(pBlock, nullptr);
    EXPECT_EQ(pBlock->dwCapacity, 32u);
    EXPECT_EQ(pBlock->dwWriteMode, 1u);
    EXPECT_EQ(pBlock->pPosition, pBlock->pStart);
    KZAlignedFree(pBlock);
}
