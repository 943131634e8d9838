#pragma once
// Memory helpers of the engine: forwards to the C library, and aligned blocks.

#include <cstddef>

void* KZMalloc(size_t size);
void* KZReAlloc(void* p, size_t size);
void* KZCAlloc(size_t count, size_t size);
void KZFree(void* p);
void* KZMemSet(void* p, int value, size_t size);
int KZMemCmp(const void* a, const void* b, size_t size);
void* KZMemCpy(void* dst, const void* src, size_t size);

// A block of `size` bytes at a multiple of `alignment` (a power of two; 0 counts as 1); the address
// malloc gave is kept in the 8 bytes below the block. Null when malloc fails or the alignment is not
// a power of two.
void* KZAlignedMalloc(size_t size, size_t alignment);
void KZAlignedFree(void* p);
