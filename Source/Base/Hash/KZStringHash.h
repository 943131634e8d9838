#pragma once
// Classic 32-bit string hashes. Every byte enters as a signed 8-bit value widened to 32 bits,
// so bytes of 0x80 and above count as negative numbers; all arithmetic wraps at 32 bits.

#include <cstdint>

namespace KZEngine
{
uint32_t Hash(const char* szText);
uint32_t ELFHash(const char* szText);
}
