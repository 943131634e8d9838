#include "Base/Hash/KZMurmurHash.h"

#include <cstring>

namespace
{
inline uint32_t ReadWord(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// One little-endian word of the 64-bit hash mixed into one half of its state.
inline void MixWord(uint32_t& h, const uint8_t* p)
{
    const uint32_t m = 0x5BD1E995u;
    uint32_t k = ReadWord(p);
    k *= m;
    k ^= k >> 24;
    k *= m;
    h *= m;
    h ^= k;
}
}

namespace KZEngine
{
uint64_t MurmurHash64B(const void* pData, int32_t nLength, uint64_t qwSeed)
{
    const uint32_t m = 0x5BD1E995u;
    uint32_t h1 = static_cast<uint32_t>(qwSeed) ^ static_cast<uint32_t>(nLength);
    uint32_t h2 = static_cast<uint32_t>(qwSeed >> 32);
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    int32_t nLeft = nLength;

    while (nLeft >= 8)
    {
        MixWord(h1, p);
        MixWord(h2, p + 4);
        p += 8;
        nLeft -= 8;
    }
    if (nLeft >= 4)
    {
        MixWord(h1, p);
        p += 4;
        nLeft -= 4;
    }
    if (nLeft > 0)
    {
        if (nLeft == 3)
            h2 ^= uint32_t(p[2]) << 16;
        if (nLeft >= 2)
            h2 ^= uint32_t(p[1]) << 8;
        h2 ^= p[0];
        h2 *= m;
    }

    h1 ^= h2 >> 18;
    h1 *= m;
    h2 ^= h1 >> 22;
    h2 *= m;
    h1 ^= h2 >> 17;
    h1 *= m;
    h2 ^= h1 >> 19;
    h2 *= m;
    return (uint64_t(h1) << 32) | h2;
}

uint32_t MurmurHash1(const void* pData, int32_t nLength, uint32_t dwSeed)
{
    const uint32_t m = 0xC6A4A793u;
    const int r = 16;
    uint32_t h = dwSeed ^ (static_cast<uint32_t>(nLength) * m);
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    int32_t nLeft = nLength;

    while (nLeft >= 4)
    {
        h += ReadWord(p);
        h *= m;
        h ^= h >> r;
        p += 4;
        nLeft -= 4;
    }
    if (nLeft > 0)
    {
        if (nLeft == 3)
            h += uint32_t(p[2]) << 16;
        if (nLeft >= 2)
            h += uint32_t(p[1]) << 8;
        h += p[0];
        h *= m;
        h ^= h >> r;
    }

    h *= m;
    h ^= h >> 10;
    h *= m;
    h ^= h >> 17;
    return h;
}

uint32_t MurmurHash1(const char* szText, uint32_t dwSeed)
{
    return MurmurHash1(szText, static_cast<int32_t>(strlen(szText)), dwSeed);
}
}
