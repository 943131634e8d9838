#pragma once
// A running byte checksum: the bytes are enciphered with the Type 1 font byte cipher (key 55665)
// and the enciphered bytes are summed. Unrelated to the CRC-32 of whole files.

#include <cstdint>

class CKZCheckSum
{
public:
    CKZCheckSum();
    virtual ~CKZCheckSum();

    void Begin();
    void Add(const void* pData, uint32_t dwCount);
    uint32_t FromData(const void* pData, uint32_t dwCount);
    // The checksum of a whole file; 0, with the object untouched, when it cannot be opened.
    uint32_t FromFile(const char* szPath);

    uint32_t GetSum() const { return m_dwSum; }

    bool operator==(const CKZCheckSum& other) const { return m_dwSum == other.m_dwSum; }
    bool operator==(uint32_t dwSum) const { return m_dwSum == dwSum; }

private:
    uint16_t m_wR;
    uint16_t m_wC1;
    uint16_t m_wC2;
    uint32_t m_dwSum;
};
