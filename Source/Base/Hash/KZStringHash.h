#pragma once
// Classic 32-bit string hashes. Every byte enters as a signed 8-bit value widened to 32 bits,
// so bytes of 0x80 and above count as negative numbers; all arithmetic wraps at 32 bits.
// Hash gives every serialization key its id and must never change.

#include <cstdint>

namespace KZEngine
{
uint32_t Hash(const char* szText);
uint32_t ELFHash(const char* szText);
uint32_t RSHash(const char* szText);
uint32_t JSHash(const char* szText);
uint32_t PJWHash(const char* szText);
uint32_t BKDRHash(const char* szText);
uint32_t SDBMHash(const char* szText);
uint32_t DJBHash(const char* szText);
uint32_t DEKHash(const char* szText);
uint32_t BPHash(const char* szText);
// The multiplier is 0x811C9DC5 (the usual offset basis), not the FNV prime.
uint32_t FNVHash(const char* szText);
uint32_t APHash(const char* szText);
}
