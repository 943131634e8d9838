#pragma once
// A read-only view of a range of a file, mapped into memory rather than copied: its pages are read
// in as they are touched, belong to the file's cache rather than to the process, and are dropped
// again under memory pressure. The view stays valid when the descriptor is closed or the file is
// renamed over; the file must not be cut shorter while it is mapped.

#include <cstddef>
#include <cstdint>

class CKZMappedRegion
{
public:
    CKZMappedRegion() = default;
    ~CKZMappedRegion();
    CKZMappedRegion(CKZMappedRegion&& other) noexcept;
    CKZMappedRegion& operator=(CKZMappedRegion&& other) noexcept;
    CKZMappedRegion(const CKZMappedRegion&) = delete;
    CKZMappedRegion& operator=(const CKZMappedRegion&) = delete;

    // Maps qwLength bytes from qwOffset of an open file; false when the range runs past the file's
    // end or cannot be mapped. An empty range maps nothing and succeeds.
    bool Map(int nDescriptor, uint64_t qwOffset, uint64_t qwLength);
    void Unmap();

    const uint8_t* Data() const { return m_pData; }
    size_t Size() const { return m_size; }

private:
    void* m_pMapping = nullptr;
    size_t m_mappingLength = 0;
    const uint8_t* m_pData = nullptr;
    size_t m_size = 0;
};
