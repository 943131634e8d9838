#include "Base/Util/KZMemory.h"
#include "Base/Util/KZString.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(KZString, TokenizeDropsEmptyPieces)
{
    EXPECT_EQ(KZStringTokenize(",,a,,b,c,", ","), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(KZStringTokenize(",,,", ",").empty());
    std::vector<std::string> vecOut = {"x"};
    KZStringTokenizeInto("1 2;3", vecOut, " ;");
    EXPECT_EQ(vecOut, (std::vector<std::string>{"x", "1", "2", "3"}));
}

TEST(KZString, TrimmingAndFiltering)
{
    std::string s = "xxyxx";
    KZStringTrim(s, "xy");
    EXPECT_EQ(s, "");
    s = " \t a b \n";
    KZStringTrimSpaces(s);
    EXPECT_EQ(s, "a b");
    s = "  a ";
    KZStringTrimLeadingSpaces(s);
    EXPECT_EQ(s, "a ");
    KZStringTrimTrailingSpaces(s);
    EXPECT_EQ(s, "a");
    s = "////";
    KZStringTrimTrailing(s, '/');
    EXPECT_EQ(s, "");
    s = "a-1_B!z";
    KZStringFilter09azAZ(s);
    EXPECT_EQ(s, "a1Bz");
    KZStringRemove(s, '1');
    EXPECT_EQ(s, "aBz");
    KZStringReplace(s, 'B', '\\');
    EXPECT_EQ(s, "a\\z");

    char sz[] = "--ab--";
    KZStringTrim(sz, '-');
    EXPECT_STREQ(sz, "ab");
    char szAll[] = "---";
    KZStringTrim(szAll, '-');
    EXPECT_STREQ(szAll, "");
    char szPath[] = "a\\b\\c";
    KZStrReplace('\\', '/', szPath);
    EXPECT_STREQ(szPath, "a/b/c");
}

TEST(KZString, PrefixSuffixAndCase)
{
    EXPECT_TRUE(KZStringStartsWith("abc", ""));
    EXPECT_TRUE(KZStringEndsWith("abc", ""));
    EXPECT_TRUE(KZStringEndsWith("", ""));
    EXPECT_TRUE(KZStringStartsWith("abc", "ab"));
    EXPECT_FALSE(KZStringStartsWith("a", "ab"));
    EXPECT_FALSE(KZStringEndsWith("c", "bc"));
    std::string s = "MiXed\xC3\x89";
    KZStrToLower(s);
    EXPECT_EQ(s, "mixed\xC3\x89") << "only ASCII letters change";
    KZStrToUpper(s);
    EXPECT_EQ(s, "MIXED\xC3\x89");
}

TEST(KZString, FormatKeepsTextsOfAnyLength)
{
    EXPECT_EQ(KZStringFormat("%s", ""), "");
    EXPECT_EQ(KZStringFormat("<%s key=\"%d\">", "int", -7), "<int key=\"-7\">");
    const std::string strLong(5000, 'x');
    EXPECT_EQ(KZStringFormat("[%s]", strLong.c_str()), "[" + strLong + "]");
}

TEST(KZString, ExtractBetweenNeverOverflows)
{
    char out[8];
    memset(out, 'z', sizeof(out));
    EXPECT_TRUE(KZStrExtractBetween("key=[ value ];", "[", "]", out, sizeof(out), " "));
    EXPECT_STREQ(out, "value");
    // A piece of exactly outSize bytes fails and leaves out empty.
    char guarded[10];
    memset(guarded, 'z', sizeof(guarded));
    EXPECT_FALSE(KZStrExtractBetween("<12345678>", "<", ">", guarded, 8, nullptr));
    EXPECT_EQ(guarded[0], 0);
    EXPECT_EQ(guarded[8], 'z');
    EXPECT_TRUE(KZStrExtractBetween("<1234567>", "<", ">", guarded, 8, nullptr));
    EXPECT_STREQ(guarded, "1234567");
    EXPECT_FALSE(KZStrExtractBetween("abc", "x", "c", out, sizeof(out), nullptr));
    EXPECT_FALSE(KZStrExtractBetween("abc", "a", "x", out, sizeof(out), nullptr));
    EXPECT_FALSE(KZStrExtractBetween("[]", "[", "]", out, sizeof(out), nullptr)) << "an empty piece";
    EXPECT_TRUE(KZStrExtractBetween("head:tail", nullptr, ":", out, sizeof(out), nullptr));
    EXPECT_STREQ(out, "head");
    EXPECT_FALSE(KZStrExtractBetween("( \t )", "(", ")", out, sizeof(out), " \t")) << "only skipped characters";
    EXPECT_EQ(out[0], 0);
    // A failure after out was filled before still leaves it empty; a zero size writes nothing.
    EXPECT_FALSE(KZStrExtractBetween("<abc", "<", ">", out, sizeof(out), nullptr));
    EXPECT_EQ(out[0], 0);
    memset(guarded, 'z', sizeof(guarded));
    EXPECT_FALSE(KZStrExtractBetween("<a>", "<", ">", guarded, 0, nullptr));
    EXPECT_EQ(guarded[0], 'z');
    EXPECT_FALSE(KZStrExtractBetween(nullptr, "<", ">", out, sizeof(out), nullptr));
}

TEST(KZString, BoundedCopiesAndQueries)
{
    char buffer[4] = {'x', 'x', 'x', 'x'};
    KZStrCpy_S(buffer, "abcdef", sizeof(buffer));
    EXPECT_EQ(memcmp(buffer, "abcd", 4), 0) << "not terminated, like strncpy";
    EXPECT_EQ(KZStrCount("a/b/c", '/'), 2u);
    EXPECT_TRUE(KZStrIsNumber("-12.5"));
    EXPECT_TRUE(KZStrIsNumber("7"));
    EXPECT_FALSE(KZStrIsNumber(""));
    EXPECT_FALSE(KZStrIsNumber("1e5"));
    EXPECT_FALSE(KZStrIsNumber("--1"));
    EXPECT_TRUE(KZStrIsNumber("-.5"));
    EXPECT_TRUE(KZStrIsNumber("1.2.3")) << "dots are not counted";
    EXPECT_FALSE(KZStrIsNumber("-")) << "no digit at all";
    EXPECT_FALSE(KZStrIsNumber("."));
    EXPECT_FALSE(KZStrIsNumber("1-"));
    EXPECT_FALSE(KZStrIsNumber(nullptr));
    const char* const list[] = {"zero", "one", nullptr};
    EXPECT_EQ(KZStrMatchIndex("one", list), 1u);
    EXPECT_EQ(KZStrMatchIndex("two", list), 0xFFFFFFFFu);
    EXPECT_EQ(KZStrMatchIndex("zero", list), 0u);
    const char* const empty[] = {nullptr};
    EXPECT_EQ(KZStrMatchIndex("", empty), 0xFFFFFFFFu);
    char small[4];
    EXPECT_EQ(KZSprintf(small, sizeof(small), "%d", 12345), 5);
    EXPECT_STREQ(small, "123");
    EXPECT_EQ(KZStriCmp("ABC", "abc"), 0);
    EXPECT_EQ(KZStrToUInt("42"), 42u);
}

TEST(KZString, WideStrings)
{
    KZWChar buffer[32];
    KZWCStrCpy(buffer, u"  Hello  ");
    KZWCStrTrim(buffer, u" ");
    EXPECT_EQ(std::u16string(buffer), u"Hello");
    KZWCStrCat(buffer, u" World");
    KZWCStrToUpper(buffer);
    EXPECT_EQ(std::u16string(buffer), u"HELLO WORLD");
    EXPECT_EQ(KZWCStrLen(buffer), 11u);
    EXPECT_EQ(KZWCStrStr(buffer, u"WOR") - buffer, 6);
    EXPECT_EQ(KZWCStrRChr(buffer, u'L') - buffer, 9);
    EXPECT_EQ(KZWCStrChr(buffer, u'Z'), nullptr);
    EXPECT_EQ(KZWCStrRSpn(u"abcxx", u"x"), 2u);
    EXPECT_LT(KZWCStrCmp(u"ab", u"b"), 0);
    const KZWChar* pEnd = nullptr;
    EXPECT_EQ(KZWCStrToInt(u"-ff rest", &pEnd, 16), -255);
    EXPECT_EQ(std::u16string(pEnd), u" rest");
    KZWChar small[4];
    KZWCSprintf(small, 4, "%d", 12345);
    EXPECT_EQ(std::u16string(small), u"123");

    char narrow[4];
    KZWCToChar(u"\u0141abc", narrow, sizeof(narrow));
    EXPECT_STREQ(narrow, "\x41" "ab");
    char32_t wide32[8];
    _KZStrCpy16To32(wide32, u"\u00E9x");
    EXPECT_EQ(_KZStrLen32(wide32), 2u);
    EXPECT_EQ(wide32[0], U'\u00E9');
    EXPECT_EQ(SortCompareString(u"abc", u"abc"), 0);
    EXPECT_LT(SortCompareString(u"abc", u"abd"), 0);
    // Only the first 4096 characters take part.
    std::u16string strA(5000, u'k'), strB(5000, u'k');
    strA[4500] = u'a';
    EXPECT_EQ(SortCompareString(strA.c_str(), strB.c_str()), 0);
    strA[4095] = u'a';
    EXPECT_LT(SortCompareString(strA.c_str(), strB.c_str()), 0);
}

TEST(KZString, WideNumbers)
{
    // A number behind a long run of spaces is still read whole, and the end points behind it.
    const std::u16string strPadded = std::u16string(300, u' ') + u"123456789x";
    const KZWChar* pEnd = nullptr;
    EXPECT_EQ(KZWCStrToInt(strPadded.c_str(), &pEnd, 10), 123456789);
    EXPECT_EQ(pEnd - strPadded.c_str(), 309);
    EXPECT_EQ(KZWCStrToUInt(u"0x1F\u00E9", &pEnd, 0), 31u);
    EXPECT_EQ(*pEnd, u'\u00E9') << "a character outside ASCII ends the number";
    EXPECT_EQ(KZWCStrToInt(u"\u0660", &pEnd, 10), 0) << "no ASCII digit, nothing read";
    EXPECT_DOUBLE_EQ(KZWCStrToFloat(u"-2.5e1"), -25.0);
}

TEST(KZString, CodePageConversionStaysInsideItsBuffers)
{
    KZWChar wide[4];
    ASSERT_TRUE(CharToWChar("\xC3\xA9" "\xE2\x82\xAC" "ab", wide, 4, 65001));
    EXPECT_EQ(std::u16string(wide), u"\u00E9\u20ACa") << "three units and the terminator";
    ASSERT_TRUE(CharToWChar("\xC3\xA9", wide, 4, 1252));
    EXPECT_EQ(std::u16string(wide), u"\u00C3\u00A9");

    char out[6];
    memset(out, 'z', sizeof(out));
    ASSERT_TRUE(WCharToChar(u"a\u20AC\u00E9", out, 5, 65001));
    EXPECT_STREQ(out, "a\xE2\x82\xAC") << "the two-byte letter does not fit";
    EXPECT_EQ(out[5], 'z');
    ASSERT_TRUE(WCharToChar(u"\u0141b", out, sizeof(out), 1252));
    EXPECT_STREQ(out, "\x41" "b");
}

TEST(KZString, CodePageRoundTripsBeyondSixteenBits)
{
    // One character of each UTF-8 length; the four-byte one needs a surrogate pair.
    const char* szText = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!";
    KZWChar wide[16];
    ASSERT_TRUE(CharToWChar(szText, wide, 16, 65001));
    EXPECT_EQ(std::u16string(wide), u"A\u00E9\u20AC\U0001F600!");
    char back[32];
    ASSERT_TRUE(WCharToChar(wide, back, sizeof(back), 65001));
    EXPECT_STREQ(back, szText);

    // A pair that does not fit whole is left out; the output ends before it.
    KZWChar cut[3];
    ASSERT_TRUE(CharToWChar("a\xF0\x9F\x98\x80", cut, 3, 65001));
    EXPECT_EQ(std::u16string(cut), u"a");
    // A lone surrogate is kept as its three-byte form rather than dropped.
    ASSERT_TRUE(WCharToChar(u"\xD800x", back, sizeof(back), 65001));
    EXPECT_STREQ(back, "\xED\xA0\x80x");
    // A truncated sequence at the end of the text: each byte stands for itself, nothing beyond is read.
    ASSERT_TRUE(CharToWChar("z\xE2\x82", wide, 16, 65001));
    EXPECT_EQ(std::u16string(wide), u"z\u00E2\u0082");
    ASSERT_TRUE(CharToWChar(nullptr, wide, 16, 65001));
    EXPECT_EQ(wide[0], 0);
}

TEST(KZMemory, AlignedBlocks)
{
    for (size_t alignment : {1u, 8u, 16u, 64u, 4096u})
    {
        void* p = KZAlignedMalloc(100, alignment);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
        memset(p, 0xAB, 100);
        KZAlignedFree(p);
    }
    KZAlignedFree(nullptr);
    EXPECT_EQ(KZAlignedMalloc(SIZE_MAX - 4, 16), nullptr);
    EXPECT_EQ(KZAlignedMalloc(16, SIZE_MAX), nullptr);
    EXPECT_EQ(KZAlignedMalloc(100, 24), nullptr) << "not a power of two";
    void* p = KZAlignedMalloc(10, 0);
    ASSERT_NE(p, nullptr);
    memset(p, 0, 10);
    KZAlignedFree(p);
}
