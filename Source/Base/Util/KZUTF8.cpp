#include "Base/Util/KZUTF8.h"

#include <cstdio>
#include <cstring>

namespace
{
bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Sequence length from a lead byte; stray continuation bytes and invalid leads count as one byte.
int SequenceLength(unsigned char c)
{
    if (c < 0xC0)
        return 1;
    if (c < 0xE0)
        return 2;
    if (c < 0xF0)
        return 3;
    return c < 0xF8 ? 4 : 1;
}

// Decodes one character of at most `available` bytes; returns the bytes used (1 for a truncated or
// broken sequence, whose lead byte then stands for itself).
size_t DecodeOne(const unsigned char* p, size_t available, uint32_t* pChar)
{
    const int length = SequenceLength(p[0]);
    if (length == 1 || static_cast<size_t>(length) > available)
    {
        *pChar = p[0];
        return 1;
    }
    static const unsigned char s_leadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    uint32_t ch = p[0] & s_leadMask[length];
    for (int k = 1; k < length; ++k)
    {
        if (!IsContinuation(p[k]))
        {
            *pChar = p[0];
            return 1;
        }
        ch = (ch << 6) | (p[k] & 0x3F);
    }
    *pChar = ch;
    return static_cast<size_t>(length);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}
} // namespace

int u8_seqlen(const char* s)
{
    return SequenceLength(static_cast<unsigned char>(*s));
}

int u8_toucs(uint32_t* dest, int sz, const char* src, int srcsz)
{
    const size_t length = srcsz < 0 ? strlen(src) : static_cast<size_t>(srcsz);
    int count = 0;
    size_t i = 0;
    while (i < length && count < sz)
        dest[count++] = u8_nextchar(src, &i, length);
    if (count < sz)
        dest[count] = 0;
    return count;
}

int u8_wc_toutf8(char* dest, uint32_t ch)
{
    if (ch < 0x80)
    {
        dest[0] = static_cast<char>(ch);
        return 1;
    }
    if (ch < 0x800)
    {
        dest[0] = static_cast<char>(0xC0 | (ch >> 6));
        dest[1] = static_cast<char>(0x80 | (ch & 0x3F));
        return 2;
    }
    if (ch < 0x10000)
    {
        dest[0] = static_cast<char>(0xE0 | (ch >> 12));
        dest[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        dest[2] = static_cast<char>(0x80 | (ch & 0x3F));
        return 3;
    }
    if (ch < 0x110000)
    {
        dest[0] = static_cast<char>(0xF0 | (ch >> 18));
        dest[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        dest[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        dest[3] = static_cast<char>(0x80 | (ch & 0x3F));
        return 4;
    }
    return 0;
}

int u8_toutf8(char* dest, int sz, const uint32_t* src, int srcsz)
{
    int written = 0;
    for (int i = 0; srcsz < 0 ? src[i] != 0 : i < srcsz; ++i)
    {
        char buffer[4];
        const int n = u8_wc_toutf8(buffer, src[i]);
        if (written + n > sz)
            break;
        memcpy(dest + written, buffer, static_cast<size_t>(n));
        written += n;
    }
    if (written < sz)
        dest[written] = 0;
    return written;
}

int u8_offset(const char* str, int charnum)
{
    int offset = 0;
    while (charnum > 0 && str[offset])
    {
        u8_inc(str, &offset);
        --charnum;
    }
    return offset;
}

int u8_charnum(const char* s, int offset)
{
    int charnum = 0;
    int i = 0;
    while (i < offset && s[i])
    {
        u8_inc(s, &i);
        ++charnum;
    }
    return charnum;
}

int u8_strlen(const char* s)
{
    int count = 0;
    for (int i = 0; s[i]; u8_inc(s, &i))
        ++count;
    return count;
}

uint32_t u8_nextchar(const char* s, size_t* i, size_t length)
{
    if (*i >= length)
        return 0;
    uint32_t ch = 0;
    *i += DecodeOne(reinterpret_cast<const unsigned char*>(s) + *i, length - *i, &ch);
    return ch;
}

// The terminating zero is no continuation byte, so stepping never runs past the end.
void u8_inc(const char* s, int* i)
{
    if (!s[*i])
        return;
    ++*i;
    while (s[*i] && IsContinuation(static_cast<unsigned char>(s[*i])))
        ++*i;
}

void u8_dec(const char* s, int* i)
{
    while (*i > 0)
    {
        --*i;
        if (!IsContinuation(static_cast<unsigned char>(s[*i])))
            return;
    }
}

bool octal_digit(char c) { return c >= '0' && c <= '7'; }

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int u8_read_escape_sequence(const char* src, uint32_t* dest)
{
    static const char s_from[] = "ntrbfav";
    static const char s_to[] = "\n\t\r\b\f\a\v";
    if (!src[0])
    {
        *dest = '\\';
        return 0;
    }
    if (const char* p = strchr(s_from, src[0]))
    {
        *dest = static_cast<unsigned char>(s_to[p - s_from]);
        return 1;
    }
    int used = 0;
    uint32_t value = 0;
    if (octal_digit(src[0]))
    {
        while (used < 3 && octal_digit(src[used]))
            value = value * 8 + static_cast<uint32_t>(src[used++] - '0');
        *dest = value;
        return used;
    }
    const int digits = src[0] == 'x' ? 2 : src[0] == 'u' ? 4 : src[0] == 'U' ? 8 : 0;
    if (digits > 0 && hex_digit(src[1]))
    {
        used = 1;
        while (used <= digits && hex_digit(src[used]))
            value = value * 16 + static_cast<uint32_t>(HexValue(src[used++]));
        *dest = value;
        return used;
    }
    // Any other character stands for itself (\\ \" \' and the like).
    size_t i = 0;
    *dest = u8_nextchar(src, &i, strnlen(src, 4));
    return static_cast<int>(i);
}

int u8_unescape(char* buf, int sz, const char* src)
{
    int written = 0;
    int count = 0;
    while (*src)
    {
        uint32_t ch = 0;
        if (*src == '\\')
        {
            ++src;
            src += u8_read_escape_sequence(src, &ch);
        }
        else
        {
            size_t i = 0;
            ch = u8_nextchar(src, &i, strnlen(src, 4));
            src += i;
        }
        char buffer[4];
        const int n = u8_wc_toutf8(buffer, ch);
        if (written + n >= sz)
            break;
        memcpy(buf + written, buffer, static_cast<size_t>(n));
        written += n;
        ++count;
    }
    if (written < sz)
        buf[written] = 0;
    return count;
}

// The \x form always has two digits, so a hex digit that follows cannot join the escape; a
// character beyond 16 bits takes the \U form, as four digits would lose its upper bits. An escape
// that does not fit whole is not written.
int u8_escape_wchar(char* buf, int sz, uint32_t ch)
{
    if (sz <= 0)
        return 0;
    char text[16];
    int n;
    if (ch == '\\')
        n = snprintf(text, sizeof(text), "\\\\");
    else if (ch < 0x20 || ch == 0x7F)
        n = snprintf(text, sizeof(text), "\\x%.2hhX", static_cast<unsigned char>(ch));
    else if (ch < 0x80)
        n = snprintf(text, sizeof(text), "%c", static_cast<char>(ch));
    else if (ch <= 0xFFFF)
        n = snprintf(text, sizeof(text), "\\u%.4hX", static_cast<unsigned short>(ch));
    else
        n = snprintf(text, sizeof(text), "\\U%.8X", static_cast<unsigned>(ch));
    if (n >= sz)
    {
        buf[0] = 0;
        return 0;
    }
    memcpy(buf, text, static_cast<size_t>(n) + 1);
    return n;
}

int u8_escape(char* buf, int sz, const char* src, int escape_quotes)
{
    const size_t length = strlen(src);
    size_t i = 0;
    int written = 0;
    if (sz > 0)
        buf[0] = 0;
    while (i < length && written < sz - 1)
    {
        const uint32_t ch = u8_nextchar(src, &i, length);
        char piece[16];
        int n;
        if (escape_quotes && ch == '"')
            n = snprintf(piece, sizeof(piece), "\\\"");
        else
            n = u8_escape_wchar(piece, sizeof(piece), ch);
        if (written + n > sz - 1)
            break;
        memcpy(buf + written, piece, static_cast<size_t>(n) + 1);
        written += n;
    }
    return written;
}

const char* u8_strchr(const char* s, uint32_t ch, int* charn)
{
    return u8_memchr(s, ch, strlen(s), charn);
}

const char* u8_memchr(const char* s, uint32_t ch, size_t sz, int* charn)
{
    size_t i = 0;
    int count = 0;
    while (i < sz)
    {
        const size_t start = i;
        if (u8_nextchar(s, &i, sz) == ch)
        {
            if (charn)
                *charn = count;
            return s + start;
        }
        ++count;
    }
    if (charn)
        *charn = count;
    return nullptr;
}

bool u8_is_locale_utf8(const char* locale)
{
    const char* p = locale ? strchr(locale, '.') : nullptr;
    if (!p)
        return false;
    ++p;
    const size_t length = strcspn(p, "@+,");
    return (length == 5 && strncmp(p, "UTF-8", 5) == 0) || (length == 4 && strncmp(p, "utf8", 4) == 0);
}
