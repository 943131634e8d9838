#include "Base/Util/KZString.h"

#include "Base/Util/KZUTF8.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <strings.h>

namespace
{
const char* const s_szSpaces = " \t\n\r\f\v";

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
KZWChar WideLower(KZWChar c) { return c >= u'A' && c <= u'Z' ? static_cast<KZWChar>(c + 32) : c; }
KZWChar WideUpper(KZWChar c) { return c >= u'a' && c <= u'z' ? static_cast<KZWChar>(c - 32) : c; }

// The first 4096 units of a wide string, one 32-bit character each, for the collation function.
std::wstring Widen32(const KZWChar* sz)
{
    static const size_t s_maxCount = 4096;
    std::wstring str;
    for (size_t i = 0; sz && i < s_maxCount && sz[i]; ++i)
        str += static_cast<wchar_t>(sz[i]);
    return str;
}
} // namespace

std::vector<std::string> KZStringTokenize(const std::string& strText, const std::string& strDelimiters)
{
    std::vector<std::string> vecTokens;
    KZStringTokenizeInto(strText, vecTokens, strDelimiters);
    return vecTokens;
}

void KZStringTokenizeInto(const std::string& strText, std::vector<std::string>& vecOut,
                          const std::string& strDelimiters)
{
    size_t begin = strText.find_first_not_of(strDelimiters);
    while (begin != std::string::npos)
    {
        const size_t end = strText.find_first_of(strDelimiters, begin);
        vecOut.push_back(strText.substr(begin, end - begin));
        begin = strText.find_first_not_of(strDelimiters, end);
    }
}

void KZStringTrim(std::string& str, const std::string& strCharacters)
{
    const size_t begin = str.find_first_not_of(strCharacters);
    if (begin == std::string::npos)
    {
        str.clear();
        return;
    }
    str = str.substr(begin, str.find_last_not_of(strCharacters) - begin + 1);
}

void KZStringTrimSpaces(std::string& str) { KZStringTrim(str, s_szSpaces); }

void KZStringTrimLeadingSpaces(std::string& str)
{
    const size_t begin = str.find_first_not_of(s_szSpaces);
    str.erase(0, begin == std::string::npos ? str.size() : begin);
}

void KZStringTrimTrailingSpaces(std::string& str)
{
    const size_t last = str.find_last_not_of(s_szSpaces);
    str.erase(last == std::string::npos ? 0 : last + 1);
}

void KZStringTrimTrailing(std::string& str, char ch)
{
    const size_t last = str.find_last_not_of(ch);
    str.erase(last == std::string::npos ? 0 : last + 1);
}

void KZStringFilter09azAZ(std::string& str)
{
    std::string strOut;
    for (char c : str)
        if (IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            strOut += c;
    str.swap(strOut);
}

void KZStringRemove(std::string& str, char ch)
{
    std::string strOut;
    for (char c : str)
        if (c != ch)
            strOut += c;
    str.swap(strOut);
}

bool KZStringStartsWith(const std::string& str, const std::string& strPrefix)
{
    return str.size() >= strPrefix.size() && str.compare(0, strPrefix.size(), strPrefix) == 0;
}

bool KZStringParseDecimal(const std::string& strText, uint64_t& qwValue)
{
    if (strText.empty() || strText.size() > 19 || (strText.size() > 1 && strText[0] == '0'))
        return false;
    qwValue = 0;
    for (const char c : strText)
    {
        if (c < '0' || c > '9')
            return false;
        qwValue = qwValue * 10 + static_cast<uint64_t>(c - '0');
    }
    return qwValue <= static_cast<uint64_t>(INT64_MAX);
}

bool KZStringEndsWith(const std::string& str, const std::string& strSuffix)
{
    return str.size() >= strSuffix.size() && str.compare(str.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

void KZStringReplace(std::string& str, char fromChar, char toChar)
{
    for (char& c : str)
        if (c == fromChar)
            c = toChar;
}

void KZStrToLower(std::string& str)
{
    for (char& c : str)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
}

std::string KZStringFormat(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    std::string strText(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&strText[0], strText.size() + 1, szFormat, args);
    va_end(args);
    return strText;
}

void KZStrToUpper(std::string& str)
{
    for (char& c : str)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
}

void KZStrToLower(char* sz)
{
    for (; *sz; ++sz)
        if (*sz >= 'A' && *sz <= 'Z')
            *sz = static_cast<char>(*sz + 32);
}

void KZStrToUpper(char* sz)
{
    for (; *sz; ++sz)
        if (*sz >= 'a' && *sz <= 'z')
            *sz = static_cast<char>(*sz - 32);
}

char* KZStrCpy_S(char* szDst, const char* szSrc, size_t size)
{
    return strncpy(szDst, szSrc, size);
}

bool KZStrExtractBetween(const char* szText, const char* szStart, const char* szEnd, char* szOut, size_t outSize,
                         const char* szSkip)
{
    if (!szOut || outSize == 0)
        return false;
    szOut[0] = 0;
    if (!szText)
        return false;
    const char* pBegin = szText;
    if (szStart)
    {
        pBegin = strstr(szText, szStart);
        if (!pBegin)
            return false;
        pBegin += strlen(szStart);
    }
    if (szSkip)
        pBegin += strspn(pBegin, szSkip);
    const char* pEnd = strstr(pBegin, szEnd ? szEnd : "");
    if (!szEnd)
        pEnd = pBegin + strlen(pBegin);
    if (!pEnd)
        return false;
    if (szSkip)
        while (pEnd > pBegin && strchr(szSkip, pEnd[-1]))
            --pEnd;
    const size_t length = static_cast<size_t>(pEnd - pBegin);
    if (length >= outSize)
        return false;
    memcpy(szOut, pBegin, length);
    szOut[length] = 0;
    return length > 0;
}

uint32_t KZStrCount(const char* szText, char ch)
{
    uint32_t count = 0;
    for (; *szText; ++szText)
        count += *szText == ch;
    return count;
}

// Digits and dots after an optional '-'; a text without any digit ("-", ".") is no number.
bool KZStrIsNumber(const char* sz)
{
    if (!sz || !*sz)
        return false;
    if (*sz == '-')
        ++sz;
    bool bDigit = false;
    for (; *sz; ++sz)
    {
        if (IsAsciiDigit(*sz))
            bDigit = true;
        else if (*sz != '.')
            return false;
    }
    return bDigit;
}

uint32_t KZStrMatchIndex(const char* szText, const char* const* pList)
{
    if (!szText || !pList)
        return 0xFFFFFFFF;
    for (uint32_t i = 0; pList[i]; ++i)
        if (strcmp(szText, pList[i]) == 0)
            return i;
    return 0xFFFFFFFF;
}

int KZSprintf(char* szBuffer, size_t size, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    const int count = vsnprintf(szBuffer, size, szFormat, args);
    va_end(args);
    return count;
}

int KZvsnprintf(char* szBuffer, size_t size, const char* szFormat, va_list args)
{
    return vsnprintf(szBuffer, size, szFormat, args);
}

char* KZStrCpy(char* szDst, const char* szSrc) { return strcpy(szDst, szSrc); }
char* KZStrCat(char* szDst, const char* szSrc) { return strcat(szDst, szSrc); }
char* KZStrNCat(char* szDst, const char* szSrc, size_t count) { return strncat(szDst, szSrc, count); }
char* KZStrNCpy(char* szDst, const char* szSrc, size_t count) { return strncpy(szDst, szSrc, count); }
int KZStrCmp(const char* a, const char* b) { return strcmp(a, b); }
int KZStrNCmp(const char* a, const char* b, size_t count) { return strncmp(a, b, count); }
int KZStriCmp(const char* a, const char* b) { return strcasecmp(a, b); }
int KZStrniCmp(const char* a, const char* b, size_t count) { return strncasecmp(a, b, count); }
const char* KZStrChr(const char* sz, int ch) { return strchr(sz, ch); }
const char* KZStrRChr(const char* sz, int ch) { return strrchr(sz, ch); }
const char* KZStrStr(const char* sz, const char* szFind) { return strstr(sz, szFind); }
size_t KZStrLen(const char* sz) { return strlen(sz); }
char* KZStrTok(char* sz, const char* szDelimiters, char** ppContext) { return strtok_r(sz, szDelimiters, ppContext); }
int KZStrToInt(const char* sz) { return atoi(sz); }
unsigned KZStrToUInt(const char* sz) { return static_cast<unsigned>(atoi(sz)); }
double KZStrToFloat(const char* sz) { return atof(sz); }

void KZStrReplace(char from, char to, char* sz)
{
    for (; *sz; ++sz)
        if (*sz == from)
            *sz = to;
}

void KZStrTrimTrailing(char* sz, char ch)
{
    size_t length = strlen(sz);
    while (length > 0 && sz[length - 1] == ch)
        sz[--length] = 0;
}

void KZStringTrim(char* sz, char ch)
{
    KZStrTrimTrailing(sz, ch);
    size_t lead = 0;
    while (sz[lead] == ch && ch != 0)
        ++lead;
    memmove(sz, sz + lead, strlen(sz + lead) + 1);
}

size_t KZWCStrLen(const KZWChar* sz)
{
    size_t length = 0;
    while (sz[length])
        ++length;
    return length;
}

KZWChar* KZWCStrCpy(KZWChar* szDst, const KZWChar* szSrc)
{
    size_t i = 0;
    for (; szSrc[i]; ++i)
        szDst[i] = szSrc[i];
    szDst[i] = 0;
    return szDst;
}

KZWChar* KZWCStrCat(KZWChar* szDst, const KZWChar* szSrc)
{
    KZWCStrCpy(szDst + KZWCStrLen(szDst), szSrc);
    return szDst;
}

KZWChar* KZWCStrNCat(KZWChar* szDst, const KZWChar* szSrc, size_t count)
{
    KZWChar* p = szDst + KZWCStrLen(szDst);
    size_t i = 0;
    for (; i < count && szSrc[i]; ++i)
        p[i] = szSrc[i];
    p[i] = 0;
    return szDst;
}

KZWChar* KZWCStrNCpy(KZWChar* szDst, const KZWChar* szSrc, size_t count)
{
    size_t i = 0;
    for (; i < count && szSrc[i]; ++i)
        szDst[i] = szSrc[i];
    for (; i < count; ++i)
        szDst[i] = 0;
    return szDst;
}

int KZWCStrCmp(const KZWChar* a, const KZWChar* b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int KZWCStrNCmp(const KZWChar* a, const KZWChar* b, size_t count)
{
    for (; count > 0; --count, ++a, ++b)
        if (*a != *b || !*a)
            return static_cast<int>(*a) - static_cast<int>(*b);
    return 0;
}

const KZWChar* KZWCStrChr(const KZWChar* sz, KZWChar ch)
{
    for (;; ++sz)
    {
        if (*sz == ch)
            return sz;
        if (!*sz)
            return nullptr;
    }
}

const KZWChar* KZWCStrRChr(const KZWChar* sz, KZWChar ch)
{
    const KZWChar* pFound = nullptr;
    for (;; ++sz)
    {
        if (*sz == ch)
            pFound = sz;
        if (!*sz)
            return pFound;
    }
}

const KZWChar* KZWCStrStr(const KZWChar* sz, const KZWChar* szFind)
{
    const size_t length = KZWCStrLen(szFind);
    for (; *sz; ++sz)
        if (KZWCStrNCmp(sz, szFind, length) == 0)
            return sz;
    return length == 0 ? sz : nullptr;
}

size_t KZWCStrSpn(const KZWChar* sz, const KZWChar* szAccept)
{
    size_t count = 0;
    while (sz[count] && KZWCStrChr(szAccept, sz[count]))
        ++count;
    return count;
}

size_t KZWCStrRSpn(const KZWChar* sz, const KZWChar* szAccept)
{
    size_t length = KZWCStrLen(sz);
    size_t count = 0;
    while (length > 0 && KZWCStrChr(szAccept, sz[length - 1]))
        --length, ++count;
    return count;
}

void KZWCStrTrim(KZWChar* sz, const KZWChar* szCharacters)
{
    const size_t length = KZWCStrLen(sz);
    const size_t trailing = KZWCStrRSpn(sz, szCharacters);
    sz[length - trailing] = 0;
    const size_t leading = KZWCStrSpn(sz, szCharacters);
    size_t i = 0;
    for (; sz[leading + i]; ++i)
        sz[i] = sz[leading + i];
    sz[i] = 0;
}

void KZWCStrToUpper(KZWChar* sz)
{
    for (; *sz; ++sz)
        *sz = WideUpper(*sz);
}

void KZWCStrToLower(KZWChar* sz)
{
    for (; *sz; ++sz)
        *sz = WideLower(*sz);
}

void KZWCStrReplace(KZWChar from, KZWChar to, KZWChar* sz)
{
    for (; *sz; ++sz)
        if (*sz == from)
            *sz = to;
}

namespace
{
// The leading ASCII run of a wide string as bytes, so the C library can read the number in it; a
// number never continues past a character outside ASCII, and offsets stay the same.
std::string NarrowNumber(const KZWChar* sz)
{
    std::string strNumber;
    for (size_t i = 0; sz[i] && sz[i] < 0x80; ++i)
        strNumber += static_cast<char>(sz[i]);
    return strNumber;
}
} // namespace

long KZWCStrToInt(const KZWChar* sz, const KZWChar** pEnd, int base)
{
    const std::string strNumber = NarrowNumber(sz);
    char* pNarrowEnd = nullptr;
    const long value = strtol(strNumber.c_str(), &pNarrowEnd, base);
    if (pEnd)
        *pEnd = sz + (pNarrowEnd - strNumber.c_str());
    return value;
}

unsigned long KZWCStrToUInt(const KZWChar* sz, const KZWChar** pEnd, int base)
{
    const std::string strNumber = NarrowNumber(sz);
    char* pNarrowEnd = nullptr;
    const unsigned long value = strtoul(strNumber.c_str(), &pNarrowEnd, base);
    if (pEnd)
        *pEnd = sz + (pNarrowEnd - strNumber.c_str());
    return value;
}

double KZWCStrToFloat(const KZWChar* sz) { return atof(NarrowNumber(sz).c_str()); }

int KZWCSprintf(KZWChar* szBuffer, size_t count, const char* szFormat, ...)
{
    if (count == 0)
        return 0;
    std::string strText(256, '\0');
    va_list args;
    va_start(args, szFormat);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(&strText[0], strText.size(), szFormat, args);
    va_end(args);
    if (length >= 0 && static_cast<size_t>(length) >= strText.size())
    {
        strText.resize(static_cast<size_t>(length) + 1);
        vsnprintf(&strText[0], strText.size(), szFormat, copy);
    }
    va_end(copy);
    if (length < 0)
    {
        szBuffer[0] = 0;
        return length;
    }
    CharToWChar(strText.c_str(), szBuffer, count, 65001);
    return length;
}

void KZWCToChar(const KZWChar* szWide, char* szOut, size_t count)
{
    if (count == 0)
        return;
    size_t i = 0;
    for (; i + 1 < count && szWide[i]; ++i)
        szOut[i] = static_cast<char>(szWide[i] & 0xFF);
    szOut[i] = 0;
}

void KZWCToWChar(const char* sz, KZWChar* szOut, size_t count)
{
    if (count == 0)
        return;
    size_t i = 0;
    for (; i + 1 < count && sz[i]; ++i)
        szOut[i] = static_cast<unsigned char>(sz[i]);
    szOut[i] = 0;
}

void _KZStrCpy16To32(char32_t* szDst, const KZWChar* szSrc)
{
    size_t i = 0;
    for (; szSrc[i]; ++i)
        szDst[i] = szSrc[i];
    szDst[i] = 0;
}

void _KZStrCpy32To16(KZWChar* szDst, const char32_t* szSrc)
{
    size_t i = 0;
    for (; szSrc[i]; ++i)
        szDst[i] = static_cast<KZWChar>(szSrc[i]);
    szDst[i] = 0;
}

void _KZStrCpy32To32(char32_t* szDst, const char32_t* szSrc)
{
    size_t i = 0;
    for (; szSrc[i]; ++i)
        szDst[i] = szSrc[i];
    szDst[i] = 0;
}

size_t _KZStrLen32(const char32_t* sz)
{
    size_t length = 0;
    while (sz[length])
        ++length;
    return length;
}

// Characters beyond 16 bits become a surrogate pair, which is written whole or not at all.
bool CharToWChar(const char* szText, KZWChar* szOut, size_t outCount, uint32_t codePage)
{
    if (!szOut || outCount == 0)
        return true;
    if (!szText)
        szText = "";
    if (codePage != 65001)
    {
        KZWCToWChar(szText, szOut, outCount);
        return true;
    }
    const size_t length = strlen(szText);
    size_t written = 0;
    size_t i = 0;
    while (i < length)
    {
        uint32_t ch = u8_nextchar(szText, &i, length);
        if (ch > 0x10FFFF)
            ch = 0xFFFD;
        if (ch >= 0x10000)
        {
            if (written + 2 >= outCount)
                break;
            ch -= 0x10000;
            szOut[written++] = static_cast<KZWChar>(0xD800 + (ch >> 10));
            szOut[written++] = static_cast<KZWChar>(0xDC00 + (ch & 0x3FF));
        }
        else
        {
            if (written + 1 >= outCount)
                break;
            szOut[written++] = static_cast<KZWChar>(ch);
        }
    }
    szOut[written] = 0;
    return true;
}

// A surrogate pair becomes one four-byte sequence; a lone surrogate is encoded as it stands.
bool WCharToChar(const KZWChar* szWide, char* szOut, size_t outSize, uint32_t codePage)
{
    if (!szOut || outSize == 0)
        return true;
    if (!szWide)
        szWide = u"";
    if (codePage != 65001)
    {
        KZWCToChar(szWide, szOut, outSize);
        return true;
    }
    size_t written = 0;
    while (*szWide)
    {
        uint32_t ch = *szWide++;
        if (ch >= 0xD800 && ch < 0xDC00 && *szWide >= 0xDC00 && *szWide < 0xE000)
            ch = 0x10000 + ((ch - 0xD800) << 10) + (*szWide++ - 0xDC00u);
        char buffer[4];
        const size_t n = static_cast<size_t>(u8_wc_toutf8(buffer, ch));
        if (written + n + 1 > outSize)
            break;
        memcpy(szOut + written, buffer, n);
        written += n;
    }
    szOut[written] = 0;
    return true;
}

int GetFirstDayInWeek() { return 0; }
const char* GetNameOfMonth(int) { return nullptr; }
const char* GetNameOfDay(int) { return nullptr; }
const char* GetShortNameOfDay(int) { return nullptr; }
const char* GetNameOfCurrency() { return nullptr; }
const char* GetNameOfLanguage() { return nullptr; }
void FormatCurrency(char*, size_t, double) {}
void FormatDateTime(char*, size_t, int64_t) {}

int SortCompareString(const KZWChar* a, const KZWChar* b)
{
    return wcscoll(Widen32(a).c_str(), Widen32(b).c_str());
}
