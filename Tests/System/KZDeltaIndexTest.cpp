// The delta index read from hand-written texts, written back, and refused where a line is not exact.

#include "System/KZDeltaIndex.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const std::string kDigest = "9f2c" + std::string(56, '0') + "00e1";

std::string Line(const std::string& strFields, const std::string& strName = "level 3.pak")
{
    return "delta " + strFields + " " + strName + "\n";
}

const std::string kHeader = "kzpatch-delta-index 1\npublication 7\n";
const std::string kText = kHeader + Line("4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 7") +
                          Line("10 0000000f 0 ffffffff " + kDigest + " 9 1", "a.bin") +
                          Line("12 00000001 13 00000002 " + kDigest + " 2147483647 0", "level 3.pak");

class KZDeltaIndexTest : public ::testing::Test
{
protected:
    // Parses the text with one line replaced; expects a refusal that leaves the index empty.
    void ExpectRefused(const std::string& strText)
    {
        CKZDeltaIndex index;
        ASSERT_TRUE(index.Parse(kText, m_strWhy));
        EXPECT_FALSE(index.Parse(strText, m_strWhy)) << strText;
        EXPECT_TRUE(index.Empty()) << strText;
        EXPECT_EQ(index.Publication(), 0u) << strText;
        EXPECT_FALSE(m_strWhy.empty());
    }

    std::string m_strWhy;
};
} // namespace

TEST_F(KZDeltaIndexTest, ReadsEveryFieldAndWritesTheSameText)
{
    CKZDeltaIndex index;
    ASSERT_TRUE(index.Parse(kText, m_strWhy)) << m_strWhy;
    EXPECT_EQ(index.Publication(), 7u);
    ASSERT_EQ(index.Deltas().size(), 3u);
    const SKZDelta* pDelta = index.Find("level 3.pak", 4194304, 0x1c291ca3);
    ASSERT_NE(pDelta, nullptr);
    EXPECT_EQ(pDelta->dwTargetSize, 4202496u);
    EXPECT_EQ(pDelta->dwTargetCrc, 0xa2b4c6d8u);
    EXPECT_EQ(pDelta->targetDigest[0], 0x9f);
    EXPECT_EQ(pDelta->targetDigest[31], 0xe1);
    EXPECT_EQ(pDelta->qwDeltaSize, 61234u);
    EXPECT_EQ(pDelta->qwPublication, 7u);
    EXPECT_EQ(pDelta->ServerPath().substr(pDelta->ServerPath().find('/')), "/level 3.pak.1c291ca3.delta");
    // The base's size must match as well as its CRC.
    EXPECT_EQ(index.Find("level 3.pak", 4194305, 0x1c291ca3), nullptr);
    EXPECT_EQ(index.Find("level 3.pak", 12, 1)->qwDeltaSize, 2147483647u);
    EXPECT_EQ(index.Find("a.bin", 10, 15)->dwTargetCrc, 0xffffffffu);

    // Text() writes lines by name and base CRC; read again, it gives itself.
    const std::string strWritten = index.Text();
    CKZDeltaIndex again;
    ASSERT_TRUE(again.Parse(strWritten, m_strWhy)) << m_strWhy;
    EXPECT_EQ(again.Text(), strWritten);
    EXPECT_EQ(strWritten, kHeader + Line("10 0000000f 0 ffffffff " + kDigest + " 9 1", "a.bin") +
                              Line("12 00000001 13 00000002 " + kDigest + " 2147483647 0") +
                              Line("4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 7"));

    CKZDeltaIndex empty;
    ASSERT_TRUE(empty.Parse(kHeader, m_strWhy));
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(empty.Text(), kHeader);
}

TEST_F(KZDeltaIndexTest, RefusesTextsThatAreNotExact)
{
    const std::string strFields = "4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 7";
    ExpectRefused(kHeader + Line("4194304 1C291CA3 4202496 a2b4c6d8 " + kDigest + " 61234 7"));
    ExpectRefused(kHeader + Line("4194304 1c291ca3 4202496 a2b4c6d8 9F2C" + kDigest.substr(4) + " 61234 7"));
    ExpectRefused(kHeader + Line("04194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 7"));
    ExpectRefused(kHeader + Line("4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 07"));
    ExpectRefused("kzpatch-delta-index 1\npublication 07\n" + Line(strFields));
    ExpectRefused("kzpatch-delta-index 01\npublication 7\n");
    // Two deltas for one base of a file, even of other sizes.
    ExpectRefused(kHeader + Line(strFields) + Line("4194304 1c291ca3 9 a2b4c6d8 " + kDigest + " 5 7"));
    // A line published after the index it stands in.
    ExpectRefused(kHeader + Line("4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 8"));
    for (const char* szName : {"maps/level 3.pak", "maps\\a", "..", "", "tab\there"})
        ExpectRefused(kHeader + Line(strFields, szName));
    ExpectRefused(kHeader + Line(strFields).substr(0, Line(strFields).size() - 1));
    ExpectRefused(kHeader.substr(0, kHeader.size() - 1));
    ExpectRefused("kzpatch-delta-index 1\n");
    ExpectRefused(kHeader + "\n");
    ExpectRefused(kHeader + "delta  " + strFields + " a\n");
    ExpectRefused(kHeader + Line(strFields, std::string(256, 'n')));
    // Sizes of 2 GiB or more, a CRC of nine digits, a publication past 2^63 - 1.
    ExpectRefused(kHeader + Line("2147483648 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 61234 7"));
    ExpectRefused(kHeader + Line("4194304 1c291ca3 4294967296 a2b4c6d8 " + kDigest + " 61234 7"));
    ExpectRefused(kHeader + Line("4194304 1c291ca3 4202496 a2b4c6d8 " + kDigest + " 2147483648 7"));
    ExpectRefused(kHeader + Line("4194304 1c291ca30 4202496 a2b4c6d8 " + kDigest + " 61234 7"));
    ExpectRefused("kzpatch-delta-index 1\npublication 18446744073709551616\n");
    ExpectRefused("kzpatch-delta-index 2\npublication 7\n");
}
