#include "Base/Hash/KZCrc32.h"

#include <isa-l/crc.h>

#include <algorithm>

uint32_t KZCrc32(uint32_t dwCrc, const void* pData, size_t size)
{
    // The routine takes 64-bit lengths; pieces keep any one call modest.
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    while (size > 0)
    {
        const size_t piece = std::min<size_t>(size, size_t(1) << 30);
        dwCrc = crc32_gzip_refl(dwCrc, p, piece);
        p += piece;
        size -= piece;
    }
    return dwCrc;
}
