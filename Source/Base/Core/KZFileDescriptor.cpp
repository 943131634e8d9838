#include "Base/Core/KZFileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

CKZFileDescriptor::~CKZFileDescriptor()
{
    if (m_nDescriptor >= 0)
        close(m_nDescriptor);
}

CKZFileDescriptor::CKZFileDescriptor(CKZFileDescriptor&& other) noexcept
    : m_nDescriptor(std::exchange(other.m_nDescriptor, -1))
{
}

CKZFileDescriptor& CKZFileDescriptor::operator=(CKZFileDescriptor&& other) noexcept
{
    if (this != &other)
    {
        if (m_nDescriptor >= 0)
            close(m_nDescriptor);
        m_nDescriptor = std::exchange(other.m_nDescriptor, -1);
    }
    return *this;
}

CKZFileDescriptor CKZFileDescriptor::OpenForReading(const std::string& strPath)
{
    return CKZFileDescriptor(open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
}

CKZFileDescriptor CKZFileDescriptor::OpenForWriting(const std::string& strPath)
{
    return CKZFileDescriptor(open(strPath.c_str(), O_WRONLY | O_CLOEXEC));
}

CKZFileDescriptor CKZFileDescriptor::Create(const std::string& strPath)
{
    return CKZFileDescriptor(open(strPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

bool CKZFileDescriptor::Close()
{
    const int nDescriptor = m_nDescriptor;
    m_nDescriptor = -1;
    return nDescriptor < 0 || close(nDescriptor) == 0;
}

int64_t CKZFileDescriptor::GetLength() const
{
    struct stat status;
    if (m_nDescriptor < 0 || fstat(m_nDescriptor, &status) != 0)
        return -1;
    return static_cast<int64_t>(status.st_size);
}

int64_t CKZFileDescriptor::ReadAt(void* pBuffer, size_t size, int64_t offset) const
{
    if (m_nDescriptor < 0 || offset < 0)
        return -1;
    size_t done = 0;
    while (done < size)
    {
        const ssize_t got = pread(m_nDescriptor, static_cast<char*>(pBuffer) + done, size - done,
                                  static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return done > 0 ? static_cast<int64_t>(done) : -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}
