#include "Base/Hash/KZBase64.h"

namespace
{
// The value of an alphabet character, or -1. Decided by table, not by the C library's character
// classes, so bytes above 0x7F are plain non-alphabet characters.
int DecodeChar(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
}

CKZBase64::~CKZBase64() = default;

std::string CKZBase64::Encode(const void* pData, uint32_t dwCount)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    std::string strOut;
    strOut.reserve((static_cast<size_t>(dwCount) + 2) / 3 * 4);
    uint32_t i = 0;
    for (; i + 3 <= dwCount; i += 3)
    {
        const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        strOut += base64_chars[(v >> 18) & 63];
        strOut += base64_chars[(v >> 12) & 63];
        strOut += base64_chars[(v >> 6) & 63];
        strOut += base64_chars[v & 63];
    }
    const uint32_t dwRest = dwCount - i;
    if (dwRest > 0)
    {
        uint32_t v = uint32_t(p[i]) << 16;
        if (dwRest == 2)
            v |= uint32_t(p[i + 1]) << 8;
        strOut += base64_chars[(v >> 18) & 63];
        strOut += base64_chars[(v >> 12) & 63];
        strOut += dwRest == 2 ? base64_chars[(v >> 6) & 63] : '=';
        strOut += '=';
    }
    return strOut;
}

std::string CKZBase64::Decode(const std::string& strText)
{
    std::string strOut;
    strOut.reserve(strText.size() / 4 * 3 + 2);
    uint32_t adwGroup[4];
    int nInGroup = 0;
    for (const char ch : strText)
    {
        const int v = DecodeChar(static_cast<unsigned char>(ch));
        if (v < 0)
            break;
        adwGroup[nInGroup++] = static_cast<uint32_t>(v);
        if (nInGroup == 4)
        {
            const uint32_t w = (adwGroup[0] << 18) | (adwGroup[1] << 12) | (adwGroup[2] << 6) | adwGroup[3];
            strOut += static_cast<char>(w >> 16);
            strOut += static_cast<char>((w >> 8) & 0xFF);
            strOut += static_cast<char>(w & 0xFF);
            nInGroup = 0;
        }
    }
    if (nInGroup >= 2)
    {
        const uint32_t w = (adwGroup[0] << 18) | (adwGroup[1] << 12) | (nInGroup == 3 ? adwGroup[2] << 6 : 0);
        strOut += static_cast<char>(w >> 16);
        if (nInGroup == 3)
            strOut += static_cast<char>((w >> 8) & 0xFF);
    }
    return strOut;
}
