#include "Base/Hash/KZSignature.h"

#include <sodium.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{
// sodium_init is safe to call from several threads and more than once.
void Ready()
{
    if (sodium_init() < 0)
        abort(); // no random source: nothing here can work
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint8_t HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    return static_cast<uint8_t>((c | 0x20) - 'a' + 10);
}

// The words of a key text: comment lines dropped, separated by white space or commas.
std::vector<std::string> KeyWords(const std::string& strText)
{
    std::vector<std::string> words;
    std::string word;
    bool bComment = false, bLineStart = true;
    for (const char c : strText)
    {
        if (bLineStart && c == '#')
            bComment = true;
        const bool bSeparator = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
        if (!bComment && !bSeparator)
            word += c;
        else if (!word.empty())
            words.push_back(std::move(word)), word.clear();
        if (c == '\n')
            bComment = false;
        bLineStart = c == '\n' || (bLineStart && (c == ' ' || c == '\t'));
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}
} // namespace

namespace KZSignature
{
void GenerateKeyPair(PublicKey& publicKey, SecretSeed& seed)
{
    Ready();
    randombytes_buf(seed.data(), seed.size());
    publicKey = PublicKeyOf(seed);
}

PublicKey PublicKeyOf(const SecretSeed& seed)
{
    Ready();
    PublicKey publicKey;
    uint8_t abSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey.data(), abSecret, seed.data());
    sodium_memzero(abSecret, sizeof(abSecret));
    return publicKey;
}

Signature Sign(const void* pMessage, size_t length, const SecretSeed& seed)
{
    Ready();
    PublicKey publicKey;
    uint8_t abSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey.data(), abSecret, seed.data());
    Signature signature;
    crypto_sign_detached(signature.data(), nullptr, static_cast<const uint8_t*>(pMessage), length, abSecret);
    sodium_memzero(abSecret, sizeof(abSecret));
    return signature;
}

bool Verify(const Signature& signature, const void* pMessage, size_t length, const PublicKey& publicKey)
{
    Ready();
    return crypto_sign_verify_detached(signature.data(), static_cast<const uint8_t*>(pMessage), length,
                                       publicKey.data()) == 0;
}

Digest Hash(const void* pData, size_t length)
{
    CHasher hasher;
    hasher.Add(pData, length);
    return hasher.Finish();
}

struct CHasher::SState
{
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    ~SState() { EVP_MD_CTX_free(pContext); }
};

CHasher::CHasher() : m_pState(new SState)
{
    // Only an allocation can fail here, and nothing can go on without memory.
    if (!m_pState->pContext || EVP_DigestInit_ex(m_pState->pContext, EVP_sha256(), nullptr) != 1)
        abort();
}

CHasher::~CHasher() = default;

void CHasher::Add(const void* pData, size_t length)
{
    EVP_DigestUpdate(m_pState->pContext, pData, length);
    m_qwBytes += length;
}

Digest CHasher::Finish()
{
    Digest digest;
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_pState->pContext, digest.data(), &length);
    return digest;
}

bool HashFile(const std::string& strPath, Digest& digest, uint64_t* pSize)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pFile(fopen(strPath.c_str(), "rb"), fclose);
    if (!pFile)
        return false;
    CHasher hasher;
    static constexpr size_t kPiece = 1 << 20;
    std::unique_ptr<uint8_t[]> pBuffer(new uint8_t[kPiece]);
    for (size_t got; (got = fread(pBuffer.get(), 1, kPiece, pFile.get())) > 0;)
        hasher.Add(pBuffer.get(), got);
    if (ferror(pFile.get()))
        return false;
    digest = hasher.Finish();
    if (pSize)
        *pSize = hasher.Bytes();
    return true;
}

std::string ToHex(const uint8_t* pBytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex(size * 2, '0');
    for (size_t i = 0; i < size; ++i)
    {
        strHex[2 * i] = kDigits[pBytes[i] >> 4];
        strHex[2 * i + 1] = kDigits[pBytes[i] & 15];
    }
    return strHex;
}

bool FromLowerHex(const std::string& strHex, uint8_t* pBytes, size_t size)
{
    for (const char c : strHex)
        if (c >= 'A' && c <= 'F')
            return false;
    return FromHex(strHex, pBytes, size);
}

bool FromHex(const std::string& strHex, uint8_t* pBytes, size_t size)
{
    if (strHex.size() != 2 * size)
        return false;
    for (const char c : strHex)
        if (!IsHexDigit(c))
            return false;
    for (size_t i = 0; i < size; ++i)
        pBytes[i] = static_cast<uint8_t>(HexValue(strHex[2 * i]) << 4 | HexValue(strHex[2 * i + 1]));
    return true;
}

bool ParseKeys(const std::string& strText, std::vector<PublicKey>& keys)
{
    keys.clear();
    for (const std::string& word : KeyWords(strText))
    {
        PublicKey key;
        if (!FromHex(word, key))
        {
            keys.clear();
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

bool ParseSecret(const std::string& strText, SecretSeed& seed)
{
    const std::vector<std::string> words = KeyWords(strText);
    return words.size() == 1 && FromHex(words[0], seed);
}
} // namespace KZSignature
