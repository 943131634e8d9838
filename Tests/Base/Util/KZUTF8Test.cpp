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
    u8_escape(escaped, sizeof(escaped), "a\n\x01\xC3\xA9\xF0\x9F\x98\x80\"\\", 1);
    EXPECT_STREQ(escaped, "a\\x0A\\x01\\u00E9\\U0001F600\\\"\\\\");
    char back[64];
    EXPECT_EQ(u8_unescape(back, sizeof(back), escaped), 7);
    EXPECT_STREQ(back, "a\n\x01\xC3\xA9\xF0\x9F\x98\x80\"\\");

    // A control character followed by a hex digit must not swallow it on the way back.
    u8_escape(escaped, sizeof(escaped), "\x01" "F\x7F" "b", 0);
    EXPECT_STREQ(escaped, "\\x01F\\x7Fb");
    u8_unescape(back, sizeof(back), escaped);
    EXPECT_STREQ(back, "\x01" "F\x7F" "b");
    u8_escape(escaped, sizeof(escaped), "\"q\"", 0);
    EXPECT_STREQ(escaped, "\"q\"") << "quotes stay unless asked for";
}

TEST(KZUTF8, EscapeReader)
{
    char back[64];
    EXPECT_EQ(u8_unescape(back, sizeof(back), "\\101\\x42\\t\\q\\1234"), 6);
    EXPECT_STREQ(back, "AB\tqS4") << "octal escapes take at most three digits";
    EXPECT_EQ(u8_unescape(back, sizeof(back), "\\xg\\u00e9\\U0001F600"), 4);
    EXPECT_STREQ(back, "xg\xC3\xA9\xF0\x9F\x98\x80") << "\\x without digits is the letter itself";
    EXPECT_EQ(u8_unescape(back, sizeof(back), "end\\"), 4);
    EXPECT_STREQ(back, "end\\") << "a backslash at the very end is kept";

    uint32_t ch = 0;
    EXPECT_EQ(u8_read_escape_sequence("u20ACx", &ch), 5);
    EXPECT_EQ(ch, 0x20ACu);
    EXPECT_EQ(u8_read_escape_sequence("x4", &ch), 2);
    EXPECT_EQ(ch, 4u);
    EXPECT_EQ(u8_read_escape_sequence("\xC3\xA9z", &ch), 2) << "an escaped multibyte character";
    EXPECT_EQ(ch, 0xE9u);
}

TEST(KZUTF8, EscapedOutputStaysInsideItsBuffer)
{
    char small[4];
    u8_escape(small, sizeof(small), "\xC3\xA9", 0);
    EXPECT_STREQ(small, "") << "an escape that does not fit is left out whole";
    EXPECT_EQ(u8_escape(small, sizeof(small), "ab\n", 0), 2);
    EXPECT_STREQ(small, "ab");
    char guarded[8];
    memset(guarded, 'z', sizeof(guarded));
    EXPECT_EQ(u8_escape_wchar(guarded, 6, 0x20AC), 0);
    EXPECT_EQ(guarded[0], 0);
    EXPECT_EQ(guarded[6], 'z');
    EXPECT_EQ(u8_escape_wchar(guarded, 7, 0x20AC), 6);
    EXPECT_STREQ(guarded, "\\u20AC");
    EXPECT_EQ(u8_unescape(small, sizeof(small), "abcdef"), 3);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(u8_unescape(small, sizeof(small), "a\\u20AC"), 1) << "a character that does not fit whole";
    EXPECT_STREQ(small, "a");
}

TEST(KZUTF8, SearchesAndLocaleNames)
{
    int charn = -1;
    const char* text = "a\xC3\xA9" "b";
    EXPECT_EQ(u8_strchr(text, 'b', &charn), text + 3);
    EXPECT_EQ(charn, 2);
    EXPECT_EQ(u8_strchr(text, 0xE9, &charn), text + 1);
    EXPECT_EQ(u8_strchr(text, 'z', nullptr), nullptr);
    for (const char* szName : {"en_US.UTF-8", "de_DE.utf8@euro", "C.UTF-8+x", "ja_JP.utf8,y", ".UTF-8"})
        EXPECT_TRUE(u8_is_locale_utf8(szName)) << szName;
    for (const char* szName : {"C", "en_US", "en_US.ISO-8859-1", "en_US.UTF-16", "en_US.UTF-8x", "en_US.utf-8",
                               "en_US."})
        EXPECT_FALSE(u8_is_locale_utf8(szName)) << szName;
    EXPECT_FALSE(u8_is_locale_utf8(nullptr));
    EXPECT_TRUE(octal_digit('7'));
    EXPECT_FALSE(octal_digit('8'));
    EXPECT_TRUE(hex_digit('F'));
    EXPECT_FALSE(hex_digit('g'));
}
