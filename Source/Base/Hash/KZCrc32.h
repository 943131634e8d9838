#pragma once
// The CRC-32 of zip entries, gzip and the catalogue (the reflected 0xEDB88320 polynomial, as
// zlib's crc32 computes it), through the carry-less multiply routines of the storage acceleration
// library where the processor has them. Chains like zlib's: start at 0 and pass each result on.

#include <cstddef>
#include <cstdint>

uint32_t KZCrc32(uint32_t dwCrc, const void* pData, size_t size);
