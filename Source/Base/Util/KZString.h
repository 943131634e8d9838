#pragma once
// String helpers of the engine: byte strings (KZStr*), standard strings (KZString*), wide strings
// of 16-bit units (KZWCStr*), conversions between them, and the locale stubs.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The engine's wide character: 16 bits on every platform.
typedef char16_t KZWChar;

// Standard-string operations.
std::vector<std::string> KZStringTokenize(const std::string& strText, const std::string& strDelimiters);
void KZStringTokenizeInto(const std::string& strText, std::vector<std::string>& vecOut,
                          const std::string& strDelimiters);
void KZStringTrim(std::string& str, const std::string& strCharacters);
void KZStringTrimSpaces(std::string& str);
void KZStringTrimLeadingSpaces(std::string& str);
void KZStringTrimTrailingSpaces(std::string& str);
void KZStringTrimTrailing(std::string& str, char ch);
void KZStringFilter09azAZ(std::string& str);
void KZStringRemove(std::string& str, char ch);
bool KZStringStartsWith(const std::string& str, const std::string& strPrefix);
bool KZStringEndsWith(const std::string& str, const std::string& strSuffix);
// A decimal number without sign or leading zeros, at most 2^63 - 1, as the text formats write them.
bool KZStringParseDecimal(const std::string& strText, uint64_t& qwValue);
void KZStringReplace(std::string& str, char fromChar, char toChar);
void KZStrToLower(std::string& str);
void KZStrToUpper(std::string& str);
// printf into a standard string of whatever length the text needs.
std::string KZStringFormat(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// NUL-terminated byte strings.
void KZStrToLower(char* sz);
void KZStrToUpper(char* sz);
// Like strncpy: the destination is not terminated when the source has `size` bytes or more.
char* KZStrCpy_S(char* szDst, const char* szSrc, size_t size);
// The piece between `start` and `end` (either may be null), less `skip` characters at both ends, into
// `out`. False, with `out` empty, when a delimiter is missing, the piece is empty or it needs
// `outSize` bytes or more; `out` is never written past `outSize`.
bool KZStrExtractBetween(const char* szText, const char* szStart, const char* szEnd, char* szOut, size_t outSize,
                         const char* szSkip);
uint32_t KZStrCount(const char* szText, char ch);
// Non-empty, an optional leading '-', then only digits and '.', with at least one digit.
bool KZStrIsNumber(const char* sz);
// Index of the first list entry equal to the text; the list ends with a null. 0xFFFFFFFF: none.
uint32_t KZStrMatchIndex(const char* szText, const char* const* pList);
int KZSprintf(char* szBuffer, size_t size, const char* szFormat, ...) __attribute__((format(printf, 3, 4)));
int KZvsnprintf(char* szBuffer, size_t size, const char* szFormat, va_list args);
char* KZStrCpy(char* szDst, const char* szSrc);
char* KZStrCat(char* szDst, const char* szSrc);
char* KZStrNCat(char* szDst, const char* szSrc, size_t count);
char* KZStrNCpy(char* szDst, const char* szSrc, size_t count);
int KZStrCmp(const char* a, const char* b);
int KZStrNCmp(const char* a, const char* b, size_t count);
int KZStriCmp(const char* a, const char* b);
int KZStrniCmp(const char* a, const char* b, size_t count);
const char* KZStrChr(const char* sz, int ch);
const char* KZStrRChr(const char* sz, int ch);
const char* KZStrStr(const char* sz, const char* szFind);
size_t KZStrLen(const char* sz);
char* KZStrTok(char* sz, const char* szDelimiters, char** ppContext);
int KZStrToInt(const char* sz);
unsigned KZStrToUInt(const char* sz);
double KZStrToFloat(const char* sz);
void KZStrReplace(char from, char to, char* sz);
void KZStrTrimTrailing(char* sz, char ch);
void KZStringTrim(char* sz, char ch);

// Wide strings of 16-bit units.
size_t KZWCStrLen(const KZWChar* sz);
KZWChar* KZWCStrCpy(KZWChar* szDst, const KZWChar* szSrc);
KZWChar* KZWCStrCat(KZWChar* szDst, const KZWChar* szSrc);
KZWChar* KZWCStrNCat(KZWChar* szDst, const KZWChar* szSrc, size_t count);
KZWChar* KZWCStrNCpy(KZWChar* szDst, const KZWChar* szSrc, size_t count);
int KZWCStrCmp(const KZWChar* a, const KZWChar* b);
int KZWCStrNCmp(const KZWChar* a, const KZWChar* b, size_t count);
const KZWChar* KZWCStrChr(const KZWChar* sz, KZWChar ch);
const KZWChar* KZWCStrRChr(const KZWChar* sz, KZWChar ch);
const KZWChar* KZWCStrStr(const KZWChar* sz, const KZWChar* szFind);
size_t KZWCStrSpn(const KZWChar* sz, const KZWChar* szAccept);
// Length of the run at the end of the string made of characters of szAccept.
size_t KZWCStrRSpn(const KZWChar* sz, const KZWChar* szAccept);
void KZWCStrTrim(KZWChar* sz, const KZWChar* szCharacters);
void KZWCStrToUpper(KZWChar* sz);
void KZWCStrToLower(KZWChar* sz);
void KZWCStrReplace(KZWChar from, KZWChar to, KZWChar* sz);
long KZWCStrToInt(const KZWChar* sz, const KZWChar** pEnd, int base);
unsigned long KZWCStrToUInt(const KZWChar* sz, const KZWChar** pEnd, int base);
double KZWCStrToFloat(const KZWChar* sz);
// Formats like snprintf (byte format text) into a wide buffer of `count` units, always terminated.
int KZWCSprintf(KZWChar* szBuffer, size_t count, const char* szFormat, ...) __attribute__((format(printf, 3, 4)));
// Narrowing (low byte of each unit) and widening copies; at most count - 1 characters, terminated.
void KZWCToChar(const KZWChar* szWide, char* szOut, size_t count);
void KZWCToWChar(const char* sz, KZWChar* szOut, size_t count);
void _KZStrCpy16To32(char32_t* szDst, const KZWChar* szSrc);
void _KZStrCpy32To16(KZWChar* szDst, const char32_t* szSrc);
void _KZStrCpy32To32(char32_t* szDst, const char32_t* szSrc);
size_t _KZStrLen32(const char32_t* sz);

// Code pages: 65001 is UTF-8, anything else one byte per character. Both write at most the given
// number of units or bytes, terminator included; with UTF-8 a character beyond 16 bits is a
// surrogate pair on the wide side.
bool CharToWChar(const char* szText, KZWChar* szOut, size_t outCount, uint32_t codePage);
bool WCharToChar(const KZWChar* szWide, char* szOut, size_t outSize, uint32_t codePage);

// Locale services the engine does not offer: no names, nothing formatted.
int GetFirstDayInWeek();
const char* GetNameOfMonth(int month);
const char* GetNameOfDay(int day);
const char* GetShortNameOfDay(int day);
const char* GetNameOfCurrency();
const char* GetNameOfLanguage();
void FormatCurrency(char* szOut, size_t size, double value);
void FormatDateTime(char* szOut, size_t size, int64_t time);
// Collation order of two wide strings (each compared on its first 4096 characters).
int SortCompareString(const KZWChar* a, const KZWChar* b);
