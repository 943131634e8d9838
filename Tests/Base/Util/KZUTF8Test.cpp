#include "Base/Util/KZUTF8.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(KZUTF8, EncodesAndDecodesEveryLength)
{
    const uint32_t chars[] = {0x41, 0xE9, 0x20AC, 0x1F600, 0x10FFFF};
    char text[32];
    const int bytes = u8_toutf8(text, sizeof(text), chars, 5);
    EXPECT_EQ(bytes, 1 + 2 + 3 + 4 + 4);
    EXPECT_EQ(std::string(text, 6), "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(u8_seqlen(text + 3), 3);
    EXPECT_EQ(u8_seqlen(text + 6), 4);
    uint32_t back[8];
    EXPECT_EQ(u8_toucs(back, 8, text, -1), 5);
    EXPECT_EQ(memcmp(back, chars, sizeof(chars)), 0);
    EXPECT_EQ(u8_strlen(text), 5);
    EXPECT_EQ(u8_offset(text, 3), 6);
    EXPECT_EQ(u8_charnum(text, 6), 3);
    int i = 6;
    u8_inc(text, &i);
    EXPECT_EQ(i, 10);
    u8_dec(text, &i);
    EXPECT_EQ(i, 6);
    char one[4];
    EXPECT_EQ(u8_wc_toutf8(one, 0x110000), 0);
}

TEST(KZUTF8, TruncatedSequencesAreNotReadPastTheirEnd)
{
    // A three-byte lead with one continuation byte, exactly two bytes long (no terminator).
    const char cut[2] = {'\xE2', '\x82'};
    size_t i = 0;
    EXPECT_EQ(u8_nextchar(cut, &i, 2), 0xE2u);
    EXPECT_EQ(i, 1u);
    EXPECT_EQ(u8_nextchar(cut, &i, 2), 0x82u);
    EXPECT_EQ(u8_nextchar(cut, &i, 2), 0u) << "at the end nothing more is read";
    uint32_t out[4];
    EXPECT_EQ(u8_toucs(out, 4, "\xF0\x9F", -1), 2);
    EXPECT_EQ(u8_strlen("\xF0\x9F"), 1);
    EXPECT_EQ(u8_memchr(cut, 0x20AC, 2, nullptr), nullptr);
}

TEST(KZUTF8, EscapesRoundTrip)
{
    char escaped[64];
    u8_escape(escaped, sizeof(escaped), "a\n\x01\xC3\xA9\xF0\x9F\x98\x80\"", 1);
    EXPECT_STREQ(escaped, "a\\n\\x1\\u00E9\\U0001F600\\\"");
    char back[64];
    EXPECT_EQ(u8_unescape(back, sizeof(back), escaped), 6);
    EXPECT_STREQ(back, "a\n\x01\xC3\xA9\xF0\x9F\x98\x80\"");
    EXPECT_EQ(u8_unescape(back, sizeof(back), "\\101\\x42\\t\\q"), 4);
    EXPECT_STREQ(back, "AB\tq");
    char small[4];
    u8_escape(small, sizeof(small), "\xC3\xA9", 0);
    EXPECT_STREQ(small, "") << "an escape that does not fit is left out whole";
    EXPECT_EQ(u8_unescape(small, sizeof(small), "abcdef"), 3);
    EXPECT_STREQ(small, "abc");
    uint32_t ch = 0;
    EXPECT_EQ(u8_read_escape_sequence("u20ACx", &ch), 5);
    EXPECT_EQ(ch, 0x20ACu);
}

TEST(KZUTF8, SearchesAndLocaleNames)
{
    int charn = -1;
    const char* text = "a\xC3\xA9" "b";
    EXPECT_EQ(u8_strchr(text, 'b', &charn), text + 3);
    EXPECT_EQ(charn, 2);
    EXPECT_EQ(u8_strchr(text, 0xE9, &charn), text + 1);
    EXPECT_EQ(u8_strchr(text, 'z', nullptr), nullptr);
    EXPECT_TRUE(u8_is_locale_utf8("en_US.UTF-8"));
    EXPECT_TRUE(u8_is_locale_utf8("de_DE.utf8@euro"));
    EXPECT_FALSE(u8_is_locale_utf8("C"));
    EXPECT_FALSE(u8_is_locale_utf8("en_US.ISO-8859-1"));
    EXPECT_FALSE(u8_is_locale_utf8("en_US.UTF-16"));
    EXPECT_TRUE(octal_digit('7'));
    EXPECT_FALSE(octal_digit('8'));
    EXPECT_TRUE(hex_digit('F'));
    EXPECT_FALSE(hex_digit('g'));
}
