#pragma once
// One descriptor of the operating system, closed by its owner. Reads name their own offset, so any
// number of readers can share one descriptor without moving each other's position.

#include <cstddef>
#include <cstdint>
#include <string>

class CKZFileDescriptor
{
public:
    CKZFileDescriptor() = default;
    ~CKZFileDescriptor();
    CKZFileDescriptor(CKZFileDescriptor&& other) noexcept;
    CKZFileDescriptor& operator=(CKZFileDescriptor&& other) noexcept;
    CKZFileDescriptor(const CKZFileDescriptor&) = delete;
    CKZFileDescriptor& operator=(const CKZFileDescriptor&) = delete;

    static CKZFileDescriptor OpenForReading(const std::string& strPath);
    // An existing file, for writing at given offsets; it is neither created nor truncated.
    static CKZFileDescriptor OpenForWriting(const std::string& strPath);
    // A new empty file (an old one is truncated), for reading and writing.
    static CKZFileDescriptor Create(const std::string& strPath);
    // Closes now; false when the system reports a failure.
    bool Close();

    bool IsOpen() const { return m_nDescriptor >= 0; }
    int Get() const { return m_nDescriptor; }
    // The file's size, -1 when it cannot be examined.
    int64_t GetLength() const;
    // Up to `size` bytes from `offset`: the bytes read (fewer only at the end of the file), -1 on
    // failure.
    int64_t ReadAt(void* pBuffer, size_t size, int64_t offset) const;

private:
    explicit CKZFileDescriptor(int nDescriptor) : m_nDescriptor(nDescriptor) {}

    int m_nDescriptor = -1;
};
