#pragma once
// SHA-512 (FIPS 180-2) and HMAC-SHA512 (RFC 2104, 128-byte block).

#include <cstdint>
#include <string>

class CKZHashSHA512
{
public:
    CKZHashSHA512();
    virtual ~CKZHashSHA512();

    void Begin();
    void Add(const void* pData, uint32_t dwCount);
    // Pads, stores the digest and wipes the running state: the next computation starts with Begin.
    void End();

    void ComputeHash(const char* szText);
    // The digest of szSecond followed by szFirst.
    void ComputeHash(const char* szFirst, const char* szSecond);

    // Copies the first dwCount digest bytes (at most the 64 there are).
    void GetHash(uint8_t* pOut, uint32_t dwCount) const;
    // Format 0: Base64 of the digest; 1: upper-case hex bytes separated by spaces; 2: decimal bytes
    // separated by spaces; anything else: the digest bytes as text up to the first zero byte.
    void GetHash(std::string& strOut, unsigned int uFormat) const;

private:
    void Transform(const uint8_t* pBlocks, uint32_t dwBlockCount);

    // Total length is kept in 64 bits, so inputs past 4 GiB still get the right length field.
    uint64_t m_qwTotalLength;
    uint32_t m_dwBufferedLength;
    uint8_t m_abBuffer[256];
    uint64_t m_aqwState[8];
    uint8_t m_abDigest[64];
};

class CKZHMacSha512 : public CKZHashSHA512
{
public:
    // The result is left as the object's digest, read with GetHash.
    void ComputeHash(const char* szMessage, const char* szKey);
    void ComputeHash(const void* pMessage, uint32_t dwMessageLength, const void* pKey, uint32_t dwKeyLength);
};
