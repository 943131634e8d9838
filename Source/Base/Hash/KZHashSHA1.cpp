#include "Base/Hash/KZHashSHA1.h"

#include <cstdio>
#include <cstring>

namespace
{
inline uint32_t Rol(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

void AppendFormatted(std::string& strOut, const char* szFormat, unsigned int uValue)
{
    char szPiece[16];
    snprintf(szPiece, sizeof(szPiece), szFormat, uValue);
    strOut += szPiece;
}
}

CKZHashSHA1::CKZHashSHA1()
{
    memset(m_abDigest, 0, sizeof(m_abDigest));
    Begin();
}

CKZHashSHA1::~CKZHashSHA1() = default;

void CKZHashSHA1::Begin()
{
    m_adwState[0] = 0x67452301u;
    m_adwState[1] = 0xEFCDAB89u;
    m_adwState[2] = 0x98BADCFEu;
    m_adwState[3] = 0x10325476u;
    m_adwState[4] = 0xC3D2E1F0u;
    m_adwCount[0] = 0;
    m_adwCount[1] = 0;
    memset(m_abBuffer, 0, sizeof(m_abBuffer));
}

void CKZHashSHA1::Transform(const uint8_t* pBlock)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(pBlock[4 * i]) << 24) | (uint32_t(pBlock[4 * i + 1]) << 16) |
               (uint32_t(pBlock[4 * i + 2]) << 8) | uint32_t(pBlock[4 * i + 3]);
    for (int i = 16; i < 80; ++i)
        w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = m_adwState[0], b = m_adwState[1], c = m_adwState[2], d = m_adwState[3], e = m_adwState[4];
    for (int i = 0; i < 80; ++i)
    {
        uint32_t f, k;
        if (i < 20)
        {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        }
        else if (i < 40)
        {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        }
        else if (i < 60)
        {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        }
        else
        {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const uint32_t t = Rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = t;
    }
    m_adwState[0] += a;
    m_adwState[1] += b;
    m_adwState[2] += c;
    m_adwState[3] += d;
    m_adwState[4] += e;
}

void CKZHashSHA1::Add(const void* pData, uint32_t dwCount)
{
    if (dwCount == 0)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    const uint32_t dwUsed = (m_adwCount[0] >> 3) & 63;
    const uint32_t dwLowBefore = m_adwCount[0];
    m_adwCount[0] += dwCount << 3;
    if (m_adwCount[0] < dwLowBefore)
        ++m_adwCount[1];
    m_adwCount[1] += dwCount >> 29;

    if (dwUsed + dwCount < 64)
    {
        memcpy(m_abBuffer + dwUsed, p, dwCount);
        return;
    }
    uint32_t i = 64 - dwUsed;
    memcpy(m_abBuffer + dwUsed, p, i);
    Transform(m_abBuffer);
    for (; i + 63 < dwCount; i += 64)
        Transform(p + i);
    memcpy(m_abBuffer, p + i, dwCount - i);
}

void CKZHashSHA1::End()
{
    uint8_t abLength[8];
    for (int i = 0; i < 4; ++i)
    {
        abLength[i] = static_cast<uint8_t>(m_adwCount[1] >> (24 - 8 * i));
        abLength[4 + i] = static_cast<uint8_t>(m_adwCount[0] >> (24 - 8 * i));
    }
    static const uint8_t s_abPad[64] = {0x80};
    const uint32_t dwUsed = (m_adwCount[0] >> 3) & 63;
    Add(s_abPad, dwUsed < 56 ? 56 - dwUsed : 120 - dwUsed);
    Add(abLength, 8);
    for (int i = 0; i < 20; ++i)
        m_abDigest[i] = static_cast<uint8_t>(m_adwState[i >> 2] >> (24 - 8 * (i & 3)));

    memset(m_adwState, 0, sizeof(m_adwState));
    memset(m_adwCount, 0, sizeof(m_adwCount));
    memset(m_abBuffer, 0, sizeof(m_abBuffer));
}

void CKZHashSHA1::ComputeHash(const char* szText)
{
    ComputeHash(szText, static_cast<uint32_t>(strlen(szText)));
}

void CKZHashSHA1::ComputeHash(const void* pData, uint32_t dwCount)
{
    Begin();
    Add(pData, dwCount);
    End();
}

void CKZHashSHA1::GetHash(uint8_t abOut[20]) const
{
    memcpy(abOut, m_abDigest, sizeof(m_abDigest));
}

void CKZHashSHA1::GetHash(std::string& strOut, unsigned int uFormat) const
{
    strOut.clear();
    for (int i = 0; i < 20; ++i)
    {
        if (uFormat == 0)
            AppendFormatted(strOut, "%02x", m_abDigest[i]);
        else if (uFormat == 1)
            AppendFormatted(strOut, i == 0 ? "%02X" : " %02X", m_abDigest[i]);
        else
            AppendFormatted(strOut, i == 0 ? "%u" : " %u", m_abDigest[i]);
    }
}

void CKZHMacSha1::ComputeHash(const char* szMessage, const char* szKey)
{
    ComputeHash(szMessage, static_cast<uint32_t>(strlen(szMessage)), szKey, static_cast<uint32_t>(strlen(szKey)));
}

void CKZHMacSha1::ComputeHash(const void* pMessage, uint32_t dwMessageLength, const void* pKey, uint32_t dwKeyLength)
{
    uint8_t abKey[64] = {};
    if (dwKeyLength > 64)
    {
        CKZHashSHA1 keyHash;
        keyHash.ComputeHash(pKey, dwKeyLength);
        keyHash.GetHash(abKey);
    }
    else if (dwKeyLength > 0)
    {
        memcpy(abKey, pKey, dwKeyLength);
    }

    uint8_t abPad[64];
    for (int i = 0; i < 64; ++i)
        abPad[i] = static_cast<uint8_t>(abKey[i] ^ 0x36);
    Begin();
    Add(abPad, 64);
    Add(pMessage, dwMessageLength);
    End();
    uint8_t abInner[20];
    GetHash(abInner);

    for (int i = 0; i < 64; ++i)
        abPad[i] = static_cast<uint8_t>(abKey[i] ^ 0x5C);
    Begin();
    Add(abPad, 64);
    Add(abInner, 20);
    End();
}
