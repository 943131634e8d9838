#pragma once
// Base64 with the standard alphabet, "=" padding and no line breaks.

#include <cstdint>
#include <string>

class CKZBase64
{
public:
    static constexpr char base64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

    virtual ~CKZBase64();

    static std::string Encode(const void* pData, uint32_t dwCount);
    // Reads groups of four characters and stops at the first "=" or at the first character outside
    // the alphabet; a final group of two or three characters gives one or two bytes.
    static std::string Decode(const std::string& strText);
};
