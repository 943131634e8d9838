#include "Base/Hash/KZHashSHA512.h"

#include "Base/Hash/KZBase64.h"

#include <cstdio>
#include <cstring>

namespace
{
const uint64_t s_aqwK[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

inline uint64_t Ror(uint64_t x, int n)
{
    return (x >> n) | (x << (64 - n));
}

void AppendFormatted(std::string& strOut, const char* szFormat, unsigned int uValue)
{
    char szPiece[16];
    snprintf(szPiece, sizeof(szPiece), szFormat, uValue);
    strOut += szPiece;
}
}

CKZHashSHA512::CKZHashSHA512()
{
    memset(m_abDigest, 0, sizeof(m_abDigest));
    Begin();
}

CKZHashSHA512::~CKZHashSHA512() = default;

void CKZHashSHA512::Begin()
{
    static const uint64_t s_aqwInitial[8] = {
        0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
        0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
    };
    memcpy(m_aqwState, s_aqwInitial, sizeof(m_aqwState));
    m_qwTotalLength = 0;
    m_dwBufferedLength = 0;
    memset(m_abBuffer, 0, sizeof(m_abBuffer));
}

void CKZHashSHA512::Transform(const uint8_t* pBlocks, uint32_t dwBlockCount)
{
    for (uint32_t n = 0; n < dwBlockCount; ++n)
    {
        const uint8_t* pBlock = pBlocks + 128 * n;
        uint64_t w[80];
        for (int i = 0; i < 16; ++i)
        {
            uint64_t v = 0;
            for (int j = 0; j < 8; ++j)
                v = (v << 8) | pBlock[8 * i + j];
            w[i] = v;
        }
        for (int i = 16; i < 80; ++i)
        {
            const uint64_t s0 = Ror(w[i - 15], 1) ^ Ror(w[i - 15], 8) ^ (w[i - 15] >> 7);
            const uint64_t s1 = Ror(w[i - 2], 19) ^ Ror(w[i - 2], 61) ^ (w[i - 2] >> 6);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint64_t a = m_aqwState[0], b = m_aqwState[1], c = m_aqwState[2], d = m_aqwState[3];
        uint64_t e = m_aqwState[4], f = m_aqwState[5], g = m_aqwState[6], h = m_aqwState[7];
        for (int i = 0; i < 80; ++i)
        {
            const uint64_t t1 = h + (Ror(e, 14) ^ Ror(e, 18) ^ Ror(e, 41)) + ((e & f) ^ (~e & g)) + s_aqwK[i] + w[i];
            const uint64_t t2 = (Ror(a, 28) ^ Ror(a, 34) ^ Ror(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        m_aqwState[0] += a;
        m_aqwState[1] += b;
        m_aqwState[2] += c;
        m_aqwState[3] += d;
        m_aqwState[4] += e;
        m_aqwState[5] += f;
        m_aqwState[6] += g;
        m_aqwState[7] += h;
    }
}

void CKZHashSHA512::Add(const void* pData, uint32_t dwCount)
{
    if (dwCount == 0)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    m_qwTotalLength += dwCount;

    const uint32_t dwFill = 128 - m_dwBufferedLength;
    if (dwCount < dwFill)
    {
        memcpy(m_abBuffer + m_dwBufferedLength, p, dwCount);
        m_dwBufferedLength += dwCount;
        return;
    }
    memcpy(m_abBuffer + m_dwBufferedLength, p, dwFill);
    Transform(m_abBuffer, 1);
    p += dwFill;
    dwCount -= dwFill;
    const uint32_t dwBlocks = dwCount / 128;
    Transform(p, dwBlocks);
    p += 128 * dwBlocks;
    m_dwBufferedLength = dwCount % 128;
    memcpy(m_abBuffer, p, m_dwBufferedLength);
}

void CKZHashSHA512::End()
{
    // One or two final blocks: 0x80, zeros, the 128-bit big-endian bit length.
    const uint32_t dwBlocks = m_dwBufferedLength < 112 ? 1 : 2;
    const uint32_t dwEnd = 128 * dwBlocks;
    memset(m_abBuffer + m_dwBufferedLength, 0, dwEnd - m_dwBufferedLength);
    m_abBuffer[m_dwBufferedLength] = 0x80;
    const uint64_t qwBitsHigh = m_qwTotalLength >> 61;
    const uint64_t qwBitsLow = m_qwTotalLength << 3;
    for (int i = 0; i < 8; ++i)
    {
        m_abBuffer[dwEnd - 16 + i] = static_cast<uint8_t>(qwBitsHigh >> (56 - 8 * i));
        m_abBuffer[dwEnd - 8 + i] = static_cast<uint8_t>(qwBitsLow >> (56 - 8 * i));
    }
    Transform(m_abBuffer, dwBlocks);
    for (int i = 0; i < 64; ++i)
        m_abDigest[i] = static_cast<uint8_t>(m_aqwState[i >> 3] >> (56 - 8 * (i & 7)));

    memset(m_aqwState, 0, sizeof(m_aqwState));
    memset(m_abBuffer, 0, sizeof(m_abBuffer));
    m_qwTotalLength = 0;
    m_dwBufferedLength = 0;
}

void CKZHashSHA512::ComputeHash(const char* szText)
{
    Begin();
    Add(szText, static_cast<uint32_t>(strlen(szText)));
    End();
}

void CKZHashSHA512::ComputeHash(const char* szFirst, const char* szSecond)
{
    Begin();
    Add(szSecond, static_cast<uint32_t>(strlen(szSecond)));
    Add(szFirst, static_cast<uint32_t>(strlen(szFirst)));
    End();
}

void CKZHashSHA512::GetHash(uint8_t* pOut, uint32_t dwCount) const
{
    if (dwCount > sizeof(m_abDigest))
        dwCount = sizeof(m_abDigest);
    if (dwCount > 0)
        memcpy(pOut, m_abDigest, dwCount);
}

void CKZHashSHA512::GetHash(std::string& strOut, unsigned int uFormat) const
{
    strOut.clear();
    if (uFormat == 0)
    {
        strOut = CKZBase64::Encode(m_abDigest, sizeof(m_abDigest));
        return;
    }
    if (uFormat == 1 || uFormat == 2)
    {
        for (int i = 0; i < 64; ++i)
        {
            if (uFormat == 1)
                AppendFormatted(strOut, i == 0 ? "%02X" : " %02X", m_abDigest[i]);
            else
                AppendFormatted(strOut, i == 0 ? "%u" : " %u", m_abDigest[i]);
        }
        return;
    }
    // The digest carries no terminator of its own: never read past its 64 bytes.
    const void* pZero = memchr(m_abDigest, 0, sizeof(m_abDigest));
    const size_t nLength = pZero ? static_cast<size_t>(static_cast<const uint8_t*>(pZero) - m_abDigest)
                                 : sizeof(m_abDigest);
    strOut.assign(reinterpret_cast<const char*>(m_abDigest), nLength);
}

void CKZHMacSha512::ComputeHash(const char* szMessage, const char* szKey)
{
    ComputeHash(szMessage, static_cast<uint32_t>(strlen(szMessage)), szKey, static_cast<uint32_t>(strlen(szKey)));
}

void CKZHMacSha512::ComputeHash(const void* pMessage, uint32_t dwMessageLength, const void* pKey,
                                uint32_t dwKeyLength)
{
    uint8_t abKey[128] = {};
    if (dwKeyLength > 128)
    {
        CKZHashSHA512 keyHash;
        keyHash.Begin();
        keyHash.Add(pKey, dwKeyLength);
        keyHash.End();
        keyHash.GetHash(abKey, 64);
    }
    else if (dwKeyLength > 0)
    {
        memcpy(abKey, pKey, dwKeyLength);
    }

    uint8_t abPad[128];
    for (int i = 0; i < 128; ++i)
        abPad[i] = static_cast<uint8_t>(abKey[i] ^ 0x36);
    Begin();
    Add(abPad, 128);
    Add(pMessage, dwMessageLength);
    End();
    uint8_t abInner[64];
    GetHash(abInner, 64);

    for (int i = 0; i < 128; ++i)
        abPad[i] = static_cast<uint8_t>(abKey[i] ^ 0x5C);
    Begin();
    Add(abPad, 128);
    Add(abInner, 64);
    End();
}
