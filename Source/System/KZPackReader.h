#pragma once
// One open packed file: a position of its own over the packed file's bytes in its pack's data file,
// read with positioned reads on the descriptor that the pack index opened once and that every
// reader of the pack shares. Readers never move each other, and a reader keeps the bytes it was
// opened on: it may outlive the index and a patch run that replaces its pack.

#include "Base/Core/KZFileDescriptor.h"

#include <cstdint>
#include <memory>

class CKZPackReader
{
public:
    CKZPackReader(std::shared_ptr<const CKZFileDescriptor> pData, uint32_t dwOffset, uint32_t dwLength);

    // Whole elements read, stdio style; a read stops at the packed file's end instead of running
    // into the next file's bytes.
    int Read(void* pBuffer, int elementSize, int count);
    // Positions count from the packed file's first byte.
    int Tell() const;
    // Origin 0 from the packed file's start, 1 from the current position, 2 from its end; 0 on
    // success, -1 for a place the data file's positions cannot express. Other origins change nothing.
    int Seek(int offset, int origin);
    bool IsAtEnd() const;
    uint32_t GetLength() const { return m_dwLength; }

    // For copies inside the kernel: the data file's descriptor and the position in it.
    int GetDescriptor() const { return m_pData ? m_pData->Get() : -1; }
    int64_t GetDataPosition() const { return m_qwPosition; }

private:
    std::shared_ptr<const CKZFileDescriptor> m_pData;
    uint32_t m_dwOffset;
    uint32_t m_dwLength;
    int64_t m_qwPosition; // in the data file
};
