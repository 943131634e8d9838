#include "Base/Hash/KZStringHash.h"

namespace KZEngine
{
uint32_t ELFHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
    {
        h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        const uint32_t x = h & 0xF0000000u;
        if (x != 0)
            h ^= x >> 24;
        h &= ~x;
    }
    return h;
}

uint32_t Hash(const char* szText)
{
    return ELFHash(szText);
}
}
