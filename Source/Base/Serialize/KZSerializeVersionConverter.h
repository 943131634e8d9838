#pragma once
// Converts serialized images of the old layout (version 0: 16-byte records with a parent index for
// every record) in place into the current one.

#include <cstdint>

class CKZSerializeVersionConverter
{
public:
    // Rewrites an old-layout image of `size` bytes as a version-3 image in the same memory. False,
    // with the image unchanged, when the old image is not well formed or the result would not fit.
    static bool Version0(char* pImage, uint64_t size);
};
