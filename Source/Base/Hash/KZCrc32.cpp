#include "Base/Hash/KZCrc32.h"

#include <isa-l/crc.h>

uint32_t KZCrc32(uint32_t dwCrc, const void* pData, size_t size)
{
    return crc32_gzip_refl(dwCrc, static_cast<const unsigned char*>(pData), size);
}
