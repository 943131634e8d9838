#pragma once
// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104, 64-byte block).

#include <cstdint>
#include <string>

class CKZHashSHA1
{
public:
    CKZHashSHA1();
    virtual ~CKZHashSHA1();

    void Begin();
    void Add(const void* pData, uint32_t dwCount);
    // Pads, stores the digest and wipes the running state: the next computation starts with Begin.
    void End();

    void ComputeHash(const char* szText);
    void ComputeHash(const void* pData, uint32_t dwCount);

    void GetHash(uint8_t abOut[20]) const;
    // Format 0: 40 lower-case hex digits; 1: upper-case hex bytes separated by spaces;
    // anything else: decimal bytes separated by spaces.
    void GetHash(std::string& strOut, unsigned int uFormat) const;

private:
    void Transform(const uint8_t* pBlock);

    uint32_t m_adwState[5];
    uint32_t m_adwCount[2]; // message length in bits: low word, high word
    uint8_t m_abBuffer[64];
    uint8_t m_abDigest[20];
};

class CKZHMacSha1 : public CKZHashSHA1
{
public:
    // The result is left as the object's digest, read with GetHash.
    void ComputeHash(const char* szMessage, const char* szKey);
    void ComputeHash(const void* pMessage, uint32_t dwMessageLength, const void* pKey, uint32_t dwKeyLength);
};
