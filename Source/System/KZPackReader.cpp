#include "System/KZPackReader.h"

#include <algorithm>
#include <climits>
#include <utility>

CKZPackReader::CKZPackReader(std::shared_ptr<const CKZFileDescriptor> pData, uint32_t dwOffset, uint32_t dwLength)
    : m_pData(std::move(pData)), m_dwOffset(dwOffset), m_dwLength(dwLength), m_qwPosition(dwOffset)
{
}

int CKZPackReader::Read(void* pBuffer, int elementSize, int count)
{
    if (!m_pData || elementSize <= 0 || count <= 0)
        return 0;
    const int64_t end = int64_t(m_dwOffset) + m_dwLength;
    const int64_t remaining = std::max<int64_t>(0, end - m_qwPosition);
    count = static_cast<int>(std::min<int64_t>(count, remaining / elementSize));
    if (count == 0)
        return 0;
    const int64_t got = m_pData->ReadAt(pBuffer, size_t(count) * size_t(elementSize), m_qwPosition);
    if (got <= 0)
        return 0;
    m_qwPosition += got;
    return static_cast<int>(got / elementSize);
}

int CKZPackReader::Tell() const
{
    return static_cast<int>(m_qwPosition - m_dwOffset);
}

int CKZPackReader::Seek(int offset, int origin)
{
    int64_t target = 0;
    switch (origin)
    {
    case 0:
        target = int64_t(m_dwOffset) + offset;
        break;
    case 1:
        target = m_qwPosition + offset;
        break;
    case 2:
        target = int64_t(m_dwOffset) + m_dwLength + offset;
        break;
    default:
        return 0;
    }
    // Positions in the data file are ints to the I/O interface.
    if (target < 0 || target > INT_MAX)
        return -1;
    m_qwPosition = target;
    return 0;
}

bool CKZPackReader::IsAtEnd() const
{
    return m_qwPosition >= int64_t(m_dwOffset) + m_dwLength;
}
