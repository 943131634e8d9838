#pragma once
// Ed25519 signatures through libsodium and SHA-256 digests through libcrypto (which uses the
// processor's SHA instructions where it has them). Keys travel as text: 64 lower-case
// hex digits, a public key's 32 bytes or a secret key's 32-byte seed. A key text may hold several
// keys, separated by white space or commas, and comment lines starting with "#".

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KZSignature
{
using PublicKey = std::array<uint8_t, 32>;
using SecretSeed = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using Digest = std::array<uint8_t, 32>;

// A new key pair from the system's random source.
void GenerateKeyPair(PublicKey& publicKey, SecretSeed& seed);
// The public key that belongs to a secret seed.
PublicKey PublicKeyOf(const SecretSeed& seed);

Signature Sign(const void* pMessage, size_t length, const SecretSeed& seed);
bool Verify(const Signature& signature, const void* pMessage, size_t length, const PublicKey& publicKey);

Digest Hash(const void* pData, size_t length);
// A digest taken piece by piece, as the bytes go by.
class CHasher
{
public:
    CHasher();
    ~CHasher();
    CHasher(const CHasher&) = delete;
    CHasher& operator=(const CHasher&) = delete;
    void Add(const void* pData, size_t length);
    uint64_t Bytes() const { return m_qwBytes; }
    Digest Finish();

private:
    struct SState;
    std::unique_ptr<SState> m_pState;
    uint64_t m_qwBytes = 0;
};
// The digest of a whole file, read in pieces; false when it cannot be read.
bool HashFile(const std::string& strPath, Digest& digest, uint64_t* pSize = nullptr);

// Lower-case hex of any bytes, and back: false unless the text is exactly 2 * size hex digits.
std::string ToHex(const uint8_t* pBytes, size_t size);
bool FromHex(const std::string& strHex, uint8_t* pBytes, size_t size);
template <size_t N>
std::string ToHex(const std::array<uint8_t, N>& bytes)
{
    return ToHex(bytes.data(), N);
}
template <size_t N>
bool FromHex(const std::string& strHex, std::array<uint8_t, N>& bytes)
{
    return FromHex(strHex, bytes.data(), N);
}
// The same in lower case only, for texts that must have one form.
bool FromLowerHex(const std::string& strHex, uint8_t* pBytes, size_t size);
template <size_t N>
bool FromLowerHex(const std::string& strHex, std::array<uint8_t, N>& bytes)
{
    return FromLowerHex(strHex, bytes.data(), N);
}

// Every key of a key text; false when any word is not a key (the list is then left empty).
bool ParseKeys(const std::string& strText, std::vector<PublicKey>& keys);
bool ParseSecret(const std::string& strText, SecretSeed& seed);
} // namespace KZSignature
