#include "Base/Core/KZValue.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Util/KZString.h"
#include "Base/Platform/KZPlatform.h"
#include "Base/Util/KZMemory.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
const char* const s_szFile = "Source/Base/Core/KZValue";
const uint32_t kMinTextBuffer = 128;
const uint32_t kUTF8 = 65001;
const float kRadToDeg = 57.29578f;

const CKZLog::SEventRecord s_recordSetDataSize = {s_szFile, "SetData", "m_dwSize", CKZLog::EVENT_ASSERT, 0, 543};

void ReportNoData(const char* szFunction, uint32_t dwLine)
{
    const CKZLog::SEventRecord record = {s_szFile, szFunction, "m_pData", CKZLog::EVENT_ASSERT, 0, dwLine};
    KZ_REPORT_EVENT(record, "%s", "");
}

// A float to an integer without the undefined conversion of NaN or of values out of range.
int64_t TruncateToInt64(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 9.2233720368547758e18)
        return INT64_MAX;
    if (value <= -9.2233720368547758e18)
        return INT64_MIN;
    return static_cast<int64_t>(value);
}

int32_t Wrap32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

// A decimal number, with an optional '-' when allowed; digits beyond the range of an int keep it
// at its bound instead of overflowing.
const char* ReadNumber(const char* p, const char* pEnd, int& value, bool bSigned = false)
{
    const bool bNegative = bSigned && p + 1 < pEnd && *p == '-' && isdigit(static_cast<unsigned char>(p[1]));
    if (bNegative)
        ++p;
    int64_t result = 0;
    while (p < pEnd && isdigit(static_cast<unsigned char>(*p)))
    {
        result = std::min<int64_t>(result * 10 + (*p - '0'), INT_MAX);
        ++p;
    }
    value = static_cast<int>(bNegative ? -result : result);
    return p;
}

bool StartsNumber(const char* p, const char* pEnd, bool bSigned)
{
    if (bSigned && p + 1 < pEnd && *p == '-')
        ++p;
    return p < pEnd && isdigit(static_cast<unsigned char>(*p));
}

// Comma-separated floats of a bounded text; missing components stay as they are.
void ParseFloats(const std::string& strText, float* pValues, int count)
{
    const char* p = strText.c_str();
    const char* pEnd = p + strText.size();
    for (int i = 0; i < count && p < pEnd; ++i)
    {
        pValues[i] = static_cast<float>(atof(p));
        const char* pComma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(pEnd - p)));
        p = pComma ? pComma + 1 : pEnd;
    }
}

// Seconds of a date and/or time text. The fields start from `base` (broken-down UTC); a text
// with a date but no time means midnight. The fields are read back with timegm, the inverse of
// the UTC text form, so a value's text reads back as the same value.
int64_t ParseDateTime(const std::string& strText, struct tm base)
{
    const char* p = strText.c_str();
    const char* pEnd = p + strText.size();
    while (p < pEnd && isspace(static_cast<unsigned char>(*p)))
        ++p;
    int date[3] = {0, 0, 0}, time[3] = {0, 0, 0};
    int dateCount = 0, timeCount = 0;
    // Numbers followed by ':' are the time; the first numbers otherwise are the date.
    const char* pScan = p;
    while (pScan < pEnd && isdigit(static_cast<unsigned char>(*pScan)))
        ++pScan;
    const bool bTimeFirst = pScan < pEnd && pScan > p && *pScan == ':';
    if (!bTimeFirst)
    {
        // The year may be negative: gmtime writes years before 0 with a sign.
        while (p < pEnd && dateCount < 3 && StartsNumber(p, pEnd, dateCount == 0))
        {
            p = ReadNumber(p, pEnd, date[dateCount], dateCount == 0);
            ++dateCount;
            if (p < pEnd && (*p == '-' || *p == '.' || *p == '/'))
                ++p;
            else
                break;
        }
        while (p < pEnd && (*p == ' ' || *p == 'T'))
            ++p;
    }
    while (p < pEnd && timeCount < 3 && isdigit(static_cast<unsigned char>(*p)))
    {
        p = ReadNumber(p, pEnd, time[timeCount++]);
        if (p < pEnd && *p == ':')
            ++p;
        else
            break;
    }
    // No number at all: the text means nothing, and reads as 0 like any text that does not convert.
    if (dateCount == 0 && timeCount == 0)
        return 0;
    if (dateCount > 0)
        base.tm_year = date[0] >= 100 || date[0] < 0 ? static_cast<int>(std::max<int64_t>(int64_t(date[0]) - 1900, INT_MIN))
                                                     : date[0];
    if (dateCount > 1)
        base.tm_mon = date[1] - 1;
    if (dateCount > 2)
        base.tm_mday = date[2];
    base.tm_hour = time[0];
    base.tm_min = time[1];
    base.tm_sec = time[2];
    base.tm_isdst = 0;
    return KZPlatform::TimeGm(&base);
}

struct tm CurrentUTCFields()
{
    const time_t now = time(nullptr);
    struct tm fields = {};
    gmtime_r(&now, &fields);
    return fields;
}

struct tm EpochFields()
{
    struct tm fields = {};
    fields.tm_year = 70;
    fields.tm_mday = 1;
    return fields;
}

bool IsLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) // month 0-11
{
    static const int s_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 1 && IsLeap(year) ? 29 : s_days[month];
}

template <typename TString> void TrimString(TString& str)
{
    auto isSpace = [](typename TString::value_type c) { return c == ' ' || (c >= 9 && c <= 13); };
    size_t first = 0;
    while (first < str.size() && isSpace(str[first]))
        ++first;
    size_t last = str.size();
    while (last > first && isSpace(str[last - 1]))
        --last;
    str = str.substr(first, last - first);
}

template <typename TString> void MapCase(TString& str, bool bUpper)
{
    for (auto& c : str)
    {
        if (bUpper && c >= 'a' && c <= 'z')
            c = static_cast<typename TString::value_type>(c - 'a' + 'A');
        else if (!bUpper && c >= 'A' && c <= 'Z')
            c = static_cast<typename TString::value_type>(c - 'A' + 'a');
    }
}

template <typename TString> TString Piece(const TString& str, uint32_t start, uint32_t length)
{
    return start >= str.size() ? TString() : str.substr(start, length);
}

std::u16string Widen(const std::string& str)
{
    std::u16string out;
    out.reserve(str.size());
    for (unsigned char c : str)
        out += static_cast<char16_t>(c);
    return out;
}

bool IsStringType(uint32_t dwType)
{
    return dwType == KZ_VALUE_STRING || dwType == KZ_VALUE_USTRING;
}
} // namespace

const char* const CKZValue::sm_pszValueTypeNames[KZ_VALUE_TYPE_COUNT + 1] = {
    "unknown", "int",        "uint",  "float", "string", "ustring",   "vector2", "vector2i", "vector3", "vector4",
    "quaternion", "color",   "date",  "time",  "date_time", "bool",   "uint16",  "uint8",    nullptr};

const CKZValue::STypeLookup CKZValue::sm_TypeLookup[KZ_VALUE_TYPE_COUNT] = {
    {KZ_VALUE_UNKNOWN, "unknown"}, {KZ_VALUE_INT, "int"},         {KZ_VALUE_UINT, "uint"},
    {KZ_VALUE_FLOAT, "float"},     {KZ_VALUE_STRING, "string"},   {KZ_VALUE_USTRING, "ustring"},
    {KZ_VALUE_VECTOR2, "vector2"}, {KZ_VALUE_VECTOR2I, "vector2i"}, {KZ_VALUE_VECTOR3, "vector3"},
    {KZ_VALUE_VECTOR4, "vector4"}, {KZ_VALUE_QUATERNION, "quaternion"}, {KZ_VALUE_COLOR, "color"},
    {KZ_VALUE_DATE, "date"},       {KZ_VALUE_TIME, "time"},       {KZ_VALUE_DATE_TIME, "date_time"},
    {KZ_VALUE_BOOL, "bool"},       {KZ_VALUE_UINT16, "uint16"},   {KZ_VALUE_UINT8, "uint8"}};

// Sets the changed flag when an operation on a value that tracks changes altered its bytes.
class CKZValue::CChangeGuard
{
public:
    explicit CChangeGuard(CKZValue& value) : m_value(value), m_bTrack((value.m_dwFlags & FLAG_TRACK_CHANGES) != 0)
    {
        if (m_bTrack && value.m_pData)
            m_vecBefore.assign(value.m_pData, value.m_pData + value.m_dwSize);
    }
    ~CChangeGuard()
    {
        if (!m_bTrack)
            return;
        const bool bSame = m_value.m_pData && m_vecBefore.size() == m_value.m_dwSize &&
                           (m_vecBefore.empty() || memcmp(m_vecBefore.data(), m_value.m_pData, m_value.m_dwSize) == 0);
        if (!bSame)
            m_value.m_dwFlags |= FLAG_CHANGED;
    }

private:
    CKZValue& m_value;
    bool m_bTrack;
    std::vector<uint8_t> m_vecBefore;
};

// ---- construction ----

CKZValue::CKZValue() = default;

CKZValue::CKZValue(int value) { Create(&value, 4, KZ_VALUE_INT); }
CKZValue::CKZValue(unsigned int value) { Create(&value, 4, KZ_VALUE_UINT); }
CKZValue::CKZValue(uint16_t value) { Create(&value, 2, KZ_VALUE_UINT16); }
CKZValue::CKZValue(uint8_t value) { Create(&value, 1, KZ_VALUE_UINT8); }
CKZValue::CKZValue(float value) { Create(&value, 4, KZ_VALUE_FLOAT); }
CKZValue::CKZValue(double value) : CKZValue(static_cast<float>(value)) {}
CKZValue::CKZValue(bool value)
{
    const uint8_t byte = value ? 1 : 0;
    Create(&byte, 1, KZ_VALUE_BOOL);
}
CKZValue::CKZValue(long seconds)
{
    const int64_t value = seconds;
    Create(&value, 8, KZ_VALUE_DATE_TIME);
}
CKZValue::CKZValue(const char* szText)
{
    if (!szText)
    {
        ReportNoData("CKZValue", __LINE__);
        return;
    }
    Create(szText, static_cast<uint32_t>(strlen(szText) + 1), KZ_VALUE_STRING);
}
CKZValue::CKZValue(const std::string& strText)
{
    Create(strText.c_str(), static_cast<uint32_t>(strText.size() + 1), KZ_VALUE_STRING);
}
CKZValue::CKZValue(const KZWChar* szText)
{
    if (!szText)
    {
        ReportNoData("CKZValue", __LINE__);
        return;
    }
    Create(szText, static_cast<uint32_t>(2 * KZWCStrLen(szText) + 2), KZ_VALUE_USTRING);
}
CKZValue::CKZValue(const CKZVector2& value) { Create(&value, 8, KZ_VALUE_VECTOR2); }
CKZValue::CKZValue(const CKZVector3& value) { Create(&value, 12, KZ_VALUE_VECTOR3); }
CKZValue::CKZValue(const CKZVector4& value) { Create(&value, 16, KZ_VALUE_VECTOR4); }
CKZValue::CKZValue(const CKZQuaternion& value) { Create(&value, 16, KZ_VALUE_QUATERNION); }
CKZValue::CKZValue(const CKZColor& value) { Create(&value, 16, KZ_VALUE_COLOR); }

CKZValue::CKZValue(KZ_VALUE_TYPE type, uint32_t dwDisplayFormat, uint32_t dwFlags, int32_t iCodePage, uint32_t dwSize)
{
    m_dwType = type;
    m_dwDisplayFormat = dwDisplayFormat;
    m_dwFlags = dwFlags;
    m_iCodePage = iCodePage;
    if (dwSize == 0xFFFFFFFF && (IsStringType(type) || !SizeFromType(dwSize, type)))
        return;
    Create(nullptr, dwSize, type, dwDisplayFormat, dwFlags);
}

CKZValue::CKZValue(const char* szText, KZ_VALUE_TYPE type)
{
    SetType(type);
    *this = szText;
}

CKZValue::CKZValue(int year, int month, int day, int hour, int minute, int second, int iDaylightSaving)
{
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = iDaylightSaving;
    const int64_t seconds = static_cast<int64_t>(mktime(&fields));
    Create(&seconds, 8, KZ_VALUE_DATE_TIME);
}

CKZValue::CKZValue(const CKZValue& other)
{
    Create(other.m_pData, other.m_pData ? other.m_dwSize : 0, other.GetType(), other.m_dwDisplayFormat, 0);
    if (!other.m_pData)
    {
        Free();
        m_dwType = other.m_dwType;
    }
}

CKZValue::~CKZValue()
{
    Free();
    KZFree(m_pTextBuffer);
}

void CKZValue::Free()
{
    if (m_bOwnsData)
        KZFree(m_pData);
    m_pData = nullptr;
    m_dwSize = 0;
    m_bOwnsData = false;
}

void CKZValue::Create(const void* pData, uint32_t dwSize, KZ_VALUE_TYPE type, uint32_t dwDisplayFormat, uint32_t dwFlags)
{
    // The source may be this value's own bytes.
    uint8_t* pNew = static_cast<uint8_t*>(KZMalloc(dwSize ? dwSize : 1));
    if (!pNew)
    {
        ReportNoData("Create", __LINE__);
        return;
    }
    if (pData)
        memcpy(pNew, pData, dwSize);
    else
        memset(pNew, 0, dwSize);
    Free();
    m_pData = pNew;
    m_dwSize = dwSize;
    m_bOwnsData = true;
    m_dwType = type;
    m_dwDisplayFormat = dwDisplayFormat;
    m_dwFlags = dwFlags;
}

void CKZValue::SetType(KZ_VALUE_TYPE type, uint32_t dwDisplayFormat, int32_t iCodePage, uint32_t dwSize)
{
    m_dwDisplayFormat = dwDisplayFormat;
    m_iCodePage = iCodePage;
    if (type == m_dwType && m_pData)
        return;
    uint32_t dwNewSize = 0;
    if (type == KZ_VALUE_STRING)
        dwNewSize = std::max<uint32_t>(dwSize, 1); // room for the terminator at least
    else if (type == KZ_VALUE_USTRING)
        dwNewSize = std::max<uint32_t>(dwSize, 2);
    else if (!SizeFromType(dwNewSize, type))
        dwNewSize = dwSize ? dwSize : 8;
    const uint32_t dwFlags = m_dwFlags;
    Create(nullptr, dwNewSize, type, dwDisplayFormat, dwFlags);
}

void CKZValue::SetData(const void* pData, KZ_VALUE_TYPE type, uint32_t dwDisplayFormat, uint32_t dwFlags, uint32_t dwSize)
{
    Free();
    m_dwType = type;
    m_dwDisplayFormat = dwDisplayFormat;
    m_dwFlags = dwFlags;
    if (dwSize == 0 && pData)
        SizeFromType(dwSize, type, pData);
    if (pData && dwSize == 0)
        KZ_REPORT_EVENT(s_recordSetDataSize, "%s", "");
    m_pData = static_cast<uint8_t*>(const_cast<void*>(pData));
    m_dwSize = pData ? dwSize : 0;
    m_bOwnsData = false;
}

bool CKZValue::SizeFromType(uint32_t& dwSize, KZ_VALUE_TYPE type, const void* pData)
{
    switch (type)
    {
    case KZ_VALUE_INT:
    case KZ_VALUE_UINT:
    case KZ_VALUE_FLOAT: dwSize = 4; return true;
    case KZ_VALUE_VECTOR2:
    case KZ_VALUE_DATE:
    case KZ_VALUE_TIME:
    case KZ_VALUE_DATE_TIME: dwSize = 8; return true;
    case KZ_VALUE_VECTOR3: dwSize = 12; return true;
    case KZ_VALUE_VECTOR4:
    case KZ_VALUE_QUATERNION:
    case KZ_VALUE_COLOR: dwSize = 16; return true;
    case KZ_VALUE_BOOL:
    case KZ_VALUE_UINT8: dwSize = 1; return true;
    case KZ_VALUE_UINT16: dwSize = 2; return true;
    case KZ_VALUE_STRING:
        if (!pData)
            return false;
        dwSize = static_cast<uint32_t>(strlen(static_cast<const char*>(pData)) + 1);
        return true;
    case KZ_VALUE_USTRING:
    {
        if (!pData)
            return false;
        // Unit by unit with memcpy: the text may be unaligned.
        const uint8_t* p = static_cast<const uint8_t*>(pData);
        uint32_t units = 0;
        for (;; ++units)
        {
            uint16_t unit;
            memcpy(&unit, p + 2 * units, 2);
            if (!unit)
                break;
        }
        dwSize = 2 * units + 2;
        return true;
    }
    default: dwSize = 0; return false;
    }
}

uint32_t CKZValue::ValueTypeFromStr(const char* szName)
{
    if (!szName)
        return KZ_VALUE_UNKNOWN;
    for (const STypeLookup& entry : sm_TypeLookup)
        if (strcmp(entry.name, szName) == 0)
            return entry.type;
    return KZ_VALUE_UNKNOWN;
}

// ---- raw access ----

// Reads the first bytes as a T; bytes the value does not have read as zero. memcpy, because a
// borrowed buffer can sit at any address.
template <typename T> T CKZValue::Read() const
{
    T value{};
    if (m_pData)
        memcpy(&value, m_pData, std::min<size_t>(sizeof(T), m_dwSize));
    return value;
}

// Makes the value own at least dwSize writable bytes, keeping its bytes (a borrowed value is
// copied first, so the caller's bytes are never changed).
bool CKZValue::IsOwnedWritable(uint32_t dwSize)
{
    if (m_bOwnsData && m_dwSize >= dwSize)
        return true;
    const uint32_t dwNewSize = std::max(dwSize, m_dwSize);
    uint8_t* pNew = static_cast<uint8_t*>(KZCAlloc(dwNewSize ? dwNewSize : 1, 1));
    if (!pNew)
    {
        ReportNoData("IsOwnedWritable", __LINE__);
        return false;
    }
    if (m_pData)
        memcpy(pNew, m_pData, m_dwSize);
    const uint32_t dwType = m_dwType;
    Free();
    m_dwType = dwType;
    m_pData = pNew;
    m_dwSize = dwNewSize;
    m_bOwnsData = true;
    return true;
}

template <typename T> void CKZValue::Write(const T& value)
{
    if (IsOwnedWritable(sizeof(T)))
        memcpy(m_pData, &value, sizeof(T));
}

// Exactly dwSize owned bytes, the first ones kept.
void CKZValue::Resize(uint32_t dwSize)
{
    if (!IsOwnedWritable(0))
        return;
    uint8_t* pNew = static_cast<uint8_t*>(KZReAlloc(m_pData, dwSize ? dwSize : 1));
    if (!pNew)
    {
        ReportNoData("Resize", __LINE__);
        return;
    }
    if (dwSize > m_dwSize)
        memset(pNew + m_dwSize, 0, dwSize - m_dwSize);
    m_pData = pNew;
    m_dwSize = dwSize;
}

uint32_t CKZValue::CodePage() const
{
    return m_iCodePage == -1 ? kUTF8 : static_cast<uint32_t>(m_iCodePage);
}

char* CKZValue::TextBuffer(size_t size) const
{
    size = std::max<size_t>(size, kMinTextBuffer);
    if (size > m_dwTextBufferSize)
    {
        char* pNew = static_cast<char*>(KZReAlloc(m_pTextBuffer, size));
        if (!pNew)
        {
            ReportNoData("TextBuffer", __LINE__);
            return nullptr;
        }
        m_pTextBuffer = pNew;
        m_dwTextBufferSize = static_cast<uint32_t>(size);
    }
    return m_pTextBuffer;
}

// The bytes of a string value up to its terminator or its end, whichever comes first.
std::string CKZValue::NarrowString() const
{
    if (!m_pData)
        return std::string();
    const char* p = reinterpret_cast<const char*>(m_pData);
    return std::string(p, strnlen(p, m_dwSize));
}

std::u16string CKZValue::WideString() const
{
    std::u16string out;
    if (!m_pData)
        return out;
    for (uint32_t i = 0; i + 1 < m_dwSize; i += 2)
    {
        char16_t unit;
        memcpy(&unit, m_pData + i, 2);
        if (!unit)
            break;
        out += unit;
    }
    return out;
}

// ---- text ----

std::string CKZValue::TextOf() const
{
    if (!m_pData || m_dwType == KZ_VALUE_UNKNOWN)
        return std::string();
    switch (m_dwType)
    {
    case KZ_VALUE_INT:
    case KZ_VALUE_UINT: return KZStringFormat("%d", Read<int32_t>());
    case KZ_VALUE_FLOAT:
    {
        const double value = Read<float>();
        switch (m_dwDisplayFormat)
        {
        case FORMAT_METRES: return KZStringFormat("%.2g m", value);
        case FORMAT_PERCENT: return KZStringFormat("%.2g %%", value * 100);
        case FORMAT_DEGREES: return KZStringFormat("%.2g %c", value * kRadToDeg, 176);
        case FORMAT_SPEED: return KZStringFormat("%.2g m/s", value);
        case FORMAT_ANGULAR_SPEED: return KZStringFormat("%.2g %c/s", value * kRadToDeg, 176);
        // "%.0g" would write 128 as "1e+02"; a byte is written whole.
        case FORMAT_BYTE: return KZStringFormat("%.0f", value * 255);
        case FORMAT_PRECISE: return KZStringFormat("%.11g", value);
        default: return KZStringFormat("%.2g", value);
        }
    }
    case KZ_VALUE_STRING: return NarrowString();
    case KZ_VALUE_USTRING:
    {
        const std::u16string strWide = WideString();
        std::vector<char> vecOut(4 * strWide.size() + 1);
        WCharToChar(strWide.c_str(), vecOut.data(), vecOut.size(), CodePage());
        return vecOut.data();
    }
    case KZ_VALUE_VECTOR2:
    case KZ_VALUE_VECTOR3:
    case KZ_VALUE_VECTOR4:
    case KZ_VALUE_QUATERNION:
    {
        const int count = m_dwType == KZ_VALUE_VECTOR2 ? 2 : m_dwType == KZ_VALUE_VECTOR3 ? 3 : 4;
        const CKZVector4 v = Read<CKZVector4>();
        const float components[4] = {v.x, v.y, v.z, v.w};
        std::string strOut;
        for (int i = 0; i < count; ++i)
        {
            if (i)
                strOut += ',';
            strOut += m_dwDisplayFormat == FORMAT_INTEGER
                          ? KZStringFormat("%d", Wrap32(TruncateToInt64(std::floor(static_cast<double>(components[i])))))
                          : KZStringFormat("%.11g", static_cast<double>(components[i]));
        }
        return strOut;
    }
    case KZ_VALUE_DATE:
    case KZ_VALUE_TIME:
    case KZ_VALUE_DATE_TIME:
    {
        struct tm fields;
        char szText[64] = "";
        if (BreakDown(fields))
            strftime(szText, sizeof(szText),
                     m_dwType == KZ_VALUE_DATE   ? "%Y-%m-%d"
                     : m_dwType == KZ_VALUE_TIME ? "%H:%M:%S"
                                                 : "%Y-%m-%d %H:%M:%S",
                     &fields);
        return szText;
    }
    case KZ_VALUE_BOOL: return Read<uint8_t>() ? "true" : "false";
    case KZ_VALUE_UINT16: return KZStringFormat("%hu", Read<uint16_t>());
    case KZ_VALUE_UINT8: return KZStringFormat("%hhu", Read<uint8_t>());
    default: return std::string(); // color and vector2i have no text form
    }
}

const char* CKZValue::ConstChar() const
{
    // A string's own bytes serve when they are terminated within the value.
    if (m_dwType == KZ_VALUE_STRING && m_pData && memchr(m_pData, 0, m_dwSize))
        return reinterpret_cast<const char*>(m_pData);
    const std::string strText = TextOf();
    char* pBuffer = TextBuffer(strText.size() + 1);
    if (!pBuffer)
        return "";
    memcpy(pBuffer, strText.c_str(), strText.size() + 1);
    return pBuffer;
}

const KZWChar* CKZValue::ConstWChar() const
{
    std::u16string strWide;
    if (m_dwType == KZ_VALUE_USTRING)
        strWide = WideString();
    else
    {
        const std::string strText = TextOf();
        std::vector<KZWChar> vecWide(strText.size() + 1);
        CharToWChar(strText.c_str(), vecWide.data(), vecWide.size(), CodePage());
        strWide = vecWide.data();
    }
    // The buffer comes from malloc, so it is aligned for 16-bit units.
    char* pBuffer = TextBuffer(2 * strWide.size() + 2);
    if (!pBuffer)
        return u"";
    memcpy(pBuffer, strWide.c_str(), 2 * strWide.size() + 2);
    return reinterpret_cast<const KZWChar*>(pBuffer);
}

// ---- conversions ----

int64_t CKZValue::ToInt64() const
{
    if (!m_pData)
        return 0;
    switch (m_dwType)
    {
    case KZ_VALUE_INT: return Read<int32_t>();
    case KZ_VALUE_UINT: return Read<uint32_t>();
    case KZ_VALUE_FLOAT: return TruncateToInt64(Read<float>());
    case KZ_VALUE_STRING: return strtoll(NarrowString().c_str(), nullptr, 10);
    case KZ_VALUE_USTRING:
    {
        const std::u16string strWide = WideString();
        return KZWCStrToInt(strWide.c_str(), nullptr, 0);
    }
    case KZ_VALUE_DATE:
    case KZ_VALUE_TIME:
    case KZ_VALUE_DATE_TIME: return Read<int64_t>();
    case KZ_VALUE_BOOL:
    case KZ_VALUE_UINT8: return Read<uint8_t>();
    case KZ_VALUE_UINT16: return Read<uint16_t>();
    default: return 0;
    }
}

double CKZValue::ToDouble() const
{
    if (!m_pData)
        return 0;
    switch (m_dwType)
    {
    case KZ_VALUE_FLOAT: return Read<float>();
    case KZ_VALUE_STRING: return atof(NarrowString().c_str());
    case KZ_VALUE_USTRING:
    {
        const std::u16string strWide = WideString();
        return KZWCStrToFloat(strWide.c_str());
    }
    default: return static_cast<double>(ToInt64());
    }
}

CKZValue::operator int() const { return Wrap32(ToInt64()); }
CKZValue::operator unsigned int() const { return static_cast<uint32_t>(static_cast<uint64_t>(ToInt64())); }
CKZValue::operator float() const { return static_cast<float>(ToDouble()); }
CKZValue::operator long() const { return static_cast<long>(ToInt64()); }
CKZValue::operator unsigned char() const { return static_cast<unsigned char>(static_cast<uint64_t>(ToInt64())); }
CKZValue::operator unsigned short() const { return static_cast<unsigned short>(static_cast<uint64_t>(ToInt64())); }

CKZValue::operator bool() const
{
    if (!m_pData)
        return false;
    switch (m_dwType)
    {
    case KZ_VALUE_INT:
    case KZ_VALUE_UINT: return Read<uint32_t>() != 0;
    case KZ_VALUE_FLOAT: return Read<float>() != 0;
    case KZ_VALUE_BOOL:
    case KZ_VALUE_UINT8: return Read<uint8_t>() != 0;
    case KZ_VALUE_UINT16: return Read<uint16_t>() != 0;
    case KZ_VALUE_STRING:
    case KZ_VALUE_USTRING:
    {
        const std::string strText = TextOf();
        return strText.compare(0, 4, "true") == 0 || strText == "1";
    }
    default:
        KZ_ERROR(s_szFile, "Calling bool operator on invalid type!");
        return false;
    }
}

template <typename TVector> TVector CKZValue::ToVector() const
{
    // Components a text or a shorter value does not give are 0.
    TVector result;
    float* pComponents = reinterpret_cast<float*>(&result);
    const int count = static_cast<int>(sizeof(TVector) / sizeof(float));
    std::fill(pComponents, pComponents + count, 0.0f);
    switch (m_dwType)
    {
    case KZ_VALUE_VECTOR2:
    case KZ_VALUE_VECTOR3:
    case KZ_VALUE_VECTOR4:
    case KZ_VALUE_QUATERNION:
    case KZ_VALUE_COLOR:
        if (m_pData)
            memcpy(pComponents, m_pData, std::min<size_t>(sizeof(TVector), m_dwSize));
        break;
    case KZ_VALUE_STRING:
    case KZ_VALUE_USTRING: ParseFloats(TextOf(), pComponents, count); break;
    default: break;
    }
    return result;
}

CKZValue::operator CKZVector2() const { return ToVector<CKZVector2>(); }
CKZValue::operator CKZVector3() const { return ToVector<CKZVector3>(); }
CKZValue::operator CKZVector4() const { return ToVector<CKZVector4>(); }
CKZValue::operator CKZQuaternion() const { return ToVector<CKZQuaternion>(); }

// ---- assignment ----

void CKZValue::AssignText(const std::string& strText)
{
    // Exactly the text and its terminator: a shorter text leaves no bytes of a longer one.
    Resize(static_cast<uint32_t>(strText.size() + 1));
    if (m_pData && m_dwSize == strText.size() + 1)
        memcpy(m_pData, strText.c_str(), strText.size() + 1);
}

void CKZValue::AssignWideText(const std::u16string& strText)
{
    Resize(static_cast<uint32_t>(2 * strText.size() + 2));
    if (m_pData && m_dwSize == 2 * strText.size() + 2)
        memcpy(m_pData, strText.c_str(), 2 * strText.size() + 2);
}

void CKZValue::AssignFrom(const CKZValue& other)
{
    if (&other == this)
        return;
    if (!m_pData)
    {
        const uint32_t dwFlags = m_dwFlags;
        Create(other.m_pData, other.m_pData ? other.m_dwSize : 0, other.GetType(), other.m_dwDisplayFormat, dwFlags);
        if (!other.m_pData)
            Free();
        return;
    }
    switch (m_dwType)
    {
    case KZ_VALUE_INT:
    case KZ_VALUE_UINT: Write(static_cast<int32_t>(other)); break;
    case KZ_VALUE_UINT16: Write(static_cast<uint16_t>(static_cast<unsigned short>(other))); break;
    case KZ_VALUE_UINT8: Write(static_cast<uint8_t>(static_cast<unsigned char>(other))); break;
    case KZ_VALUE_FLOAT: Write(static_cast<float>(other)); break;
    case KZ_VALUE_STRING:
        AssignText(other.TextOf());
        m_iCodePage = other.m_iCodePage;
        break;
    case KZ_VALUE_USTRING:
        if (other.m_dwType == KZ_VALUE_USTRING)
            AssignWideText(other.WideString());
        else
            AssignWideText(other.ConstWChar());
        break;
    case KZ_VALUE_VECTOR2: Write(static_cast<CKZVector2>(other)); break;
    case KZ_VALUE_VECTOR3: Write(static_cast<CKZVector3>(other)); break;
    case KZ_VALUE_VECTOR4: Write(static_cast<CKZVector4>(other)); break;
    case KZ_VALUE_QUATERNION: Write(static_cast<CKZQuaternion>(other)); break;
    case KZ_VALUE_COLOR:
        if (other.m_dwType == KZ_VALUE_COLOR || other.m_dwType == KZ_VALUE_VECTOR4)
            Write(other.ToVector<CKZColor>());
        break;
    case KZ_VALUE_DATE:
    case KZ_VALUE_TIME:
    case KZ_VALUE_DATE_TIME:
        if (IsStringType(other.m_dwType))
            // A time of day alone keeps to the first day, so a time value is its time and nothing else.
            SetSeconds(ParseDateTime(other.TextOf(), m_dwType == KZ_VALUE_TIME ? EpochFields() : CurrentUTCFields()));
        else
            SetSeconds(other.m_dwType == KZ_VALUE_FLOAT ? TruncateToInt64(other.ToDouble()) : other.ToInt64());
        break;
    case KZ_VALUE_BOOL: Write(static_cast<uint8_t>(static_cast<bool>(other) ? 1 : 0)); break;
    default: break;
    }
}

CKZValue& CKZValue::operator=(const CKZValue& other)
{
    CChangeGuard guard(*this);
    AssignFrom(other);
    return *this;
}

CKZValue& CKZValue::operator=(const char* szText)
{
    if (!szText)
    {
        ReportNoData("operator=", __LINE__);
        return *this;
    }
    return *this = CKZValue(szText);
}

CKZValue& CKZValue::operator=(const struct tm& time)
{
    return *this = KZStringFormat("%04d-%02d-%02d %02d:%02d:%02d", time.tm_year + 1900, time.tm_mon + 1, time.tm_mday,
                          time.tm_hour, time.tm_min, time.tm_sec);
}

int64_t CKZValue::DateTimeStringToTime(const char* szText)
{
    return ParseDateTime(szText ? szText : "", CurrentUTCFields());
}

// ---- arithmetic ----

static void ReportUnsupported(char op)
{
    static const CKZLog::SEventRecord s_records[4] = {
        {s_szFile, "operator+=", "", CKZLog::EVENT_ERROR, 0, __LINE__},
        {s_szFile, "operator-=", "", CKZLog::EVENT_ERROR, 0, __LINE__},
        {s_szFile, "operator*=", "", CKZLog::EVENT_ERROR, 0, __LINE__},
        {s_szFile, "operator/=", "", CKZLog::EVENT_ERROR, 0, __LINE__}};
    const int index = op == '+' ? 0 : op == '-' ? 1 : op == '*' ? 2 : 3;
    KZ_REPORT_EVENT(s_records[index], "Operation %c= not supported on this type!", op);
}

// An integer division by zero is refused: the value stays as it was.
static bool IsDivisionByZero(char op, int64_t divisor)
{
    if (op != '/' || divisor != 0)
        return false;
    KZ_ERROR(s_szFile, "Division by zero!");
    return true;
}

template <typename F> CKZValue& CKZValue::Arithmetic(const CKZValue& other, char op, F apply)
{
    CChangeGuard guard(*this);
    if (!m_pData)
    {
        ReportUnsupported(op);
        return *this;
    }
    switch (m_dwType)
    {
    case KZ_VALUE_INT:
    {
        const int32_t b = static_cast<int32_t>(other);
        if (IsDivisionByZero(op, b))
            break;
        // In 64 bits, then wrapped: no signed overflow, and INT_MIN / -1 is well defined.
        Write(Wrap32(apply(int64_t(Read<int32_t>()), int64_t(b))));
        break;
    }
    case KZ_VALUE_UINT:
    {
        const uint32_t b = static_cast<uint32_t>(other);
        if (IsDivisionByZero(op, b))
            break;
        Write(static_cast<uint32_t>(apply(uint64_t(Read<uint32_t>()), uint64_t(b))));
        break;
    }
    case KZ_VALUE_FLOAT: Write(static_cast<float>(apply(double(Read<float>()), double(float(other))))); break;
    case KZ_VALUE_VECTOR2:
    case KZ_VALUE_VECTOR3:
    case KZ_VALUE_VECTOR4:
    case KZ_VALUE_QUATERNION:
    {
        const int count = m_dwType == KZ_VALUE_VECTOR2 ? 2 : m_dwType == KZ_VALUE_VECTOR3 ? 3 : 4;
        float a[4], b[4];
        const CKZVector4 va = Read<CKZVector4>(), vb = other.ToVector<CKZVector4>();
        memcpy(a, &va, sizeof(a));
        memcpy(b, &vb, sizeof(b));
        // A number works on every component; anything else is read as a vector.
        const bool bScalar = !IsStringType(other.m_dwType) && other.m_dwType != KZ_VALUE_VECTOR2 &&
                             other.m_dwType != KZ_VALUE_VECTOR3 && other.m_dwType != KZ_VALUE_VECTOR4 &&
                             other.m_dwType != KZ_VALUE_QUATERNION && other.m_dwType != KZ_VALUE_COLOR;
        if (bScalar)
            std::fill(b, b + 4, float(other));
        for (int i = 0; i < count; ++i)
            a[i] = static_cast<float>(apply(double(a[i]), double(b[i])));
        if (IsOwnedWritable(static_cast<uint32_t>(4 * count)))
            memcpy(m_pData, a, static_cast<size_t>(4 * count));
        break;
    }
    case KZ_VALUE_STRING:
        if (op != '+')
        {
            ReportUnsupported(op);
            break;
        }
        AssignText(NarrowString() + other.TextOf());
        break;
    case KZ_VALUE_USTRING:
        if (op != '+')
        {
            ReportUnsupported(op);
            break;
        }
        AssignWideText(WideString() + std::u16string(other.ConstWChar()));
        break;
    default: ReportUnsupported(op); break;
    }
    return *this;
}

CKZValue& CKZValue::operator+=(const CKZValue& other)
{
    return Arithmetic(other, '+', [](auto a, auto b) { return a + b; });
}
CKZValue& CKZValue::operator-=(const CKZValue& other)
{
    return Arithmetic(other, '-', [](auto a, auto b) { return a - b; });
}
CKZValue& CKZValue::operator*=(const CKZValue& other)
{
    return Arithmetic(other, '*', [](auto a, auto b) { return a * b; });
}
CKZValue& CKZValue::operator/=(const CKZValue& other)
{
    return Arithmetic(other, '/', [](auto a, auto b) {
        using T = decltype(a);
        if constexpr (std::is_integral<T>::value)
        {
            if (b == 0)
                return a;
            if constexpr (std::is_signed<T>::value)
                if (b == -1)
                    return T(0) - a;
        }
        return a / b;
    });
}

// ---- comparison ----

int CKZValue::Compare(const CKZValue& other) const
{
    if (!m_pData || !other.m_pData)
        return (m_pData ? 1 : 0) - (other.m_pData ? 1 : 0);
    auto order = [](auto a, auto b) { return a < b ? -1 : b < a ? 1 : 0; };
    switch (m_dwType)
    {
    case KZ_VALUE_INT:
    case KZ_VALUE_UINT:
    case KZ_VALUE_UINT16:
    case KZ_VALUE_UINT8:
    case KZ_VALUE_FLOAT:
        // Numbers compare by their values, with fractions when either side may have one.
        if (m_dwType == KZ_VALUE_FLOAT || other.m_dwType == KZ_VALUE_FLOAT || IsStringType(other.m_dwType))
            return order(ToDouble(), other.ToDouble());
        return order(ToInt64(), other.ToInt64());
    case KZ_VALUE_BOOL: return order(bool(*this), bool(other));
    case KZ_VALUE_DATE:
    case KZ_VALUE_TIME:
    case KZ_VALUE_DATE_TIME:
    {
        CKZValue converted(GetType());
        converted = other;
        return order(GetSeconds(), converted.GetSeconds());
    }
    case KZ_VALUE_STRING: return order(NarrowString(), other.TextOf());
    case KZ_VALUE_USTRING:
        return order(WideString(), other.m_dwType == KZ_VALUE_USTRING ? other.WideString()
                                                                      : std::u16string(other.ConstWChar()));
    case KZ_VALUE_VECTOR2:
    case KZ_VALUE_VECTOR3:
    case KZ_VALUE_VECTOR4:
    case KZ_VALUE_QUATERNION:
    case KZ_VALUE_COLOR:
    {
        // Component by component, the first difference decides.
        const int count = static_cast<int>(std::min<uint32_t>(m_dwSize, 16) / 4);
        const CKZVector4 va = ToVector<CKZVector4>(), vb = other.ToVector<CKZVector4>();
        float pa[4], pb[4];
        memcpy(pa, &va, sizeof(pa));
        memcpy(pb, &vb, sizeof(pb));
        for (int i = 0; i < count; ++i)
            if (int result = order(pa[i], pb[i]))
                return result;
        return 0;
    }
    default:
    {
        // Types without a meaning of their own compare by their bytes.
        const uint32_t dwSize = std::min(m_dwSize, other.m_dwSize);
        if (int result = memcmp(m_pData, other.m_pData, dwSize))
            return result < 0 ? -1 : 1;
        return order(m_dwSize, other.m_dwSize);
    }
    }
}

// ---- date and time ----

bool CKZValue::IsDateType() const
{
    return m_pData && (m_dwType == KZ_VALUE_DATE || m_dwType == KZ_VALUE_TIME || m_dwType == KZ_VALUE_DATE_TIME);
}

int64_t CKZValue::GetSeconds() const
{
    return IsDateType() ? Read<int64_t>() : 0;
}

void CKZValue::SetSeconds(int64_t seconds)
{
    Write(seconds);
}

bool CKZValue::BreakDown(struct tm& fields) const
{
    if (!IsDateType())
        return false;
    const time_t seconds = static_cast<time_t>(Read<int64_t>());
    return gmtime_r(&seconds, &fields) != nullptr;
}

int CKZValue::GetYear() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_TIME && BreakDown(fields) ? fields.tm_year + 1900 : 0;
}
int CKZValue::GetMonth() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_TIME && BreakDown(fields) ? fields.tm_mon + 1 : 0;
}
int CKZValue::GetDay() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_TIME && BreakDown(fields) ? fields.tm_mday : 0;
}
int CKZValue::GetDayOfWeek() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_TIME && BreakDown(fields) ? fields.tm_wday : 0;
}
int CKZValue::GetDaysInMonth() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_TIME && BreakDown(fields) ? DaysInMonth(fields.tm_year + 1900, fields.tm_mon) : 0;
}
// A time value has hours, minutes and seconds as much as a date_time has.
int CKZValue::GetHour() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_DATE && BreakDown(fields) ? fields.tm_hour : -1;
}
int CKZValue::GetMinute() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_DATE && BreakDown(fields) ? fields.tm_min : -1;
}
int CKZValue::GetSecond() const
{
    struct tm fields;
    return m_dwType != KZ_VALUE_DATE && BreakDown(fields) ? fields.tm_sec : -1;
}

// Calendar steps: a day of the month that the new month lacks becomes its last day.
void CKZValue::AddCalendar(int years, int months, int days)
{
    struct tm fields;
    if (!BreakDown(fields))
        return;
    CChangeGuard guard(*this);
    if (years || months)
    {
        const int64_t monthIndex = int64_t(fields.tm_year) * 12 + fields.tm_mon + int64_t(years) * 12 + months;
        int64_t year = monthIndex / 12, month = monthIndex % 12;
        if (month < 0)
            month += 12, --year;
        if (year < INT_MIN / 2 || year > INT_MAX / 2)
            return;
        fields.tm_year = static_cast<int>(year);
        fields.tm_mon = static_cast<int>(month);
        fields.tm_mday = std::min(fields.tm_mday, DaysInMonth(fields.tm_year + 1900, fields.tm_mon));
    }
    fields.tm_isdst = 0;
    SetSeconds(KZPlatform::TimeGm(&fields) + int64_t(days) * 86400);
}

void CKZValue::SetDay(int day)
{
    struct tm fields;
    if (!BreakDown(fields))
        return;
    CChangeGuard guard(*this);
    fields.tm_mday = day;
    fields.tm_isdst = 0;
    SetSeconds(KZPlatform::TimeGm(&fields));
}

void CKZValue::AddYears(int count) { AddCalendar(count, 0, 0); }
void CKZValue::AddMonths(int count) { AddCalendar(0, count, 0); }
void CKZValue::AddDays(int count) { AddCalendar(0, 0, count); }
void CKZValue::AddHours(int count) { AddSeconds(int64_t(count) * 3600); }
void CKZValue::AddMinutes(int count) { AddSeconds(int64_t(count) * 60); }
void CKZValue::AddSeconds(int64_t count)
{
    if (!IsDateType())
        return;
    CChangeGuard guard(*this);
    SetSeconds(static_cast<int64_t>(static_cast<uint64_t>(GetSeconds()) + static_cast<uint64_t>(count)));
}

int CKZValue::GetYearDifference(const CKZValue& other) const { return GetMonthDifference(other) / 12; }
int CKZValue::GetMonthDifference(const CKZValue& other) const
{
    struct tm a, b;
    if (!BreakDown(a) || !other.BreakDown(b))
        return 0;
    int months = (a.tm_year - b.tm_year) * 12 + (a.tm_mon - b.tm_mon);
    // A month is whole only when the later date has reached the earlier one's place in its month.
    const int64_t inMonthA = ((int64_t(a.tm_mday) * 24 + a.tm_hour) * 60 + a.tm_min) * 60 + a.tm_sec;
    const int64_t inMonthB = ((int64_t(b.tm_mday) * 24 + b.tm_hour) * 60 + b.tm_min) * 60 + b.tm_sec;
    if (months > 0 && inMonthA < inMonthB)
        --months;
    else if (months < 0 && inMonthA > inMonthB)
        ++months;
    return months;
}
int64_t CKZValue::GetDayDifference(const CKZValue& other) const { return GetSecondDifference(other) / 86400; }
int64_t CKZValue::GetHourDifference(const CKZValue& other) const { return GetSecondDifference(other) / 3600; }
int64_t CKZValue::GetMinuteDifference(const CKZValue& other) const { return GetSecondDifference(other) / 60; }
int64_t CKZValue::GetSecondDifference(const CKZValue& other) const
{
    return static_cast<int64_t>(static_cast<uint64_t>(GetSeconds()) - static_cast<uint64_t>(other.GetSeconds()));
}

void CKZValue::GetTimeDate(std::string& strOut) const
{
    struct tm fields;
    char szText[64] = "0000-00-00 00:00:00";
    if (m_dwType == KZ_VALUE_DATE_TIME && BreakDown(fields))
        strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S", &fields);
    strOut = szText;
}

void CKZValue::GetLocalTimeDate(std::string& strOut) const
{
    struct tm fields;
    char szText[64] = "0000-00-00 00:00:00";
    const time_t seconds = static_cast<time_t>(GetSeconds());
    if (m_dwType == KZ_VALUE_DATE_TIME && m_pData && localtime_r(&seconds, &fields))
        strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S", &fields);
    strOut = szText;
}

CKZValue CKZValue::GetCurrentDateTime()
{
    return CKZValue(static_cast<long>(time(nullptr)));
}

CKZValue CKZValue::GetCurrentLocalDateTime()
{
    const time_t now = time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    return CKZValue(static_cast<long>(now + local.tm_gmtoff));
}

// ---- strings ----

uint32_t CKZValue::GetStrLength() const
{
    if (m_dwType == KZ_VALUE_STRING)
        return static_cast<uint32_t>(NarrowString().size());
    if (m_dwType == KZ_VALUE_USTRING)
        return static_cast<uint32_t>(WideString().size());
    return 0;
}

void CKZValue::StringClamp(uint32_t dwMaxLength)
{
    CropString(0, dwMaxLength);
}

// Applies an edit to the text of a string or ustring value; other types are left alone.
template <typename F> void CKZValue::EditText(F edit)
{
    CChangeGuard guard(*this);
    if (m_dwType == KZ_VALUE_STRING)
    {
        std::string str = NarrowString();
        edit(str);
        AssignText(str);
    }
    else if (m_dwType == KZ_VALUE_USTRING)
    {
        std::u16string str = WideString();
        edit(str);
        AssignWideText(str);
    }
}

void CKZValue::CropString(uint32_t start, uint32_t length)
{
    EditText([&](auto& str) { str = Piece(str, start, length); });
}

void CKZValue::Replace(const char* szFrom, const char* szTo)
{
    if (!szFrom || !*szFrom || !szTo || !IsStringType(m_dwType))
        return;
    CChangeGuard guard(*this);
    auto replaceAll = [](auto str, const auto& from, const auto& to) {
        for (size_t at = str.find(from); at != decltype(str)::npos; at = str.find(from, at + to.size()))
            str.replace(at, from.size(), to);
        return str;
    };
    if (m_dwType == KZ_VALUE_STRING)
        AssignText(replaceAll(NarrowString(), std::string(szFrom), std::string(szTo)));
    else
        AssignWideText(replaceAll(WideString(), Widen(szFrom), Widen(szTo)));
}

void CKZValue::ReplaceChars(char from, char to)
{
    if (!from || !to)
        return; // a terminator in the middle would cut the text without its size knowing
    Replace(std::string(1, from).c_str(), std::string(1, to).c_str());
}

void CKZValue::TrimSpaces()
{
    EditText([](auto& str) { TrimString(str); });
}

void CKZValue::ToUpper()
{
    EditText([](auto& str) { MapCase(str, true); });
}

void CKZValue::ToLower()
{
    EditText([](auto& str) { MapCase(str, false); });
}

int CKZValue::Find(const char* szText, uint32_t start) const
{
    if (!szText)
        return -1;
    size_t at = std::string::npos;
    if (m_dwType == KZ_VALUE_STRING)
        at = NarrowString().find(szText, start);
    else if (m_dwType == KZ_VALUE_USTRING)
        at = WideString().find(Widen(szText), start);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

CKZValue CKZValue::GetSubString(uint32_t start, uint32_t length) const
{
    if (m_dwType == KZ_VALUE_USTRING)
        return CKZValue(Piece(WideString(), start, length).c_str());
    return CKZValue(Piece(NarrowString(), start, length));
}

// ---- files ----

void CKZValue::Serialize(CKZFileV* pFile, uint32_t dwMinVersion)
{
    if (!pFile || pFile->m_dwVersion < dwMinVersion)
        return;
    uint32_t header[3] = {m_dwType, m_dwDisplayFormat, m_pData ? m_dwSize : 0};
    if (pFile->IsWriting())
    {
        pFile->Serialize(header, 3);
        if (header[2])
            pFile->Serialize(reinterpret_cast<uint8_t*>(m_pData), static_cast<int>(header[2]));
        return;
    }
    CChangeGuard guard(*this);
    pFile->Serialize(header, 3);
    Free();
    m_dwType = KZ_VALUE_UNKNOWN;
    // The header is outside data: a type must be known, a fixed-size type must have its size,
    // and no size may be larger than what the file still holds.
    uint32_t dwFixed = 0;
    const int64_t remaining = int64_t(pFile->GetLength()) - pFile->Tell();
    const bool bValid = !pFile->m_bShortRead && header[0] < KZ_VALUE_TYPE_COUNT &&
                        (!SizeFromType(dwFixed, static_cast<KZ_VALUE_TYPE>(header[0])) || dwFixed == header[2]) &&
                        int64_t(header[2]) <= remaining && header[2] <= 0x7FFFFFFF;
    if (!bValid)
    {
        pFile->m_bShortRead = true;
        return;
    }
    m_dwType = header[0];
    m_dwDisplayFormat = header[1];
    if (header[2] == 0)
        return;
    Create(nullptr, header[2], static_cast<KZ_VALUE_TYPE>(header[0]), header[1], m_dwFlags);
    if (m_pData)
        pFile->Serialize(m_pData, static_cast<int>(header[2]));
    // A string read from a file is terminated within its size, whatever the file held.
    if (m_pData && m_dwType == KZ_VALUE_STRING)
        m_pData[m_dwSize - 1] = 0;
    if (m_pData && m_dwType == KZ_VALUE_USTRING && m_dwSize >= 2)
        m_pData[m_dwSize - 1] = m_pData[m_dwSize - 2] = 0;
}
