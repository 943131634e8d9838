#include "System/KZReleaseManifest.h"

#include "Fixtures/KZTestFiles.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{
typedef CKZReleaseManifest Manifest;

// RFC 8032 TEST 1's key pair, and a second seed for a key that did not sign.
const char* const kSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
const char* const kPublicHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const char* const kOtherSeedHex = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";

// 2027-01-08T06:54:24Z in seconds since 1970.
const int64_t kExpires = 1799391264;

// SHA-256 of "abc", "" and "x" (FIPS 180-2 for "abc" and ""; Python's hashlib.sha256 for "x").
const char* const kDigestAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const kDigestEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char* const kDigestX = "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881";

// Written by hand from the format the header describes, not by the writer under test. The signature
// line was made by OpenSSL over the bytes before it with TEST 1's key:
//   openssl pkeyutl -sign -rawin -inkey key.pem -in body | xxd -p -c 64
// with key.pem the PKCS#8 form of the seed (DER prefix 302e020100300506032b657004220420).
const char* const kHandBody = "kzpatch-release-manifest 1\n"
                              "release 12\n"
                              "expires 2027-01-08T06:54:24Z\n"
                              "file 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad Data.ccx\n"
                              "file 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 "
                              "Data/levels/empty.lvl\n"
                              "file 1 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881 Data1.zip\n";
const char* const kHandSignatureLine = "signature 0fd85a722f6cbda508e6c24ab5e1b3e5afcd8a81b9d4d584a8e4a1d472522c90"
                                       "a30bebb1f1732506c5ca35efbd9ae80e8c54b30f835eb0e4f0a3c39956982303\n";

template <size_t N>
std::array<uint8_t, N> Array(const std::string& strHex)
{
    std::array<uint8_t, N> bytes{};
    EXPECT_TRUE(KZSignature::FromHex(strHex, bytes)) << strHex;
    return bytes;
}

SKZReleaseFile File(uint64_t qwSize, const char* szDigest)
{
    SKZReleaseFile file;
    file.qwSize = qwSize;
    file.digest = Array<32>(szDigest);
    return file;
}

bool SameFiles(const std::map<std::string, SKZReleaseFile>& a, const std::map<std::string, SKZReleaseFile>& b)
{
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || i->second.qwSize != j->second.qwSize || i->second.digest != j->second.digest)
            return false;
    return true;
}

// A body of the three leading lines and the given file lines.
std::string Body(const std::vector<std::string>& fileLines, const std::string& strRelease = "12",
                 const std::string& strExpires = "2027-01-08T06:54:24Z")
{
    std::string strBody = "kzpatch-release-manifest 1\nrelease " + strRelease + "\nexpires " + strExpires + "\n";
    for (const std::string& strLine : fileLines)
        strBody += strLine + "\n";
    return strBody;
}

std::string FileLine(const std::string& strPath, const std::string& strSize = "3",
                     const std::string& strDigest = kDigestAbc)
{
    return "file " + strSize + " " + strDigest + " " + strPath;
}

class KZReleaseManifestTest : public ::testing::Test
{
protected:
    KZReleaseManifestTest()
        : m_seed(Array<32>(kSeedHex)), m_key(Array<32>(kPublicHex)),
          m_otherKey(KZSignature::PublicKeyOf(Array<32>(kOtherSeedHex)))
    {
        m_manifest.SetRelease(12);
        m_manifest.SetExpires(kExpires);
        EXPECT_TRUE(m_manifest.AddFile("Data.ccx", File(3, kDigestAbc)));
        EXPECT_TRUE(m_manifest.AddFile("Data/levels/empty.lvl", File(0, kDigestEmpty)));
        EXPECT_TRUE(m_manifest.AddFile("Data1.zip", File(1, kDigestX)));
    }

    // The text's body signed with the test key, whatever the body holds.
    std::string SignBody(const std::string& strBody) const
    {
        return strBody + "signature " +
               KZSignature::ToHex(KZSignature::Sign(strBody.data(), strBody.size(), m_seed)) + "\n";
    }

    Manifest::EVerdict Check(const std::string& strText, int64_t now = kExpires - 1, uint64_t qwAccepted = 0)
    {
        Manifest read;
        std::string strWhy;
        const Manifest::EVerdict verdict = read.Check(strText, {m_key}, now, qwAccepted, strWhy);
        EXPECT_TRUE(verdict == Manifest::VERDICT_TRUSTED || !strWhy.empty()) << "a refusal tells why";
        return verdict;
    }

    KZSignature::SecretSeed m_seed;
    KZSignature::PublicKey m_key, m_otherKey;
    Manifest m_manifest;
};
} // namespace

TEST_F(KZReleaseManifestTest, HandWrittenManifestMatchesWriterAndReader)
{
    // The reader trusts text that only follows the format; the writer makes the same bytes.
    const std::string strText = std::string(kHandBody) + kHandSignatureLine;
    Manifest read;
    std::string strWhy;
    ASSERT_EQ(Manifest::VERDICT_TRUSTED, read.Check(strText, {m_key}, kExpires, 12, strWhy)) << strWhy;
    EXPECT_EQ(12u, read.Release());
    EXPECT_EQ(kExpires, read.Expires());
    EXPECT_TRUE(SameFiles(m_manifest.Files(), read.Files()));
    EXPECT_EQ(kHandBody, m_manifest.Body());
    EXPECT_EQ(strText, m_manifest.Signed(m_seed));
    EXPECT_EQ(0, Manifest::SigningKey(strText, {m_key}));
}

TEST_F(KZReleaseManifestTest, SignedRoundTripAndKeyRotation)
{
    const std::string strText = m_manifest.Signed(m_seed);
    Manifest read;
    std::string strWhy;
    ASSERT_EQ(Manifest::VERDICT_TRUSTED, read.Check(strText, {m_key}, kExpires - 100, 0, strWhy)) << strWhy;
    EXPECT_EQ(m_manifest.Release(), read.Release());
    EXPECT_EQ(m_manifest.Expires(), read.Expires());
    EXPECT_TRUE(SameFiles(m_manifest.Files(), read.Files()));
    ASSERT_NE(nullptr, read.Find("Data/levels/empty.lvl"));
    EXPECT_EQ(0u, read.Find("Data/levels/empty.lvl")->qwSize);
    EXPECT_EQ(nullptr, read.Find("Data/levels"));
    EXPECT_EQ(nullptr, read.Find("data.ccx"));

    // Another key alone, or none: not trusted.
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED, read.Check(strText, {m_otherKey}, kExpires, 0, strWhy));
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED, read.Check(strText, {}, kExpires, 0, strWhy));
    EXPECT_EQ(-1, Manifest::SigningKey(strText, {m_otherKey}));

    // During a key rotation the client trusts the old and the new key.
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, read.Check(strText, {m_otherKey, m_key}, kExpires, 0, strWhy));
    EXPECT_EQ(1, Manifest::SigningKey(strText, {m_otherKey, m_key}));
    const std::string strRotated = m_manifest.Signed(Array<32>(kOtherSeedHex));
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, read.Check(strRotated, {m_otherKey, m_key}, kExpires, 0, strWhy));
    EXPECT_EQ(0, Manifest::SigningKey(strRotated, {m_otherKey, m_key}));
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED, read.Check(strRotated, {m_key}, kExpires, 0, strWhy));

    // An empty release (no files) and the largest numbers round-trip as well.
    Manifest empty;
    empty.SetRelease(static_cast<uint64_t>(INT64_MAX));
    empty.SetExpires(253402300799); // 9999-12-31T23:59:59Z
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, read.Check(empty.Signed(m_seed), {m_key}, 0, 0, strWhy)) << strWhy;
    EXPECT_EQ(static_cast<uint64_t>(INT64_MAX), read.Release());
    EXPECT_TRUE(read.Files().empty());
}

TEST_F(KZReleaseManifestTest, Verdicts)
{
    const std::string strText = m_manifest.Signed(m_seed);
    // Expiry: valid up to and including its second.
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, Check(strText, kExpires));
    EXPECT_EQ(Manifest::VERDICT_EXPIRED, Check(strText, kExpires + 1));
    EXPECT_EQ(Manifest::VERDICT_EXPIRED, Check(strText, INT64_MAX));
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, Check(strText, INT64_MIN));
    // Rollback: the same release again is fine, an older one is not.
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, Check(strText, 0, 12));
    EXPECT_EQ(Manifest::VERDICT_TRUSTED, Check(strText, 0, 11));
    EXPECT_EQ(Manifest::VERDICT_ROLLBACK, Check(strText, 0, 13));
    EXPECT_EQ(Manifest::VERDICT_ROLLBACK, Check(strText, 0, UINT64_MAX));
    // Expired wins over rollback, and the reason names the time.
    Manifest read;
    std::string strWhy;
    EXPECT_EQ(Manifest::VERDICT_EXPIRED, read.Check(strText, {m_key}, kExpires + 1, 13, strWhy));
    EXPECT_NE(std::string::npos, strWhy.find("2027-01-08T06:54:24Z")) << strWhy;
    EXPECT_EQ(Manifest::VERDICT_ROLLBACK, read.Check(strText, {m_key}, 0, 13, strWhy));
    EXPECT_NE(std::string::npos, strWhy.find("13")) << strWhy;

    // The signature is checked before the body is read: a signed body that is not a manifest is
    // malformed, an unsigned one is unsigned.
    EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(SignBody("release 12\n")));
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED,
              Check(std::string("release 12\nsignature ") + std::string(128, '0') + "\n"));
    // RFC 8032 TEST 1's signature of the empty message: a valid signature over an empty body.
    EXPECT_EQ(Manifest::VERDICT_MALFORMED,
              Check("signature e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                    "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b\n"));
    // No signature line at all.
    EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(m_manifest.Body()));
    EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(""));
}

TEST_F(KZReleaseManifestTest, EveryDamagedByteIsRefused)
{
    const std::string strText = m_manifest.Signed(m_seed);
    ASSERT_EQ(Manifest::VERDICT_TRUSTED, Check(strText));
    for (size_t i = 0; i < strText.size(); ++i)
        for (const uint8_t bMask : {0x01, 0x80})
        {
            std::string strDamaged = strText;
            strDamaged[i] = static_cast<char>(strDamaged[i] ^ bMask);
            const Manifest::EVerdict verdict = Check(strDamaged);
            EXPECT_TRUE(verdict == Manifest::VERDICT_UNSIGNED || verdict == Manifest::VERDICT_MALFORMED)
                << "byte " << i << " mask " << int(bMask) << " verdict " << verdict;
        }
    // A line added or removed anywhere, even one the signer signed elsewhere.
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED, Check("\n" + strText));
    EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(strText + "\n"));
    EXPECT_EQ(Manifest::VERDICT_UNSIGNED, Check(strText + strText.substr(strText.rfind("signature"))));
}

TEST_F(KZReleaseManifestTest, EveryTruncationIsRefused)
{
    const std::string strText = m_manifest.Signed(m_seed);
    for (size_t length = 0; length < strText.size(); ++length)
        EXPECT_NE(Manifest::VERDICT_TRUSTED, Check(strText.substr(0, length))) << length;

    // A body cut at a line break after the expiry line is a smaller release; anything else is refused.
    const std::string strBody = m_manifest.Body();
    const size_t expiryEnd = strBody.find("\nfile ") + 1;
    for (size_t length = 0; length < strBody.size(); ++length)
    {
        Manifest read;
        std::string strWhy;
        const bool bWhole = length >= expiryEnd && strBody[length - 1] == '\n';
        EXPECT_EQ(bWhole, read.ParseBody(strBody.substr(0, length), strWhy)) << length;
        EXPECT_TRUE(bWhole || read.Files().empty()) << length;
    }
}

TEST_F(KZReleaseManifestTest, MalformedBodiesAreRefused)
{
    const std::string strGood = FileLine("Data.ccx");
    const std::string strHeadless = "release 12\nexpires 2027-01-08T06:54:24Z\n" + strGood + "\n";
    const std::vector<std::string> bodies = {
        // first line: magic word and format version
        "kzpatch-release-manifest 2\n" + strHeadless,
        "kzpatch-release-manifest 0\n" + strHeadless,
        "kzpatch-release-manifest 01\n" + strHeadless,
        "kzpatch-release-manifest\n" + strHeadless,
        "kzpatch-release-manifest  1\n" + strHeadless,
        "kzpatch-release-manifest 1 \n" + strHeadless,
        "kzpatch-release-manifest 1\r\n" + strHeadless,
        "Kzpatch-release-manifest 1\n" + strHeadless,
        "kzpatch-release-manifests 1\n" + strHeadless,
        " kzpatch-release-manifest 1\n" + strHeadless,
        "\n" + Body({strGood}),
        // release number
        Body({strGood}, "012"),
        Body({strGood}, "00"),
        Body({strGood}, ""),
        Body({strGood}, "-1"),
        Body({strGood}, "+1"),
        Body({strGood}, "1 "),
        Body({strGood}, " 1"),
        Body({strGood}, "1x"),
        Body({strGood}, "0x10"),
        Body({strGood}, "9223372036854775808"),  // 2^63
        Body({strGood}, "18446744073709551616"), // 2^64
        Body({strGood}, "99999999999999999999"),
        Body({strGood}, "9999999999999999999"),
        // expiry time
        Body({strGood}, "12", "2027-02-30T00:00:00Z"),
        Body({strGood}, "12", "2027-02-29T00:00:00Z"),
        Body({strGood}, "12", "2100-02-29T00:00:00Z"),
        Body({strGood}, "12", "2027-04-31T00:00:00Z"),
        Body({strGood}, "12", "2027-13-01T00:00:00Z"),
        Body({strGood}, "12", "2027-00-01T00:00:00Z"),
        Body({strGood}, "12", "2027-01-00T00:00:00Z"),
        Body({strGood}, "12", "2027-01-08T24:00:00Z"),
        Body({strGood}, "12", "2027-01-08T06:60:24Z"),
        Body({strGood}, "12", "2027-01-08T06:54:60Z"),
        Body({strGood}, "12", "1969-12-31T23:59:59Z"),
        Body({strGood}, "12", "2027-01-08 06:54:24Z"),
        Body({strGood}, "12", "2027-01-08t06:54:24z"),
        Body({strGood}, "12", "2027-01-08T06:54:24"),
        Body({strGood}, "12", "2027-01-08T06:54:24+00:00"),
        Body({strGood}, "12", "2027-1-08T06:54:24Z"),
        Body({strGood}, "12", "+2027-01-08T06:54:24Z"),
        Body({strGood}, "12", "2027-01-08T06:54:24Z "),
        Body({strGood}, "12", "1799391264"),
        // file lines: paths
        Body({strGood, FileLine("Data.ccx", "1", kDigestX)}),
        Body({FileLine("..")}),
        Body({FileLine(".")}),
        Body({FileLine("Data/../Data.ccx")}),
        Body({FileLine("./Data.ccx")}),
        Body({FileLine("Data/..")}),
        Body({FileLine("Data\\a.lvl")}),
        Body({FileLine("/x")}),
        Body({FileLine("a//b")}),
        Body({FileLine("a/")}),
        Body({FileLine("a\tb")}),
        Body({FileLine("a\rb")}),
        Body({FileLine("a\x1b" "b")}),
        Body({FileLine("a\x7f" "b")}),
        Body({FileLine(std::string("a\0b", 3))}),
        Body({FileLine(std::string(4097, 'a'))}),
        Body({"file 3 " + std::string(kDigestAbc)}),
        Body({"file 3 " + std::string(kDigestAbc) + " "}),
        // file lines: sizes, digests and spaces
        Body({FileLine("Data.ccx", "03")}),
        Body({FileLine("Data.ccx", "")}),
        Body({FileLine("Data.ccx", "-3")}),
        Body({FileLine("Data.ccx", "9223372036854775808")}),
        Body({FileLine("Data.ccx", "3", std::string(kDigestAbc).substr(1))}),
        // Digests in lower case only: one manifest, one text.
        Body({FileLine("Data.ccx", "3", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")}),
        Body({FileLine("Data.ccx", "3", std::string(kDigestAbc) + "0")}),
        Body({FileLine("Data.ccx", "3", std::string(63, '0') + "g")}),
        Body({FileLine("Data.ccx", "3", "")}),
        Body({"file  3 " + std::string(kDigestAbc) + " Data.ccx"}),
        Body({"file 3  " + std::string(kDigestAbc) + " Data.ccx"}),
        Body({" " + strGood}),
        Body({"file\t3 " + std::string(kDigestAbc) + " Data.ccx"}),
        Body({"File 3 " + std::string(kDigestAbc) + " Data.ccx"}),
        Body({"file"}),
        Body({"file 3"}),
        // lines that are no file lines
        Body({strGood, ""}),
        Body({"", strGood}),
        Body({strGood, "# comment"}),
        Body({strGood, "release 13"}),
        Body({strGood, "signature " + std::string(128, '0')}),
        // lines missing, moved or cut
        "kzpatch-release-manifest 1\n",
        "kzpatch-release-manifest 1\nrelease 12\n",
        "kzpatch-release-manifest 1\nexpires 2027-01-08T06:54:24Z\n" + strGood + "\n",
        "kzpatch-release-manifest 1\nexpires 2027-01-08T06:54:24Z\nrelease 12\n",
        "release 12\nkzpatch-release-manifest 1\nexpires 2027-01-08T06:54:24Z\n",
        Body({strGood}).substr(0, Body({strGood}).size() - 1),
        "kzpatch-release-manifest 1\nrelease 12\nexpires 2027-01-08T06:54:24Z",
        "",
        "\n",
    };
    for (const std::string& strBody : bodies)
    {
        Manifest read;
        std::string strWhy;
        EXPECT_FALSE(read.ParseBody(strBody, strWhy)) << strBody;
        EXPECT_FALSE(strWhy.empty()) << strBody;
        EXPECT_TRUE(read.Files().empty()) << strBody;
        EXPECT_EQ(0u, read.Release()) << strBody;
        // Signed by a trusted key it is still refused.
        EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(SignBody(strBody))) << strBody;
    }

    // A refused body leaves nothing of what an earlier one held.
    Manifest read;
    std::string strWhy;
    ASSERT_TRUE(read.ParseBody(m_manifest.Body(), strWhy)) << strWhy;
    EXPECT_FALSE(read.ParseBody(Body({strGood, strGood}), strWhy));
    EXPECT_TRUE(read.Files().empty());
    EXPECT_NE(std::string::npos, strWhy.find("Data.ccx")) << "the duplicate is named: " << strWhy;

    // Beyond the size limit nothing is read.
    std::string strHuge = Body({});
    while (strHuge.size() <= Manifest::kMaxBytes)
        strHuge += FileLine("Data/" + std::to_string(strHuge.size())) + "\n";
    EXPECT_FALSE(read.ParseBody(strHuge, strWhy));
    EXPECT_EQ(Manifest::VERDICT_MALFORMED, Check(SignBody(strHuge)));
}

TEST_F(KZReleaseManifestTest, AcceptedEdgesOfTheFormat)
{
    // The values at the edges of what each field allows, and names as a server may hold them.
    const std::string strBody = Body({FileLine("Data.ccx", "9223372036854775807"), FileLine("0", "0"),
                                      FileLine("a b/ c /d "), FileLine("..a/a..b/.hidden"), FileLine("ü/名前"),
                                      FileLine(std::string(4096, 'a')), FileLine("Upper", "1", kDigestAbc)},
                                     "9223372036854775807", "2000-02-29T23:59:59Z");
    Manifest read;
    std::string strWhy;
    ASSERT_TRUE(read.ParseBody(strBody, strWhy)) << strWhy;
    EXPECT_EQ(static_cast<uint64_t>(INT64_MAX), read.Release());
    EXPECT_EQ(951868799, read.Expires());
    EXPECT_EQ(7u, read.Files().size());
    ASSERT_NE(nullptr, read.Find("Data.ccx"));
    EXPECT_EQ(static_cast<uint64_t>(INT64_MAX), read.Find("Data.ccx")->qwSize);
    ASSERT_NE(nullptr, read.Find("a b/ c /d "));
    ASSERT_NE(nullptr, read.Find("Upper"));
    EXPECT_EQ(kDigestAbc, KZSignature::ToHex(read.Find("Upper")->digest));

    // What it writes reads back as the same release.
    Manifest again;
    ASSERT_TRUE(again.ParseBody(read.Body(), strWhy)) << strWhy;
    EXPECT_EQ(read.Release(), again.Release());
    EXPECT_EQ(read.Expires(), again.Expires());
    EXPECT_TRUE(SameFiles(read.Files(), again.Files()));

    EXPECT_TRUE(read.ParseBody(Body({}, "0", "1970-01-01T00:00:00Z"), strWhy)) << strWhy;
    EXPECT_EQ(0, read.Expires());
    EXPECT_TRUE(read.Files().empty());
}

TEST_F(KZReleaseManifestTest, SplitSigned)
{
    const std::string strBody = m_manifest.Body();
    const std::string strText = m_manifest.Signed(m_seed);
    std::string strSplitBody;
    KZSignature::Signature signature{};
    ASSERT_TRUE(Manifest::SplitSigned(strText, strSplitBody, signature));
    EXPECT_EQ(strBody, strSplitBody);
    EXPECT_TRUE(KZSignature::Verify(signature, strBody.data(), strBody.size(), m_key));

    const std::string strLine = strText.substr(strBody.size());
    const std::string strHex = strLine.substr(10, 128);
    for (const std::string& strBad :
         {strBody, strText.substr(0, strText.size() - 1), strBody + "signature " + strHex + " \n",
          strBody + "signature  " + strHex + "\n", strBody + "signature " + strHex.substr(2) + "\n",
          strBody + "signature " + strHex + "00\n", strBody + "signature\t" + strHex + "\n",
          strBody + "signature " + strHex + "\r\n", strBody + "Signature " + strHex + "\n", strText + "\n",
          strBody + strLine + "file 1 " + std::string(64, '0') + " a\n", std::string("\n"), std::string()})
        EXPECT_FALSE(Manifest::SplitSigned(strBad, strSplitBody, signature)) << strBad;

    // The signature line alone: an empty body.
    ASSERT_TRUE(Manifest::SplitSigned(strLine, strSplitBody, signature));
    EXPECT_EQ("", strSplitBody);
}

TEST_F(KZReleaseManifestTest, AddFileRefusesWhatTheFormatCannotHold)
{
    Manifest manifest;
    EXPECT_FALSE(manifest.AddFile("../Data.ccx", File(1, kDigestX)));
    EXPECT_FALSE(manifest.AddFile("a\nfile 1 x b", File(1, kDigestX)));
    SKZReleaseFile huge = File(1, kDigestX);
    huge.qwSize = static_cast<uint64_t>(INT64_MAX) + 1;
    EXPECT_FALSE(manifest.AddFile("Data.ccx", huge));
    EXPECT_TRUE(manifest.Files().empty());
    // Adding a path again replaces its entry, so the body never names a path twice.
    EXPECT_TRUE(manifest.AddFile("Data.ccx", File(1, kDigestX)));
    EXPECT_TRUE(manifest.AddFile("Data.ccx", File(3, kDigestAbc)));
    ASSERT_EQ(1u, manifest.Files().size());
    EXPECT_EQ(3u, manifest.Find("Data.ccx")->qwSize);
}

TEST(KZReleaseManifestPathTest, IsServerPath)
{
    for (const std::string& strGood : {std::string("Data.ccx"), std::string("Data/levels/a.lvl"), std::string("a b"),
                                       std::string(".hidden"), std::string("..a"), std::string("a..b"),
                                       std::string("a./.b"), std::string("ü"), std::string(4096, 'x'),
                                       std::string("~"), std::string("a:b")})
        EXPECT_TRUE(Manifest::IsServerPath(strGood)) << strGood;
    for (const std::string& strBad :
         {std::string(), std::string("/x"), std::string("/"), std::string("x/"), std::string("a//b"),
          std::string("."), std::string(".."), std::string("./a"), std::string("a/."), std::string("a/../b"),
          std::string("a/.."), std::string("a\\b"), std::string("\\x"), std::string("a\tb"), std::string("a\nb"),
          std::string("a\x01"), std::string("a\x1f"), std::string("a\x7f"), std::string("a\0b", 3),
          std::string(4097, 'x'), std::string(2048, 'x') + "/" + std::string(2048, 'x')})
        EXPECT_FALSE(Manifest::IsServerPath(strBad)) << strBad;
}

TEST(KZReleaseManifestTimeTest, FormatAndParse)
{
    const std::pair<int64_t, const char*> known[] = {{0, "1970-01-01T00:00:00Z"},
                                                     {kExpires, "2027-01-08T06:54:24Z"},
                                                     {951782400, "2000-02-29T00:00:00Z"},
                                                     {4107542399, "2100-02-28T23:59:59Z"},
                                                     {253402300799, "9999-12-31T23:59:59Z"}};
    for (const auto& entry : known)
    {
        EXPECT_EQ(entry.second, Manifest::FormatTime(entry.first));
        int64_t seconds = -1;
        EXPECT_TRUE(Manifest::ParseTime(entry.second, seconds)) << entry.second;
        EXPECT_EQ(entry.first, seconds) << entry.second;
    }
    int64_t seconds = 0;
    for (const char* szBad : {"2027-02-30T00:00:00Z", "2023-02-29T00:00:00Z", "2027-06-31T00:00:00Z",
                              "1969-12-31T23:59:59Z", "2027-01-08T06:54:24.5Z", "", "2027-01-08"})
        EXPECT_FALSE(Manifest::ParseTime(szBad, seconds)) << szBad;
}

class KZReleaseManifestTreeTest : public CKZTestWithDirectory
{
protected:
    KZReleaseManifestTreeTest() : CKZTestWithDirectory("kzmanifest") {}
    void Write(const std::string& strPath, const std::string& strContent)
    {
        const std::filesystem::path path = m_dir / strPath;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << strContent;
    }
};

TEST_F(KZReleaseManifestTreeTest, AddTreeListsNestedFilesButTheManifest)
{
    Write("Data.ccx", "abc");
    Write("Data.manifest", "the previous release");
    Write("Data/levels/a.lvl", "");
    Write("Data/levels/deep/er/b.lvl", "x");
    Write("Data/Data.manifest", "abc"); // only the manifest beside the catalogue is left out
    Write("TVKClientOSX.zip", std::string(100000, 'z'));
    std::filesystem::create_directories(m_dir / "Data/empty");

    Manifest manifest;
    std::string strWhy;
    ASSERT_TRUE(manifest.AddTree(m_dir.string(), strWhy)) << strWhy;
    std::vector<std::string> paths;
    for (const auto& entry : manifest.Files())
        paths.push_back(entry.first);
    EXPECT_EQ((std::vector<std::string>{"Data.ccx", "Data/Data.manifest", "Data/levels/a.lvl",
                                        "Data/levels/deep/er/b.lvl", "TVKClientOSX.zip"}),
              paths);
    EXPECT_EQ(3u, manifest.Find("Data.ccx")->qwSize);
    EXPECT_EQ(kDigestAbc, KZSignature::ToHex(manifest.Find("Data.ccx")->digest));
    EXPECT_EQ(kDigestEmpty, KZSignature::ToHex(manifest.Find("Data/levels/a.lvl")->digest));
    EXPECT_EQ(kDigestX, KZSignature::ToHex(manifest.Find("Data/levels/deep/er/b.lvl")->digest));
    const std::string strZip(100000, 'z');
    EXPECT_EQ(100000u, manifest.Find("TVKClientOSX.zip")->qwSize);
    EXPECT_EQ(KZSignature::Hash(strZip.data(), strZip.size()), manifest.Find("TVKClientOSX.zip")->digest);

    // A trailing separator on the root makes no difference.
    Manifest again;
    ASSERT_TRUE(again.AddTree(m_dir.string() + "/", strWhy)) << strWhy;
    EXPECT_TRUE(SameFiles(manifest.Files(), again.Files()));
}

TEST_F(KZReleaseManifestTreeTest, AddTreeRefusesNamesNoManifestMayHold)
{
    Write("Data.ccx", "abc");
    Write("Data/a\\b.lvl", "x");
    Manifest manifest;
    std::string strWhy;
    EXPECT_FALSE(manifest.AddTree(m_dir.string(), strWhy));
    EXPECT_NE(std::string::npos, strWhy.find("a\\b.lvl")) << strWhy;

    Manifest missing;
    strWhy.clear();
    EXPECT_FALSE(missing.AddTree(Path("missing"), strWhy));
    EXPECT_FALSE(strWhy.empty());
}
