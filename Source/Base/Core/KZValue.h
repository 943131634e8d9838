#pragma once
// The engine's variant value: one value of any KZ_VALUE_TYPE held as a typed byte buffer, with its
// text form, conversions between the types, arithmetic, comparisons, and string and date/time
// operations. A value belongs to one thread: even reading its text writes its text buffer.

#include "Base/Core/KZValueType.h"
#include "Base/Math/KZMath.h"
#include "Base/Util/KZString.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <type_traits>

class CKZFileV;

class CKZValue
{
public:
    enum EFlags : uint32_t
    {
        FLAG_TRACK_CHANGES = 0x4,
        FLAG_CHANGED = 0x8,
    };

    // Display formats: how a float (0-7) or a vector (8) is written as text.
    enum EDisplayFormat : uint32_t
    {
        FORMAT_DEFAULT = 0,
        FORMAT_METRES = 1,
        FORMAT_PERCENT = 2,
        FORMAT_DEGREES = 3,
        FORMAT_SPEED = 4,
        FORMAT_ANGULAR_SPEED = 5,
        FORMAT_BYTE = 6,
        FORMAT_PRECISE = 7,
        FORMAT_INTEGER = 8,
    };

    struct STypeLookup
    {
        uint32_t type;
        const char* name;
    };

    // The type names in type order, then null.
    static const char* const sm_pszValueTypeNames[KZ_VALUE_TYPE_COUNT + 1];
    static const STypeLookup sm_TypeLookup[KZ_VALUE_TYPE_COUNT];

    CKZValue();
    CKZValue(int value);
    CKZValue(unsigned int value);
    CKZValue(uint16_t value);
    CKZValue(uint8_t value);
    CKZValue(float value);
    // A double literal is stored as a float.
    CKZValue(double value);
    CKZValue(bool value);
    // A date_time of that many seconds since 1970.
    CKZValue(long seconds);
    CKZValue(const char* szText);
    CKZValue(const std::string& strText);
    CKZValue(const KZWChar* szText);
    CKZValue(const CKZVector2& value);
    CKZValue(const CKZVector3& value);
    CKZValue(const CKZVector4& value);
    CKZValue(const CKZQuaternion& value);
    CKZValue(const CKZColor& value);
    // A zeroed value of a type; size 0xFFFFFFFF: the type's fixed size.
    CKZValue(KZ_VALUE_TYPE type, uint32_t dwDisplayFormat = 0, uint32_t dwFlags = 0, int32_t iCodePage = -1,
             uint32_t dwSize = 0xFFFFFFFF);
    // A date, time or date_time parsed from its text.
    CKZValue(const char* szText, KZ_VALUE_TYPE type);
    // A date_time from local-time fields (month 1-12, the year in full); the daylight-saving flag
    // goes to mktime unchanged.
    CKZValue(int year, int month, int day, int hour, int minute, int second, int iDaylightSaving);
    // The copy owns its bytes; it has no flags and the default code page.
    CKZValue(const CKZValue& other);
    ~CKZValue();

    // A copy of `dwSize` bytes (zeroes when pData is null).
    void Create(const void* pData, uint32_t dwSize, KZ_VALUE_TYPE type, uint32_t dwDisplayFormat = 0,
                uint32_t dwFlags = 0);
    // A new type gets a zeroed buffer of its fixed size (strings and types without one: dwSize).
    void SetType(KZ_VALUE_TYPE type, uint32_t dwDisplayFormat = 0, int32_t iCodePage = -1, uint32_t dwSize = 0);
    // Refers to the caller's bytes without copying; they must outlive the value. Size 0: the
    // type's size. Reads never go past dwSize; an operation that changes the value first takes a
    // copy, so the caller's bytes are never written.
    void SetData(const void* pData, KZ_VALUE_TYPE type, uint32_t dwDisplayFormat = 0, uint32_t dwFlags = 0,
                 uint32_t dwSize = 0);

    static bool SizeFromType(uint32_t& dwSize, KZ_VALUE_TYPE type, const void* pData = nullptr);
    static uint32_t ValueTypeFromStr(const char* szName);
    static const char* const* GetValueTypeNames() { return sm_pszValueTypeNames; }
    // Seconds since 1970 of a date and/or time text ("2024-05-06 07:08:09", "2024-05-06", "07:08:09"),
    // read as UTC; missing date fields come from the current UTC date, missing time fields are 0.
    static int64_t DateTimeStringToTime(const char* szText);

    KZ_VALUE_TYPE GetType() const { return static_cast<KZ_VALUE_TYPE>(m_dwType); }
    uint32_t GetSize() const { return m_dwSize; }
    uint32_t GetDisplayFormat() const { return m_dwDisplayFormat; }
    void SetDisplayFormat(uint32_t dwFormat) { m_dwDisplayFormat = dwFormat; }
    uint32_t GetFlags() const { return m_dwFlags; }
    void SetFlags(uint32_t dwFlags) { m_dwFlags = dwFlags; }
    int32_t GetCodePage() const { return m_iCodePage; }
    void SetCodePage(int32_t iCodePage) { m_iCodePage = iCodePage; }
    bool HasData() const { return m_pData != nullptr; }
    bool OwnsData() const { return m_bOwnsData; }
    bool IsChanged() const { return (m_dwFlags & FLAG_CHANGED) != 0; }

    // Raw bytes; the typed pointers may be unaligned for a value made by SetData.
    const void* ToRawPtr() const { return m_pData; }
    const int32_t* ToIntPtr() const { return reinterpret_cast<const int32_t*>(m_pData); }
    const uint32_t* ToUIntPtr() const { return reinterpret_cast<const uint32_t*>(m_pData); }
    const float* ToFloatPtr() const { return reinterpret_cast<const float*>(m_pData); }
    const char* ToCharPtr() const { return reinterpret_cast<const char*>(m_pData); }
    const int64_t* ToTimePtr() const { return reinterpret_cast<const int64_t*>(m_pData); }

    // The text form; valid until the value changes or its text is asked for again.
    const char* ConstChar() const;
    const char* c_str() const { return ConstChar(); }
    const KZWChar* ConstWChar() const;

    operator int() const;
    operator unsigned int() const;
    operator float() const;
    operator long() const;
    operator unsigned char() const;
    operator unsigned short() const;
    operator bool() const;
    operator const char*() const { return ConstChar(); }
    operator const KZWChar*() const { return ConstWChar(); }
    operator CKZVector2() const;
    operator CKZVector3() const;
    operator CKZVector4() const;
    operator CKZQuaternion() const;

    // A value without data takes the other's type and bytes; otherwise it keeps its type and converts.
    CKZValue& operator=(const CKZValue& other);
    CKZValue& operator=(const char* szText);
    CKZValue& operator=(const struct tm& time);
    template <typename T> CKZValue& operator=(const T& value) { return *this = CKZValue(value); }

    CKZValue& operator+=(const CKZValue& other);
    CKZValue& operator-=(const CKZValue& other);
    CKZValue& operator*=(const CKZValue& other);
    CKZValue& operator/=(const CKZValue& other);
    template <typename T> CKZValue& operator+=(const T& value) { return *this += CKZValue(value); }
    template <typename T> CKZValue& operator-=(const T& value) { return *this -= CKZValue(value); }
    template <typename T> CKZValue& operator*=(const T& value) { return *this *= CKZValue(value); }
    template <typename T> CKZValue& operator/=(const T& value) { return *this /= CKZValue(value); }
    template <typename T> CKZValue operator+(const T& value) const { return CKZValue(*this) += value; }
    template <typename T> CKZValue operator-(const T& value) const { return CKZValue(*this) -= value; }
    template <typename T> CKZValue operator*(const T& value) const { return CKZValue(*this) *= value; }
    template <typename T> CKZValue operator/(const T& value) const { return CKZValue(*this) /= value; }

    // Negative, zero or positive as this value orders before, with or after the other, which is
    // read in this value's type.
    int Compare(const CKZValue& other) const;
    bool operator==(const CKZValue& other) const { return Compare(other) == 0; }
    bool operator!=(const CKZValue& other) const { return Compare(other) != 0; }
    bool operator<(const CKZValue& other) const { return Compare(other) < 0; }
    bool operator>(const CKZValue& other) const { return Compare(other) > 0; }
    bool operator<=(const CKZValue& other) const { return Compare(other) <= 0; }
    bool operator>=(const CKZValue& other) const { return Compare(other) >= 0; }
    template <typename T> bool operator==(const T& value) const { return Compare(CKZValue(value)) == 0; }
    template <typename T> bool operator!=(const T& value) const { return Compare(CKZValue(value)) != 0; }
    template <typename T> bool operator<(const T& value) const { return Compare(CKZValue(value)) < 0; }
    template <typename T> bool operator>(const T& value) const { return Compare(CKZValue(value)) > 0; }
    template <typename T> bool operator<=(const T& value) const { return Compare(CKZValue(value)) <= 0; }
    template <typename T> bool operator>=(const T& value) const { return Compare(CKZValue(value)) >= 0; }

    // Date and time parts in UTC: 0 (-1 for hours, minutes, seconds) for a type without them.
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetDayOfWeek() const;
    int GetDaysInMonth() const;
    void SetDay(int day);
    void AddYears(int count);
    void AddMonths(int count);
    void AddDays(int count);
    void AddHours(int count);
    void AddMinutes(int count);
    void AddSeconds(int64_t count);
    // This value less the other, in whole units.
    int GetYearDifference(const CKZValue& other) const;
    int GetMonthDifference(const CKZValue& other) const;
    int64_t GetDayDifference(const CKZValue& other) const;
    int64_t GetHourDifference(const CKZValue& other) const;
    int64_t GetMinuteDifference(const CKZValue& other) const;
    int64_t GetSecondDifference(const CKZValue& other) const;
    // "%Y-%m-%d %H:%M:%S" of a date_time in UTC / local time; "0000-00-00 00:00:00" for another type.
    void GetTimeDate(std::string& strOut) const;
    void GetLocalTimeDate(std::string& strOut) const;
    static CKZValue GetCurrentDateTime();
    // Now, shifted by the local offset from UTC so that its (UTC) text reads the local clock.
    static CKZValue GetCurrentLocalDateTime();

    // String operations, on string and ustring values; positions and lengths in characters (bytes
    // or 16-bit units). Other types are left alone.
    uint32_t GetStrLength() const;
    void StringClamp(uint32_t dwMaxLength);
    void Replace(const char* szFrom, const char* szTo);
    void ReplaceChars(char from, char to);
    // Keeps `length` characters from `start` (0xFFFFFFFF: to the end).
    void CropString(uint32_t start, uint32_t length = 0xFFFFFFFF);
    void TrimSpaces();
    void ToUpper();
    void ToLower();
    // Position of the first occurrence at or after `start`, -1 when there is none.
    int Find(const char* szText, uint32_t start = 0) const;
    CKZValue GetSubString(uint32_t start, uint32_t length = 0xFFFFFFFF) const;

    // Type, display format, size and bytes; a read refuses a type, size or length the file cannot hold.
    void Serialize(CKZFileV* pFile, uint32_t dwMinVersion = 0);

private:
    class CChangeGuard;
    template <typename T> T Read() const;
    template <typename T> void Write(const T& value);
    bool IsOwnedWritable(uint32_t dwSize);
    void Resize(uint32_t dwSize);
    void Free();
    void AssignFrom(const CKZValue& other);
    void AssignText(const std::string& strText);
    void AssignWideText(const std::u16string& strText);
    int64_t ToInt64() const;
    double ToDouble() const;
    int64_t GetSeconds() const;
    void SetSeconds(int64_t seconds);
    bool IsDateType() const;
    bool BreakDown(struct tm& fields) const;
    void AddCalendar(int years, int months, int days);
    std::string TextOf() const;
    std::string NarrowString() const;
    std::u16string WideString() const;
    char* TextBuffer(size_t dwSize) const;
    uint32_t CodePage() const;
    template <typename TVector> TVector ToVector() const;
    template <typename F> CKZValue& Arithmetic(const CKZValue& other, char op, F apply);
    template <typename F> void EditText(F edit);

    uint8_t* m_pData = nullptr;
    uint32_t m_dwSize = 0;
    uint32_t m_dwType = KZ_VALUE_UNKNOWN;
    uint32_t m_dwDisplayFormat = 0;
    uint32_t m_dwFlags = 0;
    int32_t m_iCodePage = -1;
    bool m_bOwnsData = false;
    mutable char* m_pTextBuffer = nullptr;
    mutable uint32_t m_dwTextBufferSize = 0;
};

// The other operand first: read in the value's type, as in the member forms.
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator==(const T& a, const U& b) { return b == a; }
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator!=(const T& a, const U& b) { return b != a; }
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator<(const T& a, const U& b) { return b > a; }
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator>(const T& a, const U& b) { return b < a; }
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator<=(const T& a, const U& b) { return b >= a; }
template <typename T, typename U, typename = std::enable_if_t<std::is_same<U, CKZValue>::value>>
bool operator>=(const T& a, const U& b) { return b <= a; }
