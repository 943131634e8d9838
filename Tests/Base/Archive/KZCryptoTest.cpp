#include "Base/Archive/KZCrypto.h"

#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace
{
std::vector<uint32_t> BigEndianWords(const char* szHex)
{
    std::vector<uint32_t> words;
    for (size_t i = 0; szHex[i]; i += 8)
        words.push_back(static_cast<uint32_t>(std::stoul(std::string(szHex + i, 8), nullptr, 16)));
    return words;
}

CKZCrypto KeyedCrypto(uint32_t firstWord)
{
    CKZCrypto crypto;
    crypto.SetCiperIteration(32);
    uint32_t key[8] = {firstWord, 0x11111111, 0x22222222, 0x33333333, 0, 0, 0, 0};
    crypto.SetKey(key);
    return crypto;
}
} // namespace

TEST(KZCrypto, XteaPublishedVectors)
{
    // Key, plain text, cipher text of the usual XTEA test vectors (32 cycles, big-endian words).
    const char* vectors[][3] = {
        {"000102030405060708090a0b0c0d0e0f", "4142434445464748", "497df3d072612cb5"},
        {"000102030405060708090a0b0c0d0e0f", "4141414141414141", "e78f2d13744341d8"},
        {"000102030405060708090a0b0c0d0e0f", "5a5b6e278948d77f", "4141414141414141"},
        {"00000000000000000000000000000000", "4142434445464748", "a0390589f8b8efa5"},
        {"00000000000000000000000000000000", "4141414141414141", "ed23375a821a8c2d"},
        {"00000000000000000000000000000000", "70e1225d6e4e7655", "4141414141414141"},
    };
    CKZCrypto crypto;
    crypto.SetCiperIteration(32);
    for (const auto& v : vectors)
    {
        const std::vector<uint32_t> key = BigEndianWords(v[0]), plain = BigEndianWords(v[1]),
                                    cipher = BigEndianWords(v[2]);
        uint32_t out[2];
        crypto.Encipher(plain.data(), out, key.data());
        EXPECT_EQ(out[0], cipher[0]) << v[1];
        EXPECT_EQ(out[1], cipher[1]) << v[1];
        crypto.Decipher(cipher.data(), out, key.data());
        EXPECT_EQ(out[0], plain[0]);
        EXPECT_EQ(out[1], plain[1]);
    }
}

TEST(KZCrypto, SealedLayoutAndRoundTrips)
{
    CKZCrypto crypto = KeyedCrypto(0xFFFFFFFF);
    uint8_t one = 0xAB;
    uint8_t sealed[16];
    uint32_t written = 0;
    ASSERT_EQ(crypto.Encrypt(&one, 1, sealed, sizeof(sealed), &written), 0);
    EXPECT_EQ(written, 16u);
    EXPECT_EQ(sealed[4], 7) << "pad count";
    EXPECT_EQ(sealed[6], static_cast<uint8_t>(0xAB & sealed[5] & 0xFF));
    EXPECT_EQ(sealed[7], 0);
    uint8_t plain[16];
    uint32_t length = 0;
    EXPECT_EQ(crypto.Decrypt(sealed, 16, plain, sizeof(plain), &length), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(plain[0], 0xAB);
    EXPECT_EQ(crypto.Encrypt(&one, 1, sealed, 15, &written), 1) << "too small a target";

    std::mt19937 rng(4);
    for (uint32_t size = 0; size <= 64; ++size)
    {
        std::vector<uint8_t> data(size), target(((size + 7) & ~7u) + 8), back(size + 8);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng());
        ASSERT_EQ(crypto.Encrypt(data.data(), size, target.data(), static_cast<uint32_t>(target.size()), &written), 0);
        EXPECT_EQ(written, 8 + ((size + 7) & ~7u));
        if (size == 8)
        {
            EXPECT_EQ(target[4], 0);
        }
        const int opened = crypto.Decrypt(target.data(), written, back.data(), static_cast<uint32_t>(back.size()), &length);
        if (size == 0)
        {
            EXPECT_EQ(opened, 0) << "an empty sealed buffer never opens";
            continue;
        }
        ASSERT_EQ(opened, 1) << size;
        EXPECT_EQ(length, size);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    }
    // One megabyte, sealed in place.
    std::vector<uint8_t> big(1 << 20), buffer((1 << 20) + 8), back((1 << 20) + 8);
    for (uint8_t& b : big)
        b = static_cast<uint8_t>(rng());
    std::copy(big.begin(), big.end(), buffer.begin());
    ASSERT_EQ(crypto.Encrypt(buffer.data(), 1 << 20, buffer.data(), static_cast<uint32_t>(buffer.size()), &written), 0);
    ASSERT_EQ(crypto.Decrypt(buffer.data(), written, back.data(), static_cast<uint32_t>(back.size()), &length), 1);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), back.begin()));
}

TEST(KZCrypto, AnyChangedByteFails)
{
    CKZCrypto crypto = KeyedCrypto(0x12345677);
    const uint8_t data[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    uint8_t sealed[32], plain[32];
    uint32_t written = 0, length = 0;
    ASSERT_EQ(crypto.Encrypt(data, sizeof(data), sealed, sizeof(sealed), &written), 0);
    for (uint32_t i = 0; i < written; ++i)
    {
        uint8_t changed[32];
        std::copy(sealed, sealed + written, changed);
        changed[i] ^= 0x01;
        EXPECT_EQ(crypto.Decrypt(changed, written, plain, sizeof(plain), &length), 0) << "byte " << i;
    }
    CKZCrypto other = KeyedCrypto(0x12345678);
    EXPECT_EQ(other.Decrypt(sealed, written, plain, sizeof(plain), &length), 0) << "another key";
    EXPECT_EQ(crypto.Decrypt(sealed, written - 1, plain, sizeof(plain), &length), 0);
    EXPECT_EQ(crypto.Decrypt(sealed, written, plain, 8, &length), 0) << "too small a target";
}

TEST(KZCrypto, IterationsAndEntryKeys)
{
    CKZCrypto crypto;
    crypto.SetCiperIteration(0);
    const uint32_t key[4] = {1, 2, 3, 4}, in[2] = {5, 6};
    uint32_t six[2], clamped[2], thirtyTwo[2];
    crypto.Encipher(in, six, key);
    crypto.SetCiperIteration(6);
    crypto.Encipher(in, clamped, key);
    EXPECT_EQ(six[0], clamped[0]);
    crypto.SetCiperIteration(100);
    crypto.Encipher(in, clamped, key);
    crypto.SetCiperIteration(32);
    crypto.Encipher(in, thirtyTwo, key);
    EXPECT_EQ(clamped[0], thirtyTwo[0]);
    EXPECT_EQ(clamped[1], thirtyTwo[1]);

    uint32_t written[8], read[8];
    CKZCrypto::MakeEntryKey(1234, 99, written);
    const uint32_t stored[4] = {written[0], written[1], written[2], written[3]};
    CKZCrypto::MakeEntryKey(stored, 99, read);
    EXPECT_TRUE(std::equal(written, written + 8, read));
    EXPECT_EQ(written[0], 1234u);
    EXPECT_EQ(written[4], 99u);
    EXPECT_NE(written[1], written[2]);
    uint8_t prefix[16];
    const uint32_t words[4] = {0x00FF7F80, 0x01020304, 0, 0x7F7F7F7F};
    CKZCrypto::MakeKeyPrefix(words, prefix);
    EXPECT_EQ(prefix[0], 0x01);
    EXPECT_EQ(prefix[1], 0x7F);
    EXPECT_EQ(prefix[2], 0x01);
    EXPECT_EQ(prefix[3], 0x01);
    EXPECT_EQ(prefix[4], 0x04);
    for (uint8_t b : prefix)
        EXPECT_NE(b, 0);
}

TEST(KZCrypto, FuzzedCipherChecksumOverflow)
{
    // Found by fuzzing: the checksum of the first byte overflowed a signed int (caught by UBSan).
    const std::string strInput =
        KZTestReadFile(std::string(KZ_SOURCE_DIR) + "/Tests/Fuzz/corpus/fuzz_cipher/cipher-checksum-overflow.bin");
    ASSERT_EQ(strInput.size(), 17u);
    const uint8_t* pInput = reinterpret_cast<const uint8_t*>(strInput.data());
    CKZCrypto crypto = KeyedCrypto(0x01234567);
    std::vector<uint8_t> sealed(64), plain(64);
    uint32_t written = 0, length = 0;
    ASSERT_EQ(crypto.Encrypt(pInput, 17, sealed.data(), 64, &written), 0);
    ASSERT_EQ(crypto.Decrypt(sealed.data(), written, plain.data(), 64, &length), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.data()), length), strInput);
    EXPECT_EQ(crypto.Decrypt(pInput, 16, plain.data(), 64, &length), 0);
}
