#include "Base/Hash/KZSignature.h"

#include "Fixtures/KZTestFiles.h"
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace
{
// RFC 8032, section 7.1: secret seed, public key, message, signature (all hex).
struct SEd25519Vector
{
    const char* szName;
    const char* szSeed;
    const char* szPublic;
    const char* szMessage;
    const char* szSignature;
};

const SEd25519Vector kRfc8032Vectors[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b589"
     "09351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
};

std::vector<uint8_t> Bytes(const std::string& strHex)
{
    std::vector<uint8_t> bytes(strHex.size() / 2);
    EXPECT_TRUE(KZSignature::FromHex(strHex, bytes.data(), bytes.size())) << strHex;
    return bytes;
}

template <size_t N>
std::array<uint8_t, N> Array(const std::string& strHex)
{
    std::array<uint8_t, N> bytes{};
    EXPECT_TRUE(KZSignature::FromHex(strHex, bytes)) << strHex;
    return bytes;
}

std::string DigestHex(const std::string& strData)
{
    return KZSignature::ToHex(KZSignature::Hash(strData.data(), strData.size()));
}
} // namespace

TEST(KZSignatureTest, Rfc8032VectorsSignAndVerify)
{
    for (const SEd25519Vector& vector : kRfc8032Vectors)
    {
        SCOPED_TRACE(vector.szName);
        const KZSignature::SecretSeed seed = Array<32>(vector.szSeed);
        const KZSignature::PublicKey publicKey = Array<32>(vector.szPublic);
        std::vector<uint8_t> message = Bytes(vector.szMessage);
        const KZSignature::Signature expected = Array<64>(vector.szSignature);

        EXPECT_EQ(vector.szPublic, KZSignature::ToHex(KZSignature::PublicKeyOf(seed)));
        const KZSignature::Signature signature = KZSignature::Sign(message.data(), message.size(), seed);
        EXPECT_EQ(vector.szSignature, KZSignature::ToHex(signature));
        EXPECT_TRUE(KZSignature::Verify(expected, message.data(), message.size(), publicKey));

        // One flipped bit anywhere (message, signature, key) fails the check.
        for (size_t i = 0; i < message.size(); ++i)
        {
            message[i] ^= 0x01;
            EXPECT_FALSE(KZSignature::Verify(expected, message.data(), message.size(), publicKey)) << "message " << i;
            message[i] ^= 0x01;
        }
        if (message.empty())
        {
            const uint8_t bExtra = 0;
            EXPECT_FALSE(KZSignature::Verify(expected, &bExtra, 1, publicKey));
        }
        for (size_t i = 0; i < expected.size(); ++i)
        {
            KZSignature::Signature damaged = expected;
            damaged[i] ^= static_cast<uint8_t>(1u << (i % 8));
            EXPECT_FALSE(KZSignature::Verify(damaged, message.data(), message.size(), publicKey)) << "signature " << i;
        }
        for (size_t i = 0; i < publicKey.size(); ++i)
        {
            KZSignature::PublicKey damaged = publicKey;
            damaged[i] ^= static_cast<uint8_t>(0x80u >> (i % 8));
            EXPECT_FALSE(KZSignature::Verify(expected, message.data(), message.size(), damaged)) << "key " << i;
        }
    }
    // Another vector's key does not verify this one's signature.
    const std::vector<uint8_t> message = Bytes(kRfc8032Vectors[1].szMessage);
    EXPECT_FALSE(KZSignature::Verify(Array<64>(kRfc8032Vectors[1].szSignature), message.data(), message.size(),
                                     Array<32>(kRfc8032Vectors[2].szPublic)));
}

TEST(KZSignatureTest, GeneratedPairsSignAndDiffer)
{
    KZSignature::PublicKey first, second;
    KZSignature::SecretSeed firstSeed, secondSeed;
    KZSignature::GenerateKeyPair(first, firstSeed);
    KZSignature::GenerateKeyPair(second, secondSeed);
    EXPECT_NE(first, second);
    EXPECT_NE(firstSeed, secondSeed);
    EXPECT_EQ(first, KZSignature::PublicKeyOf(firstSeed));
    const std::string strMessage = "release 12\n";
    const KZSignature::Signature signature = KZSignature::Sign(strMessage.data(), strMessage.size(), firstSeed);
    EXPECT_TRUE(KZSignature::Verify(signature, strMessage.data(), strMessage.size(), first));
    EXPECT_FALSE(KZSignature::Verify(signature, strMessage.data(), strMessage.size(), second));
}

TEST(KZSignatureTest, Sha256PublishedDigests)
{
    // RFC 6234 section 8.5 (TEST1, TEST2_1, TEST3 with its million "a") and the empty message.
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", DigestHex("abc"));
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
              DigestHex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", DigestHex(std::string(1000000, 'a')));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", DigestHex(""));
    // The same digest taken piece by piece, in uneven pieces.
    const std::string strMillion(1000000, 'a');
    KZSignature::CHasher hasher;
    for (size_t at = 0, piece = 1; at < strMillion.size(); at += piece, piece = piece * 3 % 65521 + 1)
        hasher.Add(strMillion.data() + at, std::min(piece, strMillion.size() - at));
    EXPECT_EQ(hasher.Bytes(), strMillion.size());
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", KZSignature::ToHex(hasher.Finish()));
}

class KZSignatureFileTest : public CKZTestWithDirectory
{
protected:
    KZSignatureFileTest() : CKZTestWithDirectory("kzsignature") {}
};

TEST_F(KZSignatureFileTest, HashFileEqualsHashAcrossPieces)
{
    // 3 MiB and a bit: three whole pieces of 1 MiB and a short last one.
    std::string strData(3 * (1u << 20) + 12345, '\0');
    uint32_t dwState = 2463534242u;
    for (char& c : strData)
    {
        dwState ^= dwState << 13, dwState ^= dwState >> 17, dwState ^= dwState << 5;
        c = static_cast<char>(dwState);
    }
    for (const size_t size : {size_t(0), size_t(1u << 20), strData.size()})
    {
        SCOPED_TRACE(size);
        const std::string strPath = Path("data" + std::to_string(size));
        std::ofstream(strPath, std::ios::binary).write(strData.data(), static_cast<std::streamsize>(size));
        KZSignature::Digest digest{};
        uint64_t qwSize = 99;
        ASSERT_TRUE(KZSignature::HashFile(strPath, digest, &qwSize));
        EXPECT_EQ(size, qwSize);
        EXPECT_EQ(KZSignature::ToHex(KZSignature::Hash(strData.data(), size)), KZSignature::ToHex(digest));
    }
    KZSignature::Digest digest{};
    EXPECT_FALSE(KZSignature::HashFile(Path("missing"), digest));
    EXPECT_FALSE(KZSignature::HashFile(m_dir.string(), digest)); // a folder cannot be read as a file
}

TEST(KZSignatureTest, HexBothWays)
{
    const uint8_t abBytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ("000fa5ff", KZSignature::ToHex(abBytes, sizeof(abBytes)));
    EXPECT_EQ("", KZSignature::ToHex(abBytes, 0));

    uint8_t abOut[4] = {};
    EXPECT_TRUE(KZSignature::FromHex("000fa5ff", abOut, 4));
    EXPECT_EQ(0, memcmp(abBytes, abOut, 4));
    for (const char* szBad : {"000fa5f", "000fa5ff0", "000fa5", "000fa5fg", "000f a5f", "0x0fa5ff", "000fa5f\n",
                              "-00fa5ff", ""})
        EXPECT_FALSE(KZSignature::FromHex(szBad, abOut, 4)) << szBad;
    EXPECT_TRUE(KZSignature::FromHex("", abOut, 0));
}

TEST(KZSignatureTest, ParseKeys)
{
    const std::string strFirst = kRfc8032Vectors[0].szPublic, strSecond = kRfc8032Vectors[1].szPublic;
    std::vector<KZSignature::PublicKey> keys;

    const std::string strText = "# release keys\r\n" + strFirst + ",\r\n  # the next one, after rotation\r\n\t" +
                                strSecond + " ,\r\n";
    ASSERT_TRUE(KZSignature::ParseKeys(strText, keys));
    ASSERT_EQ(2u, keys.size());
    EXPECT_EQ(strFirst, KZSignature::ToHex(keys[0]));
    EXPECT_EQ(strSecond, KZSignature::ToHex(keys[1]));

    ASSERT_TRUE(KZSignature::ParseKeys(strFirst + "," + strSecond, keys));
    EXPECT_EQ(2u, keys.size());

    // One bad word refuses the whole text, also one that follows good keys.
    for (const std::string& strBad :
         {strFirst + "\n" + strSecond.substr(1) + "\n", strFirst + " x\n", strFirst + "#comment\n",
          strFirst + " " + strSecond + "00", "zz" + strFirst.substr(2), strFirst + " " + strFirst.substr(0, 63)})
    {
        keys.assign(1, KZSignature::PublicKey{});
        EXPECT_FALSE(KZSignature::ParseKeys(strBad, keys)) << strBad;
        EXPECT_TRUE(keys.empty()) << strBad;
    }

    // No words at all is a valid, empty list.
    for (const std::string& strEmpty : {std::string(), std::string(" \r\n,\t"), std::string("# only " + strFirst)})
    {
        keys.assign(1, KZSignature::PublicKey{});
        EXPECT_TRUE(KZSignature::ParseKeys(strEmpty, keys)) << strEmpty;
        EXPECT_TRUE(keys.empty());
    }
}

TEST(KZSignatureTest, ParseSecret)
{
    const std::string strSeed = kRfc8032Vectors[0].szSeed;
    KZSignature::SecretSeed seed{};
    ASSERT_TRUE(KZSignature::ParseSecret("# signing seed\n" + strSeed + "\r\n", seed));
    EXPECT_EQ(strSeed, KZSignature::ToHex(seed));
    EXPECT_EQ(kRfc8032Vectors[0].szPublic, KZSignature::ToHex(KZSignature::PublicKeyOf(seed)));

    EXPECT_FALSE(KZSignature::ParseSecret("", seed));
    EXPECT_FALSE(KZSignature::ParseSecret("# nothing\n", seed));
    EXPECT_FALSE(KZSignature::ParseSecret(strSeed + " " + strSeed, seed)); // one seed, never two
    EXPECT_FALSE(KZSignature::ParseSecret(strSeed.substr(2), seed));
    EXPECT_FALSE(KZSignature::ParseSecret(strSeed + "00", seed));
}
