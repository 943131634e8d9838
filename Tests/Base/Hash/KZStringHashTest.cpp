#include "Base/Hash/KZCheckSum.h"
#include "Base/Hash/KZMurmurHash.h"
#include "Base/Hash/KZStringHash.h"
#include "Base/Hash/KZUUID.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

using namespace KZEngine;

TEST(KZStringHashTest, KeyIdHashIsTheSignedByteElfHash)
{
    EXPECT_EQ(0x0BE37D93u, Hash("dwmagic"));
    EXPECT_EQ(0x0B65A8C5u, Hash("vec.size"));
    EXPECT_EQ(0u, Hash(""));
    // Reference values from an independent script; the unsigned-byte hash would give 0x69849 and 0x995DAA8.
    EXPECT_EQ(0x69749u, Hash("caf\xe9"));
    EXPECT_EQ(0x79B2558u, Hash("\xff\xfe\x80" "abcdefgh"));
    EXPECT_EQ(Hash("caf\xe9"), ELFHash("caf\xe9"));
}

TEST(KZStringHashTest, StartValuesOfTheOtherHashes)
{
    EXPECT_EQ(0u, DEKHash(""));
    EXPECT_EQ(0xAAAAAAAAu, APHash(""));
    EXPECT_EQ(1315423911u, JSHash(""));
    EXPECT_EQ(5381u, DJBHash(""));
    for (auto fn : {RSHash, PJWHash, BKDRHash, SDBMHash, BPHash, FNVHash})
        EXPECT_EQ(0u, fn(""));
}

TEST(KZStringHashTest, SmallInputsWorkedByHand)
{
    EXPECT_EQ(5381u * 33 + 'a', DJBHash("a"));
    EXPECT_EQ(uint32_t('a') * 131 + 'b', BKDRHash("ab"));
    EXPECT_EQ(uint32_t('a') * 65599 + 'b', SDBMHash("ab"));
    EXPECT_EQ((uint32_t('a') << 7) ^ 'b', BPHash("ab"));
    EXPECT_EQ(uint32_t('a') * 63689u * 378551u + 'b', RSHash("ab"));
    EXPECT_EQ(((1u << 5) ^ 0u) ^ 'a', DEKHash("a"));
    EXPECT_EQ(0x811C9DC5u * uint32_t('a') ^ 'b', FNVHash("ab"));
    // A byte of 0xFF enters as -1.
    EXPECT_EQ(5381u * 33 - 1, DJBHash("\xff"));
    EXPECT_EQ(0xFFFFFFFFu, BPHash("\xff"));
}

TEST(KZMurmurHashTest, PublishedVerificationValues)
{
    // The author's verification: hash {}, {0}, {0,1} ... {0..254} with seed 256 - n, hash the
    // concatenated little-endian results with seed 0 and take the low 32 bits.
    uint8_t abKey[256];
    uint8_t abHashes[256 * 8];
    for (int i = 0; i < 256; ++i)
    {
        abKey[i] = static_cast<uint8_t>(i);
        const uint32_t h = MurmurHash1(abKey, i, static_cast<uint32_t>(256 - i));
        for (int b = 0; b < 4; ++b)
            abHashes[4 * i + b] = static_cast<uint8_t>(h >> (8 * b));
    }
    EXPECT_EQ(0x9EA7D056u, MurmurHash1(abHashes, 256 * 4, 0));

    for (int i = 0; i < 256; ++i)
    {
        const uint64_t h = MurmurHash64B(abKey, i, static_cast<uint64_t>(256 - i));
        for (int b = 0; b < 8; ++b)
            abHashes[8 * i + b] = static_cast<uint8_t>(h >> (8 * b));
    }
    EXPECT_EQ(0xDD537C05u, static_cast<uint32_t>(MurmurHash64B(abHashes, 256 * 8, 0)));

    EXPECT_EQ(MurmurHash1("abcdefg", 7), MurmurHash1("abcdefg", 7, 7u));
    // A negative length reads nothing (a null pointer would fault otherwise).
    EXPECT_NE(MurmurHash64B(nullptr, -5, 0), MurmurHash64B(nullptr, 0, 0));
    EXPECT_EQ(MurmurHash1(nullptr, -1, 3), MurmurHash1(nullptr, -1, 3));
}

TEST(KZCheckSumTest, EnciphersThenSums)
{
    CKZCheckSum sum;
    EXPECT_EQ(0u, sum.FromData("", 0));
    const uint8_t bZero = 0;
    EXPECT_EQ(0xD9u, sum.FromData(&bZero, 1));
    EXPECT_EQ(0x7F6u, sum.FromData("Hello, checksum", 15)); // from an independent script
    EXPECT_TRUE(sum == 0x7F6u);

    CKZCheckSum pieces;
    pieces.Begin();
    pieces.Add("Hello, ", 7);
    pieces.Add("checksum", 8);
    EXPECT_TRUE(pieces == sum);
}

TEST(KZCheckSumTest, FromFile)
{
    const std::string strPath = std::string(KZ_BINARY_DIR) + "/checksum_test.bin";
    FILE* pFile = fopen(strPath.c_str(), "wb");
    ASSERT_NE(nullptr, pFile);
    for (int n = 0; n < 300; ++n)
        for (int i = 0; i < 256; ++i)
            fputc(i, pFile);
    fclose(pFile);

    CKZCheckSum sum;
    EXPECT_EQ(0x964258u, sum.FromFile(strPath.c_str())); // spans several read pieces
    EXPECT_EQ(0u, sum.FromFile((strPath + ".missing").c_str()));
    EXPECT_TRUE(sum == 0x964258u); // left unchanged
    remove(strPath.c_str());
}

TEST(KZUUIDTest, GeneratedValuesAreDistinctAndFormatted)
{
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i)
    {
        const CKZUUID uuid(CKZUUID::GENERATE);
        const std::string s = uuid.ValueAsString();
        ASSERT_EQ(36u, s.size());
        for (size_t pos : {8u, 13u, 18u, 23u})
            EXPECT_EQ('-', s[pos]);
        seen.insert(s);
        const std::array<uint8_t, 16> ab = uuid.ValueAsArray();
        char szFirst[3];
        snprintf(szFirst, sizeof(szFirst), "%02x", ab[0]);
        EXPECT_EQ(s.substr(0, 2), szFirst);
    }
    EXPECT_EQ(50u, seen.size());
    EXPECT_EQ("00000000-0000-0000-0000-000000000000", CKZUUID().ValueAsString());
}
