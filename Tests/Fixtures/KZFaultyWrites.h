#pragma once
// A write back end that fails writes on request, installed for the length of a test: every write
// from the N-th on fails with EIO, or writes fail with ENOSPC once a number of bytes has gone
// through (a disk that fills up). Writes are counted whatever thread makes them.

#include "Base/Core/KZIOInterface.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

class CKZFaultyWrites : public IKZWriteBackEnd
{
public:
    CKZFaultyWrites() { KZFileIO::SetWriteBackEnd(this); }
    ~CKZFaultyWrites() override { KZFileIO::SetWriteBackEnd(nullptr); }
    CKZFaultyWrites(const CKZFaultyWrites&) = delete;
    CKZFaultyWrites& operator=(const CKZFaultyWrites&) = delete;

    // Writes from the n-th on (counting from 1, from now) fail; 0 lets them all through.
    void FailFromWrite(uint64_t n)
    {
        m_qwWrites = 0;
        m_qwFailFrom = n;
    }
    // bytes more may be written, then the disk is full; ~0 is room without end.
    void SetRoom(uint64_t bytes) { m_qwRoom = bytes; }
    // The free space the disk reports, whatever is written (~0: the file system's own).
    void SetReportedFree(uint64_t bytes) { m_qwReportedFree = bytes; }
    uint64_t Writes() const { return m_qwWrites; }
    uint64_t Refused() const { return m_qwRefused; }

    bool Admit(size_t bytes) override
    {
        const uint64_t qwWrite = ++m_qwWrites;
        if (m_qwFailFrom != 0 && qwWrite >= m_qwFailFrom)
            return Refuse(EIO);
        uint64_t qwRoom = m_qwRoom;
        while (qwRoom != ~uint64_t(0))
        {
            if (bytes > qwRoom)
                return Refuse(ENOSPC);
            if (m_qwRoom.compare_exchange_weak(qwRoom, qwRoom - bytes))
                break;
        }
        return true;
    }

    bool FreeDiskBytes(uint64_t& qwFree) override
    {
        if (m_qwReportedFree == ~uint64_t(0))
            return false;
        qwFree = m_qwReportedFree;
        return true;
    }

private:
    bool Refuse(int error)
    {
        ++m_qwRefused;
        errno = error;
        return false;
    }

    std::atomic<uint64_t> m_qwWrites{0};
    std::atomic<uint64_t> m_qwFailFrom{0};
    std::atomic<uint64_t> m_qwRoom{~uint64_t(0)};
    std::atomic<uint64_t> m_qwRefused{0};
    std::atomic<uint64_t> m_qwReportedFree{~uint64_t(0)};
};
