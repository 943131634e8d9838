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
    const char* const list[] = {"zero", "one", nullptr};
    EXPECT_EQ(KZStrMatchIndex("one", list), 1u);
    EXPECT_EQ(KZStrMatchIndex("two", list), 0xFFFFFFFFu);
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
}
