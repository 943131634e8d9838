#include "Base/Util/KZMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

void* KZMalloc(size_t size) { return malloc(size); }
void* KZReAlloc(void* p, size_t size) { return realloc(p, size); }
void* KZCAlloc(size_t count, size_t size) { return calloc(count, size); }
void KZFree(void* p) { free(p); }
void* KZMemSet(void* p, int value, size_t size) { return memset(p, value, size); }
int KZMemCmp(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }
void* KZMemCpy(void* dst, const void* src, size_t size) { return memcpy(dst, src, size); }

// The block starts at the multiple of `alignment` after the raw address plus 7, never at it, so
// the 8 bytes below it always lie inside the allocation, even for alignments below 8.
void* KZAlignedMalloc(size_t size, size_t alignment)
{
    if (alignment == 0)
        alignment = 1;
    // A mask built from another alignment would not round, and could point outside the block.
    if ((alignment & (alignment - 1)) != 0)
        return nullptr;
    if (alignment > SIZE_MAX - 7 || size > SIZE_MAX - alignment - 7)
        return nullptr;
    void* pRaw = malloc(size + alignment + 7);
    if (!pRaw)
        return nullptr;
    const uintptr_t address = (reinterpret_cast<uintptr_t>(pRaw) + 7 + alignment) & ~(uintptr_t(alignment) - 1);
    void* pAligned = reinterpret_cast<void*>(address);
    memcpy(static_cast<char*>(pAligned) - 8, &pRaw, sizeof(pRaw));
    return pAligned;
}

void KZAlignedFree(void* p)
{
    if (!p)
        return;
    void* pRaw;
    memcpy(&pRaw, static_cast<char*>(p) - 8, sizeof(pRaw));
    free(pRaw);
}
