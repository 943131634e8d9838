#pragma once
// A view of a range of a file (read-only, or writable from its start), mapped into memory rather than copied: its pages are read
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
    // Maps the first qwLength bytes of a file open for reading and writing (the file is that long
    // already), writable: what is stored through MutableData() goes to the file. Nothing for 0.
    bool MapWritable(int nDescriptor, uint64_t qwLength);
    void Unmap();
    // The pages touched so far leave the process: they stay in the file's cache (written ones too)
    // and are read in again when touched, so a long pass over a large view is never resident at
    // once.
    void DropResidentPages() const;

    const uint8_t* Data() const { return m_pData; }
    uint8_t* MutableData() const { return m_bWritable ? const_cast<uint8_t*>(m_pData) : nullptr; }
    size_t Size() const { return m_size; }

private:
    void* m_pMapping = nullptr;
    size_t m_mappingLength = 0;
    const uint8_t* m_pData = nullptr;
    size_t m_size = 0;
    bool m_bWritable = false;
};
