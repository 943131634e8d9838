#include "Base/Archive/KZCrypto.h"

#include "Base/Hash/KZCheckSum.h"

#include <cstdlib>
#include <cstring>

namespace
{
const uint32_t kDelta = 0x9E3779B9;

// The fixed constants of the entry key rule; readers and writers of one system must agree on them.
const uint32_t kKeyStep[3] = {0x3C6EF372, 0xA54FF53A, 0x510E527F};
const uint32_t kKeyTail[3] = {0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

uint32_t LoadLE(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLE(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The running byte checksum over the plain bytes followed by header bytes 4 to 7.
uint32_t Checksum(const uint8_t* pPlain, uint32_t dwLength, const uint8_t* pHeader)
{
    CKZCheckSum checksum;
    checksum.Begin();
    checksum.Add(pPlain, dwLength);
    checksum.Add(pHeader + 4, 4);
    return checksum.GetSum();
}
} // namespace

CKZCrypto::CKZCrypto() : m_dwSalt(static_cast<uint32_t>(rand()))
{
    memset(m_adwKey, 0, sizeof(m_adwKey));
    memset(m_adwKeyCopy, 0, sizeof(m_adwKeyCopy));
}

void CKZCrypto::SetKey(const uint32_t* pKey)
{
    memcpy(m_adwKey, pKey, sizeof(m_adwKey));
    memcpy(m_adwKeyCopy, pKey, sizeof(m_adwKeyCopy));
    m_bKeySet = true;
}

void CKZCrypto::SetKey(const uint32_t (&adwKey)[8])
{
    memcpy(m_adwKey, adwKey, sizeof(m_adwKey));
    memcpy(m_adwKeyCopy, adwKey, sizeof(m_adwKeyCopy));
}

void CKZCrypto::SetCiperIteration(unsigned int uIterations)
{
    m_dwIterations = uIterations < 6 ? 6 : uIterations > 32 ? 32 : uIterations;
}

void CKZCrypto::Encipher(const uint32_t* pIn, uint32_t* pOut, const uint32_t* k) const
{
    uint32_t y = pIn[0], z = pIn[1], sum = 0;
    for (uint32_t n = 0; n < m_dwIterations; ++n)
    {
        y += (((z << 4) ^ (z >> 5)) + z) ^ (sum + k[sum & 3]);
        sum += kDelta;
        z += (((y << 4) ^ (y >> 5)) + y) ^ (sum + k[(sum >> 11) & 3]);
    }
    pOut[0] = y;
    pOut[1] = z;
}

void CKZCrypto::Decipher(const uint32_t* pIn, uint32_t* pOut, const uint32_t* k) const
{
    uint32_t y = pIn[0], z = pIn[1], sum = m_dwIterations * kDelta;
    for (uint32_t n = 0; n < m_dwIterations; ++n)
    {
        z -= (((y << 4) ^ (y >> 5)) + y) ^ (sum + k[(sum >> 11) & 3]);
        sum -= kDelta;
        y -= (((z << 4) ^ (z >> 5)) + z) ^ (sum + k[sum & 3]);
    }
    pOut[0] = y;
    pOut[1] = z;
}

int CKZCrypto::Encrypt(const uint8_t* pSource, uint32_t dwLength, uint8_t* pTarget, uint32_t dwCapacity,
                       uint32_t* pdwWritten)
{
    const uint64_t padded = (uint64_t(dwLength) + 7) & ~uint64_t(7);
    if (dwCapacity < padded + 8)
        return 1;
    m_dwSalt += static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pSource));
    const uint8_t bSalt = static_cast<uint8_t>(m_dwSalt);
    // An empty source has no first byte; its check byte is built from 0 (it never opens anyway).
    const uint8_t bFirst = dwLength > 0 ? pSource[0] : 0;
    uint8_t header[8];
    header[4] = static_cast<uint8_t>(padded - dwLength);
    header[5] = bSalt;
    header[6] = static_cast<uint8_t>(bFirst & bSalt & static_cast<uint8_t>(m_adwKey[0]));
    header[7] = 0;
    if (padded > 0)
        memset(pTarget + 8 + padded - 8, 0, 8);
    if (dwLength > 0)
        memmove(pTarget + 8, pSource, dwLength);
    memcpy(pTarget + 4, header + 4, 4);
    StoreLE(pTarget, Checksum(pTarget + 8, dwLength, pTarget));
    for (uint64_t offset = 8; offset < padded + 8; offset += 8)
    {
        uint32_t block[2] = {LoadLE(pTarget + offset), LoadLE(pTarget + offset + 4)};
        Encipher(block, block, m_adwKey);
        StoreLE(pTarget + offset, block[0]);
        StoreLE(pTarget + offset + 4, block[1]);
    }
    *pdwWritten = static_cast<uint32_t>(padded + 8);
    return 0;
}

int CKZCrypto::Decrypt(const uint8_t* pSealed, uint32_t dwLength, uint8_t* pTarget, uint32_t dwCapacity,
                       uint32_t* pdwPlainLength)
{
    if (dwLength < 8 || dwLength % 8 != 0 || dwLength - 8 > dwCapacity)
        return 0;
    for (uint32_t offset = 8; offset < dwLength; offset += 8)
    {
        uint32_t block[2] = {LoadLE(pSealed + offset), LoadLE(pSealed + offset + 4)};
        Decipher(block, block, m_adwKey);
        StoreLE(pTarget + offset - 8, block[0]);
        StoreLE(pTarget + offset - 8 + 4, block[1]);
        if (offset == 8 && static_cast<uint8_t>(pTarget[0] & pSealed[5] & static_cast<uint8_t>(m_adwKey[0])) != pSealed[6])
            return 0;
    }
    const uint32_t dwPad = pSealed[4];
    if (dwPad + 8 >= dwLength)
        return 0;
    const uint32_t dwPlain = dwLength - 8 - dwPad;
    *pdwPlainLength = dwPlain;
    if (dwPlain > dwCapacity)
        return 0;
    return Checksum(pTarget, dwPlain, pSealed) == LoadLE(pSealed) ? 1 : 0;
}

void CKZCrypto::MakeEntryKey(uint32_t dwKey, uint32_t dwSecondKey, uint32_t (&adwKey)[8])
{
    const uint32_t adwStored[4] = {dwKey, dwKey + kKeyStep[0], dwKey + kKeyStep[1], dwKey + kKeyStep[2]};
    MakeEntryKey(adwStored, dwSecondKey, adwKey);
}

void CKZCrypto::MakeEntryKey(const uint32_t (&adwStored)[4], uint32_t dwSecondKey, uint32_t (&adwKey)[8])
{
    memcpy(adwKey, adwStored, sizeof(adwStored));
    adwKey[4] = dwSecondKey;
    for (int i = 0; i < 3; ++i)
        adwKey[5 + i] = adwStored[i] + kKeyTail[i];
}

void CKZCrypto::MakeKeyPrefix(const uint32_t* pKey, uint8_t (&abPrefix)[16])
{
    for (int i = 0; i < 4; ++i)
        StoreLE(abPrefix + 4 * i, pKey[i]);
    for (uint8_t& b : abPrefix)
        if (static_cast<int8_t>(b) <= 0)
            b = 1;
}
