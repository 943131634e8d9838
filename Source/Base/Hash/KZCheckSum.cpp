#include "Base/Hash/KZCheckSum.h"

#include <cstdio>
#include <vector>

CKZCheckSum::CKZCheckSum()
{
    Begin();
}

CKZCheckSum::~CKZCheckSum() = default;

void CKZCheckSum::Begin()
{
    m_wR = 55665;
    m_wC1 = 52845;
    m_wC2 = 22719;
    m_dwSum = 0;
}

void CKZCheckSum::Add(const void* pData, uint32_t dwCount)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    for (uint32_t i = 0; i < dwCount; ++i)
    {
        const uint8_t cipher = static_cast<uint8_t>(p[i] ^ (m_wR >> 8));
        // Unsigned 32-bit: the product overflows an int, and only its low 16 bits are kept.
        m_wR = static_cast<uint16_t>((uint32_t(cipher) + m_wR) * uint32_t(m_wC1) + m_wC2);
        m_dwSum += cipher;
    }
}

uint32_t CKZCheckSum::FromData(const void* pData, uint32_t dwCount)
{
    Begin();
    Add(pData, dwCount);
    return m_dwSum;
}

uint32_t CKZCheckSum::FromFile(const char* szPath)
{
    FILE* pFile = fopen(szPath, "rb");
    if (!pFile)
        return 0;
    // Read in pieces: the sum runs over the bytes in order, so nothing needs the whole file at once.
    Begin();
    std::vector<uint8_t> buffer(1 << 16);
    size_t nRead;
    while ((nRead = fread(buffer.data(), 1, buffer.size(), pFile)) > 0)
        Add(buffer.data(), static_cast<uint32_t>(nRead));
    fclose(pFile);
    return m_dwSum;
}
