#include "Base/Core/KZMappedRegion.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

CKZMappedRegion::~CKZMappedRegion()
{
    Unmap();
}

CKZMappedRegion::CKZMappedRegion(CKZMappedRegion&& other) noexcept
    : m_pMapping(std::exchange(other.m_pMapping, nullptr)), m_mappingLength(std::exchange(other.m_mappingLength, 0)),
      m_pData(std::exchange(other.m_pData, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_bWritable(std::exchange(other.m_bWritable, false))
{
}

CKZMappedRegion& CKZMappedRegion::operator=(CKZMappedRegion&& other) noexcept
{
    if (this != &other)
    {
        Unmap();
        m_pMapping = std::exchange(other.m_pMapping, nullptr);
        m_mappingLength = std::exchange(other.m_mappingLength, 0);
        m_pData = std::exchange(other.m_pData, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_bWritable = std::exchange(other.m_bWritable, false);
    }
    return *this;
}

bool CKZMappedRegion::Map(int nDescriptor, uint64_t qwOffset, uint64_t qwLength)
{
    Unmap();
    struct stat status;
    if (nDescriptor < 0 || fstat(nDescriptor, &status) != 0 || status.st_size < 0 ||
        qwOffset > static_cast<uint64_t>(status.st_size) || qwLength > static_cast<uint64_t>(status.st_size) - qwOffset)
        return false;
    if (qwLength == 0)
        return true;
    // Mappings start on a page boundary: the view begins that far into the mapping.
    const uint64_t qwPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t qwStart = qwOffset - qwOffset % qwPage;
    const uint64_t qwMapped = qwLength + (qwOffset - qwStart);
    if (qwMapped > SIZE_MAX)
        return false;
    void* pMapping = mmap(nullptr, static_cast<size_t>(qwMapped), PROT_READ, MAP_SHARED, nDescriptor,
                          static_cast<off_t>(qwStart));
    if (pMapping == MAP_FAILED)
        return false;
    m_pMapping = pMapping;
    m_mappingLength = static_cast<size_t>(qwMapped);
    m_pData = static_cast<const uint8_t*>(pMapping) + (qwOffset - qwStart);
    m_size = static_cast<size_t>(qwLength);
    return true;
}

bool CKZMappedRegion::MapWritable(int nDescriptor, uint64_t qwLength)
{
    Unmap();
    struct stat status;
    if (nDescriptor < 0 || fstat(nDescriptor, &status) != 0 || status.st_size < 0 ||
        qwLength > static_cast<uint64_t>(status.st_size) || qwLength > SIZE_MAX)
        return false;
    if (qwLength == 0)
        return true;
    void* pMapping = mmap(nullptr, static_cast<size_t>(qwLength), PROT_READ | PROT_WRITE, MAP_SHARED, nDescriptor, 0);
    if (pMapping == MAP_FAILED)
        return false;
    m_pMapping = pMapping;
    m_mappingLength = static_cast<size_t>(qwLength);
    m_pData = static_cast<const uint8_t*>(pMapping);
    m_size = static_cast<size_t>(qwLength);
    m_bWritable = true;
    return true;
}

void CKZMappedRegion::DropResidentPages() const
{
    // Shared mappings only: their pages belong to the file, so dropping them loses nothing.
    if (m_pMapping)
        madvise(m_pMapping, m_mappingLength, MADV_DONTNEED);
}

void CKZMappedRegion::Unmap()
{
    if (m_pMapping)
        munmap(m_pMapping, m_mappingLength);
    m_pMapping = nullptr;
    m_mappingLength = 0;
    m_pData = nullptr;
    m_size = 0;
    m_bWritable = false;
}
