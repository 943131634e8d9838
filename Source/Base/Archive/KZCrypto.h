#pragma once
// Seals a byte buffer into a self-checking enciphered form (XTEA on each 8-byte block, behind an
// 8-byte plain header with pad count, salt, key check and checksum) and opens it again. Also the
// entry key rule of enciphered zip entries.

#include <cstdint>

class CKZCrypto
{
public:
    CKZCrypto();
    virtual ~CKZCrypto() = default;

    void SetKey(const uint32_t* pKey);
    void SetKey(const uint32_t (&adwKey)[8]);
    // Clamped to 6..32 cycles; 32 is standard XTEA.
    void SetCiperIteration(unsigned int uIterations);

    // 0 on success, 1 when the target cannot hold 8 + the padded length. Source and target may be
    // the same buffer.
    int Encrypt(const uint8_t* pSource, uint32_t dwLength, uint8_t* pTarget, uint32_t dwCapacity,
                uint32_t* pdwWritten);
    // 1 when the buffer opened and its checksum matched, else 0.
    int Decrypt(const uint8_t* pSealed, uint32_t dwLength, uint8_t* pTarget, uint32_t dwCapacity,
                uint32_t* pdwPlainLength);

    void Encipher(const uint32_t* pIn, uint32_t* pOut, const uint32_t* pKey) const;
    void Decipher(const uint32_t* pIn, uint32_t* pOut, const uint32_t* pKey) const;

    // The entry key of an enciphered zip entry from its two key numbers (words 0 and 4).
    static void MakeEntryKey(uint32_t dwKey, uint32_t dwSecondKey, uint32_t (&adwKey)[8]);
    // The same from the four stored words and the second key number.
    static void MakeEntryKey(const uint32_t (&adwStored)[4], uint32_t dwSecondKey, uint32_t (&adwKey)[8]);
    // The 16-byte zip password prefix: words 0..3 little-endian, every byte <= 0 as signed made 1.
    static void MakeKeyPrefix(const uint32_t* pKey, uint8_t (&abPrefix)[16]);

private:
    uint32_t m_adwKey[8];
    uint32_t m_adwKeyCopy[8];
    uint32_t m_dwSalt;
    uint32_t m_dwIterations = 8;
    bool m_bKeySet = false;
};
