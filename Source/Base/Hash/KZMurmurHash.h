#pragma once
// MurmurHash1 and MurmurHash64B as their author published them. Blocks are read as little-endian
// words, so results are the same on every machine.

#include <cstdint>

namespace KZEngine
{
// The high half of the result is h1, the low half h2. A negative length hashes no bytes.
uint64_t MurmurHash64B(const void* pData, int32_t nLength, uint64_t qwSeed);
uint32_t MurmurHash1(const char* szText, uint32_t dwSeed);
uint32_t MurmurHash1(const void* pData, int32_t nLength, uint32_t dwSeed);
}
