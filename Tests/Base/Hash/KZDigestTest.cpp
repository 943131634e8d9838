#include "Base/Hash/KZBase64.h"
#include "Base/Hash/KZHashSHA1.h"
#include "Base/Hash/KZHashSHA512.h"

#include "Fixtures/KZTestFiles.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace
{
std::string Sha1Hex(const std::string& strData)
{
    CKZHashSHA1 sha;
    sha.ComputeHash(strData.data(), static_cast<uint32_t>(strData.size()));
    std::string s;
    sha.GetHash(s, 0);
    return s;
}

std::string Sha512Hex(CKZHashSHA512& sha)
{
    uint8_t ab[64];
    sha.GetHash(ab, 64);
    return KZTestHex(ab, 64);
}

std::string Sha512Hex(const std::string& strData)
{
    CKZHashSHA512 sha;
    sha.Begin();
    sha.Add(strData.data(), static_cast<uint32_t>(strData.size()));
    sha.End();
    return Sha512Hex(sha);
}

const char* const kSha512Abc = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                               "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
}

TEST(KZHashSHA1Test, PublishedVectors)
{
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex("abc"));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Hex(std::string(1000000, 'a')));
    std::string strRepeated;
    for (int i = 0; i < 80; ++i)
        strRepeated += "01234567";
    EXPECT_EQ("dea356a2cddd90c7a7ecedc5ebb563934f460452", Sha1Hex(strRepeated));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex(""));
}

TEST(KZHashSHA1Test, PiecewiseAddEqualsOneCallAndNeedsBeginAfterEnd)
{
    const std::string strData(1000, 'x');
    CKZHashSHA1 sha;
    sha.Begin();
    // Pieces that straddle the 64-byte block boundary in every way.
    for (size_t i = 0, n = 1; i < strData.size(); i += n, n = n % 97 + 1)
        sha.Add(strData.data() + i, static_cast<uint32_t>(std::min(n, strData.size() - i)));
    sha.End();
    std::string s;
    sha.GetHash(s, 0);
    EXPECT_EQ(Sha1Hex(strData), s);

    sha.ComputeHash("abc");
    sha.ComputeHash("abc"); // ComputeHash starts afresh each time
    sha.GetHash(s, 0);
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", s);
}

TEST(KZHashSHA1Test, TextFormats)
{
    CKZHashSHA1 sha;
    sha.ComputeHash("abc");
    std::string s;
    sha.GetHash(s, 1);
    EXPECT_EQ("A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D", s);
    sha.GetHash(s, 7);
    EXPECT_EQ(0u, s.find("169 153 62 54 "));
    EXPECT_EQ("157", s.substr(s.size() - 3));
}

TEST(KZHMacSha1Test, Rfc2202Cases)
{
    struct SCase
    {
        std::string key, message, digest;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // A key of exactly one block is used as it is, not hashed (checked against Python's hmac).
        {std::string(64, 'k'), "exactly one block of key", "ed5f7b99db69e5371226bca264d95330690a70cb"},
    };
    for (const SCase& c : cases)
    {
        CKZHMacSha1 mac;
        mac.ComputeHash(c.message.data(), static_cast<uint32_t>(c.message.size()), c.key.data(),
                        static_cast<uint32_t>(c.key.size()));
        std::string s;
        mac.GetHash(s, 0);
        EXPECT_EQ(c.digest, s) << "key length " << c.key.size();
    }
    CKZHMacSha1 mac;
    mac.ComputeHash("what do ya want for nothing?", "Jefe");
    std::string s;
    mac.GetHash(s, 0);
    EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", s);
}

TEST(KZHashSHA512Test, PublishedVectors)
{
    EXPECT_EQ(kSha512Abc, Sha512Hex("abc"));
    EXPECT_EQ("8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
              "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909",
              Sha512Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                        "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"));
    EXPECT_EQ("e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
              "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b",
              Sha512Hex(std::string(1000000, 'a')));
    EXPECT_EQ("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
              Sha512Hex(""));
}

TEST(KZHashSHA512Test, PaddingBoundariesMatchPiecewiseFeeding)
{
    // Lengths around the 112-byte point where the length field no longer fits the last block.
    for (size_t n : {111u, 112u, 113u, 127u, 128u, 129u, 239u, 240u, 255u, 256u})
    {
        const std::string strData(n, 'q');
        CKZHashSHA512 sha;
        sha.Begin();
        for (size_t i = 0; i < n; i += 7)
            sha.Add(strData.data() + i, static_cast<uint32_t>(std::min<size_t>(7, n - i)));
        sha.End();
        EXPECT_EQ(Sha512Hex(strData), Sha512Hex(sha)) << n;
    }
}

TEST(KZHashSHA512Test, TwoTextsFeedTheSecondFirstAndFormats)
{
    CKZHashSHA512 sha;
    sha.ComputeHash("c", "ab");
    EXPECT_EQ(kSha512Abc, Sha512Hex(sha));

    std::string s;
    sha.GetHash(s, 0);
    EXPECT_EQ("3a81oZNherrMQXNJriBBMRLm+k6JqX6iCp7u5ktV05ohkpkqJ0/BqDa6PCOj/uu9RU1EI2Q86A4qmslPpUyknw==", s);
    sha.GetHash(s, 1);
    EXPECT_EQ(0u, s.find("DD AF 35 A1 "));
    EXPECT_EQ(64u * 3 - 1, s.size());
    sha.GetHash(s, 2);
    EXPECT_EQ(0u, s.find("221 175 53 161 "));
    sha.GetHash(s, 3);
    EXPECT_EQ(std::string("\xdd\xaf\x35\xa1\x93\x61\x7a\xba\xcc\x41\x73\x49\xae\x20\x41\x31\x12\xe6\xfa\x4e\x89\xa9"
                          "\x7e\xa2\x0a\x9e\xee\xe6\x4b\x55\xd3\x9a\x21\x92\x99\x2a\x27\x4f\xc1\xa8\x36\xba\x3c"
                          "\x23\xa3\xfe\xeb\xbd\x45\x4d\x44\x23\x64\x3c\xe8\x0e\x2a\x9a\xc9\x4f\xa5\x4c\xa4\x9f"),
              s); // no zero byte in this digest: the text stops at the digest's end, not beyond

    uint8_t abOut[80];
    memset(abOut, 0xEE, sizeof(abOut));
    sha.GetHash(abOut, sizeof(abOut)); // asking for more than 64 copies only the digest
    EXPECT_EQ(0xEE, abOut[64]);
    EXPECT_EQ(0xDD, abOut[0]);
}

TEST(KZHMacSha512Test, Rfc4231Cases)
{
    struct SCase
    {
        std::string key, message, digest;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        {"Jefe", "what do ya want for nothing?",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
         "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
         "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
         "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
         "be hashed before being used by the HMAC algorithm.",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
         "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"},
        {std::string(128, 'k'), "exactly one block of key",
         "86da196985f85c74d4cb929b4e385088bc5da9c76227de512f2ce721cca76317"
         "e2198c2b897b3a1c3d90189473dac13329328ce449f9d5bf56e933711536fb8c"},
    };
    for (const SCase& c : cases)
    {
        CKZHMacSha512 mac;
        mac.ComputeHash(c.message.data(), static_cast<uint32_t>(c.message.size()), c.key.data(),
                        static_cast<uint32_t>(c.key.size()));
        EXPECT_EQ(c.digest, Sha512Hex(mac)) << "key length " << c.key.size();
    }
}

TEST(KZBase64Test, Rfc4648Vectors)
{
    const char* const pairs[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                    {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}};
    for (const auto& pair : pairs)
    {
        EXPECT_EQ(pair[1], CKZBase64::Encode(pair[0], static_cast<uint32_t>(strlen(pair[0]))));
        EXPECT_EQ(pair[0], CKZBase64::Decode(pair[1]));
    }
    std::string strAll;
    for (int i = 0; i < 256; ++i)
        strAll += static_cast<char>(i);
    EXPECT_EQ(strAll, CKZBase64::Decode(CKZBase64::Encode(strAll.data(), 256)));
}

TEST(KZBase64Test, DecodeStopsAtTheFirstForeignCharacter)
{
    EXPECT_EQ("f", CKZBase64::Decode("Zg?v"));    // third character foreign: one byte
    EXPECT_EQ("foo", CKZBase64::Decode("Zm9v=Zm9v"));
    EXPECT_EQ("foo", CKZBase64::Decode("Zm9v\xff" "Zm9v"));
    EXPECT_EQ("", CKZBase64::Decode("Z"));         // a single character makes no byte
    EXPECT_EQ("foo", CKZBase64::Decode("Zm9vZ"));
}

TEST(KZBase64Test, DecodeSurvivesArbitraryBytes)
{
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round)
    {
        std::string strText(static_cast<size_t>(round % 61), '\0');
        for (char& c : strText)
        {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 16);
        }
        const std::string strOut = CKZBase64::Decode(strText);
        EXPECT_LE(strOut.size(), strText.size() / 4 * 3 + 2);
    }
}
