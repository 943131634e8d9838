#include "Base/Hash/KZStringHash.h"

#include <cstring>

namespace
{
inline uint32_t Signed(char c)
{
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
}
}

namespace KZEngine
{
uint32_t ELFHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
    {
        h = (h << 4) + Signed(*p);
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

uint32_t RSHash(const char* szText)
{
    uint32_t a = 63689;
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
    {
        h = h * a + Signed(*p);
        a *= 378551;
    }
    return h;
}

uint32_t JSHash(const char* szText)
{
    uint32_t h = 1315423911u;
    for (const char* p = szText; *p; ++p)
        h ^= (h << 5) + Signed(*p) + (h >> 2);
    return h;
}

uint32_t PJWHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
    {
        h = (h << 4) + Signed(*p);
        if ((h & 0xF0000000u) != 0)
            h = (h & 0x0FFFFFFFu) ^ ((h >> 28) << 4);
    }
    return h;
}

uint32_t BKDRHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
        h = h * 131 + Signed(*p);
    return h;
}

uint32_t SDBMHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
        h = h * 65599 + Signed(*p);
    return h;
}

uint32_t DJBHash(const char* szText)
{
    uint32_t h = 5381;
    for (const char* p = szText; *p; ++p)
        h = h * 33 + Signed(*p);
    return h;
}

uint32_t DEKHash(const char* szText)
{
    uint32_t h = static_cast<uint32_t>(strlen(szText));
    for (const char* p = szText; *p; ++p)
        h = ((h << 5) ^ (h >> 27)) ^ Signed(*p);
    return h;
}

uint32_t BPHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
        h = (h << 7) ^ Signed(*p);
    return h;
}

uint32_t FNVHash(const char* szText)
{
    uint32_t h = 0;
    for (const char* p = szText; *p; ++p)
        h = (h * 0x811C9DC5u) ^ Signed(*p);
    return h;
}

uint32_t APHash(const char* szText)
{
    uint32_t h = 0xAAAAAAAAu;
    for (size_t i = 0; szText[i]; ++i)
    {
        const uint32_t c = Signed(szText[i]);
        if ((i & 1) == 0)
            h ^= (h << 7) ^ (c * (h >> 3));
        else
            h ^= ~(((h << 11) + c) ^ (h >> 5));
    }
    return h;
}
}
