#include "Base/Core/KZValue.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"

#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
// Records every event of the value's source file.
class CValueEvents : public CKZLog::CLogHandler
{
public:
    CValueEvents() { CKZLog::AddHandler(this, 1000); }
    ~CValueEvents() override { CKZLog::RemoveHandler(this); }
    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        if (strcmp(event.record.file, "Source/Base/Core/KZValue") != 0)
            return CKZLog::RESULT_NONE;
        ++m_count;
        m_lastType = event.record.type;
        m_strLastMessage = event.message;
        m_strLastExpression = event.record.expression;
        m_lastLine = event.record.line;
        return CKZLog::RESULT_NONE;
    }
    int m_count = 0;
    CKZLog::EEventType m_lastType = CKZLog::EVENT_INFO;
    std::string m_strLastMessage, m_strLastExpression;
    uint32_t m_lastLine = 0;
};

// Runs a test body under another local time zone, so that a parse in local time would show.
class CTimeZone
{
public:
    explicit CTimeZone(const char* szZone)
    {
        const char* szOld = getenv("TZ");
        m_bHadOld = szOld != nullptr;
        if (szOld)
            m_strOld = szOld;
        setenv("TZ", szZone, 1);
        tzset();
    }
    ~CTimeZone()
    {
        if (m_bHadOld)
            setenv("TZ", m_strOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_bHadOld = false;
    std::string m_strOld;
};

CKZValue DateTime(int64_t seconds)
{
    return CKZValue(static_cast<long>(seconds));
}
} // namespace

TEST(KZValue, TextFormsOfEveryType)
{
    EXPECT_STREQ(CKZValue().ConstChar(), "");
    EXPECT_STREQ(CKZValue(-42).ConstChar(), "-42");
    EXPECT_STREQ(CKZValue(0x80000000u).ConstChar(), "-2147483648") << "a uint is written with %d";

    CKZValue half(0.5f);
    EXPECT_STREQ(half.ConstChar(), "0.5");
    half.SetDisplayFormat(CKZValue::FORMAT_PRECISE);
    EXPECT_STREQ(half.ConstChar(), "0.5");
    half.SetDisplayFormat(CKZValue::FORMAT_PERCENT);
    EXPECT_STREQ(half.ConstChar(), "50 %");
    half.SetDisplayFormat(CKZValue::FORMAT_BYTE);
    EXPECT_STREQ(half.ConstChar(), "128") << "a byte is written whole, not as 1e+02";
    CKZValue metres(1.5f);
    metres.SetDisplayFormat(CKZValue::FORMAT_METRES);
    EXPECT_STREQ(metres.ConstChar(), "1.5 m");
    CKZValue angle(3.14159265f);
    angle.SetDisplayFormat(CKZValue::FORMAT_DEGREES);
    EXPECT_STREQ(angle.ConstChar(), "1.8e+02 \xB0");
    CKZValue third(1.0f / 3);
    EXPECT_STREQ(third.ConstChar(), "0.33");
    third.SetDisplayFormat(CKZValue::FORMAT_PRECISE);
    EXPECT_STREQ(third.ConstChar(), "0.33333334327");

    EXPECT_STREQ(CKZValue(CKZVector3{1.5f, -2.25f, 1e-7f}).ConstChar(), "1.5,-2.25,1.0000000117e-07");
    CKZValue floored(CKZVector2{-2.5f, 2.9f});
    floored.SetDisplayFormat(CKZValue::FORMAT_INTEGER);
    EXPECT_STREQ(floored.ConstChar(), "-3,2");
    CKZValue huge(CKZVector2{NAN, 1e30f});
    huge.SetDisplayFormat(CKZValue::FORMAT_INTEGER);
    huge.ConstChar(); // no undefined conversion of NaN or of a float out of range
    EXPECT_STREQ(CKZValue(CKZQuaternion()).ConstChar(), "0,0,0,1");
    EXPECT_STREQ(CKZValue(CKZVector4{1, 2, 3, 4}).ConstChar(), "1,2,3,4");
    EXPECT_STREQ(CKZValue(true).ConstChar(), "true");
    EXPECT_STREQ(CKZValue(false).ConstChar(), "false");
    EXPECT_STREQ(CKZValue(uint16_t(65000)).ConstChar(), "65000");
    EXPECT_STREQ(CKZValue(uint8_t(200)).ConstChar(), "200");

    // A type without a text form gives an empty text, not what an earlier call left behind.
    CKZValue color(CKZColor{1, 1, 1, 1});
    CKZValue number(7);
    EXPECT_STREQ(color.ConstChar(), "");
    color = CKZValue(CKZColor{0, 0, 0, 0});
    EXPECT_STREQ(CKZValue(KZ_VALUE_VECTOR2I, 0, 0, -1, 8).ConstChar(), "");

    EXPECT_EQ(std::u16string(CKZValue(123).ConstWChar()), u"123");
}

TEST(KZValue, TypeNamesAndSizes)
{
    EXPECT_STREQ(CKZValue::sm_pszValueTypeNames[KZ_VALUE_DATE_TIME], "date_time");
    EXPECT_EQ(CKZValue::sm_pszValueTypeNames[KZ_VALUE_TYPE_COUNT], nullptr);
    for (uint32_t i = 0; i < KZ_VALUE_TYPE_COUNT; ++i)
        EXPECT_EQ(CKZValue::ValueTypeFromStr(CKZValue::GetValueTypeNames()[i]), i);
    EXPECT_EQ(CKZValue::ValueTypeFromStr("object"), 0u);
    EXPECT_EQ(CKZValue::ValueTypeFromStr(nullptr), 0u);

    uint32_t size = 99;
    EXPECT_TRUE(CKZValue::SizeFromType(size, KZ_VALUE_VECTOR3));
    EXPECT_EQ(size, 12u);
    EXPECT_TRUE(CKZValue::SizeFromType(size, KZ_VALUE_STRING, "abc"));
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(CKZValue::SizeFromType(size, KZ_VALUE_USTRING, u"abc"));
    EXPECT_EQ(size, 8u);
    EXPECT_FALSE(CKZValue::SizeFromType(size, KZ_VALUE_STRING));
    EXPECT_FALSE(CKZValue::SizeFromType(size, KZ_VALUE_VECTOR2I));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(CKZValue(KZ_VALUE_DATE_TIME).GetSize(), 8u);
    EXPECT_FALSE(CKZValue(KZ_VALUE_STRING).HasData());
}

// Expected texts from Python's datetime (UTC): 951782400 is 2000-02-29 00:00:00, a Tuesday.
TEST(KZValue, DatePartsAndTextsInUTC)
{
    struct SCase
    {
        int64_t seconds;
        const char* szText;
        int weekday;
    } const cases[] = {{0, "1970-01-01 00:00:00", 4},          {951782400, "2000-02-29 00:00:00", 2},
                       {1709210096, "2024-02-29 12:34:56", 4}, {2147483648, "2038-01-19 03:14:08", 2},
                       {-1, "1969-12-31 23:59:59", 3},         {4102444799, "2099-12-31 23:59:59", 4}};
    CTimeZone zone("XST+5"); // UTC-5, no daylight saving
    for (const SCase& c : cases)
    {
        const CKZValue value = DateTime(c.seconds);
        EXPECT_STREQ(value.ConstChar(), c.szText);
        std::string strText;
        value.GetTimeDate(strText);
        EXPECT_EQ(strText, c.szText);
        EXPECT_EQ(value.GetDayOfWeek(), c.weekday);
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        sscanf(c.szText, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
        EXPECT_EQ(value.GetYear(), year);
        EXPECT_EQ(value.GetMonth(), month);
        EXPECT_EQ(value.GetDay(), day);
        EXPECT_EQ(value.GetHour(), hour);
        EXPECT_EQ(value.GetMinute(), minute);
        EXPECT_EQ(value.GetSecond(), second);
    }

    int64_t seconds = 1709210096;
    CKZValue date, time;
    date.Create(&seconds, 8, KZ_VALUE_DATE);
    time.Create(&seconds, 8, KZ_VALUE_TIME);
    EXPECT_STREQ(date.ConstChar(), "2024-02-29");
    EXPECT_STREQ(time.ConstChar(), "12:34:56");
    EXPECT_EQ(time.GetHour(), 12) << "a time value has its hours";
    EXPECT_EQ(time.GetMinute(), 34);
    EXPECT_EQ(time.GetSecond(), 56);
    EXPECT_EQ(date.GetHour(), -1);
    EXPECT_EQ(date.GetDaysInMonth(), 29);

    const CKZValue number(5u);
    EXPECT_EQ(number.GetYear(), 0);
    EXPECT_EQ(number.GetHour(), -1);
    std::string strText;
    number.GetTimeDate(strText);
    EXPECT_EQ(strText, "0000-00-00 00:00:00");
    EXPECT_EQ(DateTime(0).GetYear(), 1970);
    EXPECT_EQ(DateTime(0).GetHour(), 0);
}

TEST(KZValue, DateTextReadsBackAsTheSameValue)
{
    // Under a zone far from UTC a parse in local time would be hours off.
    CTimeZone zone("XST-5:30"); // UTC+05:30
    // The last one lies before year 0 and is written with a sign.
    const int64_t samples[] = {0, 951782400, 1709210096, 2147483648, 4102444799, -100000000000};
    for (int64_t seconds : samples)
    {
        CKZValue parsed(KZ_VALUE_DATE_TIME);
        parsed = DateTime(seconds).ConstChar();
        EXPECT_EQ(long(parsed), seconds);
    }
    // A year below 100 counts from 1900, like the fields of a broken-down time.
    EXPECT_EQ(CKZValue("24-02-29", KZ_VALUE_DATE).GetYear(), 1924);
    EXPECT_EQ(CKZValue::DateTimeStringToTime("2024-02-29 12:34:56"), 1709210096);
    EXPECT_EQ(CKZValue::DateTimeStringToTime("2024/2/29 12:34:56"), 1709210096);
    EXPECT_EQ(CKZValue::DateTimeStringToTime("2000-02-29"), 951782400) << "a date alone is midnight";
    EXPECT_EQ(CKZValue::DateTimeStringToTime("abc"), 0);
    CKZValue::DateTimeStringToTime("99999999999999999999-99999999999-1 99999999999:1:1"); // digits cannot overflow

    CKZValue date("2024-02-29", KZ_VALUE_DATE);
    EXPECT_STREQ(date.ConstChar(), "2024-02-29");
    EXPECT_EQ(long(date), 1709164800);
    CKZValue dateTime("2000-02-29", KZ_VALUE_DATE_TIME);
    EXPECT_STREQ(dateTime.ConstChar(), "2000-02-29 00:00:00");
    CKZValue time("01:01:01", KZ_VALUE_TIME);
    EXPECT_STREQ(time.ConstChar(), "01:01:01");
    EXPECT_EQ(long(time), 3661) << "a time of day alone keeps to the first day";

    // A time alone for a date_time is today's date (UTC) at that time.
    CKZValue today("07:08:09", KZ_VALUE_DATE_TIME);
    const CKZValue now = CKZValue::GetCurrentDateTime();
    EXPECT_EQ(today.GetHour(), 7);
    EXPECT_EQ(today.GetSecond(), 9);
    EXPECT_LE(std::llabs(today.GetDayDifference(now)), 1);

    struct tm fields = {};
    fields.tm_year = 124, fields.tm_mon = 1, fields.tm_mday = 29, fields.tm_hour = 12, fields.tm_min = 34;
    fields.tm_sec = 56;
    CKZValue fromFields;
    fromFields = fields;
    EXPECT_STREQ(fromFields.ConstChar(), "2024-02-29 12:34:56") << "an empty value takes the text";
    CKZValue asDate(KZ_VALUE_DATE_TIME);
    asDate = fields;
    EXPECT_EQ(long(asDate), 1709210096);
}

TEST(KZValue, LocalFieldsConstructorUsesLocalTime)
{
    CTimeZone zone("XST-5:30"); // UTC+05:30, no daylight saving
    const CKZValue local(2024, 2, 29, 12, 34, 56, 0);
    EXPECT_EQ(long(local), 1709210096 - 5 * 3600 - 1800);
    std::string strText;
    local.GetLocalTimeDate(strText);
    EXPECT_EQ(strText, "2024-02-29 12:34:56");
}

TEST(KZValue, CalendarArithmeticAndDifferences)
{
    CKZValue value = DateTime(1706659200); // 2024-01-31 00:00:00
    value.AddMonths(1);
    EXPECT_STREQ(value.ConstChar(), "2024-02-29 00:00:00") << "the day is kept within the month";
    value.AddYears(1);
    EXPECT_STREQ(value.ConstChar(), "2025-02-28 00:00:00");
    value.AddMonths(-14);
    EXPECT_STREQ(value.ConstChar(), "2023-12-28 00:00:00");
    value.AddDays(4);
    value.AddHours(25);
    value.AddMinutes(61);
    value.AddSeconds(-1);
    EXPECT_STREQ(value.ConstChar(), "2024-01-02 02:00:59");
    value.SetDay(31);
    EXPECT_STREQ(value.ConstChar(), "2024-01-31 02:00:59");

    const CKZValue later = DateTime(1709210096), earlier = DateTime(951782400);
    EXPECT_EQ(later.GetYearDifference(earlier), 24);
    EXPECT_EQ(later.GetMonthDifference(earlier), 288);
    EXPECT_EQ(earlier.GetMonthDifference(later), -288);
    EXPECT_EQ(later.GetDayDifference(earlier), (1709210096 - 951782400) / 86400);
    EXPECT_EQ(later.GetSecondDifference(earlier), 1709210096 - 951782400);
    EXPECT_EQ(DateTime(1709164800).GetMonthDifference(DateTime(1706659200)), 0) << "Jan 31 to Feb 29 is no whole month";
}

TEST(KZValue, AssignmentConvertsToTheTargetType)
{
    CKZValue number(KZ_VALUE_UINT);
    number = "12";
    EXPECT_EQ(unsigned(number), 12u);
    number = "abc";
    EXPECT_EQ(unsigned(number), 0u);
    number = 3.9f;
    EXPECT_EQ(unsigned(number), 3u);
    EXPECT_EQ(number.GetType(), KZ_VALUE_UINT);

    CKZValue integer(0);
    integer = NAN;
    EXPECT_EQ(int(integer), 0) << "no undefined conversion of NaN";
    integer = 1e30f;
    integer = CKZValue(u"0x1F");
    EXPECT_EQ(int(integer), 31) << "a wide text's base comes from its prefix";

    CKZValue empty;
    empty = CKZValue("copied");
    EXPECT_EQ(empty.GetType(), KZ_VALUE_STRING);
    EXPECT_STREQ(empty.ConstChar(), "copied");

    // A shorter text after a longer one: the size follows the text, no stale bytes remain.
    CKZValue text("a long first text");
    text = "ab";
    EXPECT_EQ(text.GetSize(), 3u);
    EXPECT_EQ(text.GetStrLength(), 2u);
    EXPECT_EQ(memcmp(text.ToRawPtr(), "ab", 3), 0);
    text = 42;
    EXPECT_STREQ(text.ConstChar(), "42");
    EXPECT_EQ(text.GetSize(), 3u);
    text = CKZValue();
    EXPECT_STREQ(text.ConstChar(), "");
    EXPECT_EQ(text.GetSize(), 1u);

    CKZValue vector(CKZVector3{});
    vector = "1.5,2, -3";
    EXPECT_EQ(CKZVector3(vector), (CKZVector3{1.5f, 2, -3}));
    vector = "7";
    EXPECT_EQ(CKZVector3(vector), (CKZVector3{7, 0, 0}));
    CKZValue quaternion(CKZQuaternion{});
    quaternion = "1,2,3,4";
    EXPECT_EQ(CKZQuaternion(quaternion), (CKZQuaternion{1, 2, 3, 4}));

    CKZValue flag(false);
    flag = "true";
    EXPECT_TRUE(bool(flag));
    flag = "1";
    EXPECT_TRUE(bool(flag));
    flag = "yes";
    EXPECT_FALSE(bool(flag));
    CKZValue small(uint8_t(0));
    small = 300;
    EXPECT_EQ(uint8_t(small), 44);
    CKZValue seconds(KZ_VALUE_DATE);
    seconds = 86400;
    EXPECT_STREQ(seconds.ConstChar(), "1970-01-02");
    CKZValue fromLong;
    fromLong = 86400L;
    EXPECT_EQ(fromLong.GetType(), KZ_VALUE_DATE_TIME);
    CKZValue intFromLong(0);
    intFromLong = 86400L;
    EXPECT_EQ(int(intFromLong), 86400);
}

TEST(KZValue, WideTextUsesUTF8ByDefault)
{
    CKZValue wide;
    wide.SetType(KZ_VALUE_USTRING);
    EXPECT_EQ(wide.GetCodePage(), -1);
    wide = "caf\xC3\xA9 \xE2\x82\xAC";
    EXPECT_EQ(std::u16string(wide.ConstWChar()), u"caf\u00E9 \u20AC");
    EXPECT_EQ(wide.GetSize(), 2u * 6 + 2);
    EXPECT_STREQ(wide.ConstChar(), "caf\xC3\xA9 \xE2\x82\xAC");
    wide = "ab";
    EXPECT_EQ(wide.GetSize(), 6u);

    CKZValue narrow;
    narrow.SetType(KZ_VALUE_STRING);
    narrow = CKZValue(u"\u00E9");
    EXPECT_STREQ(narrow.ConstChar(), "\xC3\xA9");
    EXPECT_EQ(narrow.GetType(), KZ_VALUE_STRING);
    // Made by type alone, a string value has no bytes yet: it takes what is assigned.
    CKZValue untyped(KZ_VALUE_USTRING);
    EXPECT_FALSE(untyped.HasData());
    CKZValue latin;
    latin.SetType(KZ_VALUE_USTRING, 0, 1252);
    latin = "\xE9";
    EXPECT_EQ(latin.GetType(), KZ_VALUE_USTRING);
    EXPECT_EQ(std::u16string(latin.ConstWChar()), u"\u00E9") << "one byte per character";
}

TEST(KZValue, ArithmeticAndItsFailures)
{
    CValueEvents events;
    CKZValue integer(7);
    integer += 5;
    integer -= 2u;
    integer *= 3.0f;
    integer /= uint16_t(4);
    EXPECT_EQ(int(integer), 7);
    integer /= 0;
    EXPECT_EQ(int(integer), 7) << "a division by zero leaves the value";
    EXPECT_EQ(events.m_count, 1);
    EXPECT_EQ(events.m_lastType, CKZLog::EVENT_ERROR);
    CKZValue unsignedValue(10u);
    unsignedValue /= CKZValue("0");
    EXPECT_EQ(unsigned(unsignedValue), 10u);
    EXPECT_EQ(events.m_count, 2);
    unsignedValue -= 11;
    EXPECT_EQ(unsigned(unsignedValue), 0xFFFFFFFFu);
    CKZValue minimum(INT_MIN);
    minimum /= -1;
    minimum *= 2;
    minimum += INT_MAX;
    EXPECT_EQ(int(minimum), INT_MAX) << "overflow wraps without undefined behaviour";

    CKZValue real(1.5f);
    real += CKZValue("2.25");
    real /= 0;
    EXPECT_TRUE(std::isinf(float(real)));

    CKZValue vector(CKZVector3{1, 2, 3});
    vector *= 2;
    vector += CKZVector3{1, 1, 1};
    EXPECT_EQ(CKZVector3(vector), (CKZVector3{3, 5, 7}));
    EXPECT_EQ(CKZVector3(vector - CKZVector3{3, 5, 7}), (CKZVector3{0, 0, 0}));

    CKZValue text("n=");
    text += 5;
    text += "!";
    EXPECT_STREQ(text.ConstChar(), "n=5!");
    EXPECT_STREQ((text + CKZValue(true)).ConstChar(), "n=5!true");
    CKZValue wide(u"a");
    wide += "\xC3\xA9";
    EXPECT_EQ(std::u16string(wide.ConstWChar()), u"a\u00E9");

    events.m_count = 0;
    text -= 1;
    EXPECT_EQ(events.m_strLastMessage, "Operation -= not supported on this type!");
    text *= 1;
    EXPECT_EQ(events.m_strLastMessage, "Operation *= not supported on this type!");
    CKZValue date(KZ_VALUE_DATE);
    date += 1;
    EXPECT_EQ(events.m_count, 3);
    EXPECT_STREQ(text.ConstChar(), "n=5!");

    EXPECT_FALSE(bool(CKZValue(CKZVector2{1, 1})));
    EXPECT_EQ(events.m_strLastMessage, "Calling bool operator on invalid type!");
    EXPECT_EQ(events.m_count, 4);
}

TEST(KZValue, OperatorsResolveForTheExactTypes)
{
    // Each of these would not compile if two overloads matched equally well.
    CKZValue v(5);
    EXPECT_TRUE(v == 5);
    EXPECT_TRUE(5 == v);
    EXPECT_TRUE(v != 6u);
    EXPECT_TRUE(v < 5.5f);
    EXPECT_TRUE(v < 5.5);
    EXPECT_TRUE(4 < v);
    EXPECT_TRUE(v >= uint8_t(5));
    EXPECT_TRUE(v <= uint16_t(5));
    EXPECT_TRUE(v == "5");
    EXPECT_TRUE(v == CKZValue(5u));
    EXPECT_EQ(int(v + 1), 6);
    EXPECT_EQ(int(v - 1u), 4);
    EXPECT_EQ(int(v * 2.0f), 10);
    EXPECT_EQ(int(v / uint8_t(2)), 2);
    EXPECT_EQ(int(v + v), 10);
    v = 7L;
    v = true;
    v = uint16_t(9);
    const int i = v;
    const unsigned u = v;
    const float f = v;
    const long l = v;
    EXPECT_EQ(i + int(u) + int(f) + int(l), 36);
    EXPECT_TRUE(v);
    const char* sz = v;
    EXPECT_STREQ(sz, "9");

    EXPECT_TRUE(CKZValue("abc") < "abd");
    EXPECT_TRUE(CKZValue("b") > CKZValue("a"));
    EXPECT_TRUE(DateTime(10) > CKZValue(9));
    EXPECT_TRUE((CKZValue(CKZVector2{1, 2}) == CKZVector2{1, 2}));
    EXPECT_TRUE((CKZValue(CKZVector2{1, 2}) < CKZVector2{1, 3}));
    EXPECT_TRUE(CKZValue() == CKZValue());
    EXPECT_TRUE(CKZValue() < CKZValue(0));
}

TEST(KZValue, BorrowedBytesAreReadSafely)
{
    CValueEvents events;
    // Every value sits at an odd address: reads must not be misaligned loads.
    alignas(8) uint8_t buffer[64] = {0};
    uint8_t* p = buffer + 1;
    const int32_t i = -7;
    const float f = 2.5f;
    const int64_t seconds = 1709210096;
    const float components[3] = {1, 2, 3};
    const char16_t wide[] = u"xy";
    memcpy(p, &i, 4);
    CKZValue value;
    value.SetData(p, KZ_VALUE_INT);
    EXPECT_EQ(int(value), -7);
    EXPECT_FALSE(value.OwnsData());
    memcpy(p, &f, 4);
    value.SetData(p, KZ_VALUE_FLOAT, CKZValue::FORMAT_PRECISE);
    EXPECT_STREQ(value.ConstChar(), "2.5");
    memcpy(p, &seconds, 8);
    value.SetData(p, KZ_VALUE_DATE_TIME);
    EXPECT_STREQ(value.ConstChar(), "2024-02-29 12:34:56");
    memcpy(p, components, 12);
    value.SetData(p, KZ_VALUE_VECTOR3);
    EXPECT_STREQ(value.ConstChar(), "1,2,3");
    memcpy(p, wide, sizeof(wide));
    value.SetData(p, KZ_VALUE_USTRING);
    EXPECT_EQ(value.GetSize(), 6u);
    EXPECT_EQ(std::u16string(value.ConstWChar()), u"xy");
    EXPECT_STREQ(value.ConstChar(), "xy");

    // A value is never read past its size: a short int reads as zeros beyond, an unterminated
    // string ends at its size.
    memcpy(p, "\x05\x00\xFF\xFF", 4);
    value.SetData(p, KZ_VALUE_INT, 0, 0, 2);
    EXPECT_EQ(int(value), 5);
    memcpy(p, "abcdef", 6);
    value.SetData(p, KZ_VALUE_STRING, 0, 0, 3);
    EXPECT_STREQ(value.ConstChar(), "abc");
    EXPECT_EQ(value.GetStrLength(), 3u);
    value.SetData(p, KZ_VALUE_USTRING, 0, 0, 3);
    EXPECT_EQ(value.GetStrLength(), 1u);

    // A change takes a copy: the caller's bytes stay as they were.
    memcpy(p, &i, 4);
    value.SetData(p, KZ_VALUE_INT);
    value += 10;
    EXPECT_EQ(int(value), 3);
    EXPECT_TRUE(value.OwnsData());
    EXPECT_EQ(memcmp(p, &i, 4), 0);

    EXPECT_EQ(events.m_count, 0);
    value.SetData(p, KZ_VALUE_VECTOR2I);
    EXPECT_EQ(events.m_count, 1);
    EXPECT_EQ(events.m_strLastExpression, "m_dwSize");
    EXPECT_EQ(events.m_lastLine, 543u);
    value.SetData(nullptr, KZ_VALUE_INT);
    EXPECT_FALSE(value.HasData());
    EXPECT_EQ(events.m_count, 1);

    // A null text is reported and changes nothing.
    CKZValue text("kept");
    const char* szNull = nullptr;
    text = szNull;
    EXPECT_EQ(events.m_count, 2);
    EXPECT_EQ(events.m_strLastExpression, "m_pData");
    EXPECT_STREQ(text.ConstChar(), "kept");
    EXPECT_FALSE(CKZValue(szNull).HasData());
    EXPECT_EQ(events.m_count, 3);
}

TEST(KZValue, CopiesChangeTrackingAndTypes)
{
    CKZValue original("text");
    original.SetFlags(CKZValue::FLAG_TRACK_CHANGES);
    original.SetCodePage(1252);
    original.SetDisplayFormat(3);
    const CKZValue copy(original);
    EXPECT_STREQ(copy.ConstChar(), "text");
    EXPECT_NE(copy.ToRawPtr(), original.ToRawPtr());
    EXPECT_EQ(copy.GetFlags(), 0u);
    EXPECT_EQ(copy.GetCodePage(), -1);
    EXPECT_EQ(copy.GetDisplayFormat(), 3u);

    original = "text";
    EXPECT_FALSE(original.IsChanged()) << "the same text is no change";
    original += "";
    EXPECT_FALSE(original.IsChanged());
    original = "other";
    EXPECT_TRUE(original.IsChanged());
    CKZValue untracked(1);
    untracked = 2;
    EXPECT_FALSE(untracked.IsChanged());

    CKZValue typed(KZ_VALUE_FLOAT, CKZValue::FORMAT_PRECISE);
    EXPECT_EQ(typed.GetSize(), 4u);
    typed.SetType(KZ_VALUE_STRING, 0, -1, 0);
    EXPECT_EQ(typed.GetSize(), 1u) << "a string has room for its terminator";
    EXPECT_STREQ(typed.ConstChar(), "");
    typed.SetType(KZ_VALUE_VECTOR2I);
    EXPECT_EQ(typed.GetSize(), 8u);
    uint8_t bytes[3] = {1, 2, 3};
    typed.Create(bytes, 3, KZ_VALUE_COLOR);
    EXPECT_EQ(typed.GetSize(), 3u);
    EXPECT_EQ(CKZVector4(typed).y, 0.0f) << "bytes the value lacks read as zero";
}

TEST(KZValue, StringOperations)
{
    CKZValue text("  Hello, World  ");
    text.TrimSpaces();
    EXPECT_STREQ(text.ConstChar(), "Hello, World");
    EXPECT_EQ(text.GetSize(), 13u);
    EXPECT_EQ(text.Find("World"), 7);
    EXPECT_EQ(text.Find("o", 5), 8);
    EXPECT_EQ(text.Find("x"), -1);
    EXPECT_STREQ(text.GetSubString(7, 3).ConstChar(), "Wor");
    EXPECT_STREQ(text.GetSubString(70).ConstChar(), "");
    text.Replace("o", "0o");
    EXPECT_STREQ(text.ConstChar(), "Hell0o, W0orld");
    text.ReplaceChars('0', '_');
    text.ToUpper();
    EXPECT_STREQ(text.ConstChar(), "HELL_O, W_ORLD");
    text.ToLower();
    text.CropString(6, 3);
    EXPECT_STREQ(text.ConstChar(), ", w");
    text.StringClamp(1);
    EXPECT_STREQ(text.ConstChar(), ",");
    EXPECT_EQ(text.GetSize(), 2u);

    CKZValue wide(u" Ab ");
    wide.TrimSpaces();
    wide.ToUpper();
    EXPECT_EQ(std::u16string(wide.ConstWChar()), u"AB");
    EXPECT_EQ(wide.Find("B"), 1);
    EXPECT_EQ(wide.GetSubString(1).GetType(), KZ_VALUE_USTRING);

    CKZValue number(5);
    number.ToUpper();
    EXPECT_EQ(int(number), 5);
    EXPECT_EQ(number.GetStrLength(), 0u);
}

TEST(KZValue, SerializeRoundTripAndBoundedReading)
{
    const fs::path dir = KZTestFreshDirectory("kzvalue");
    const std::string path = (dir / "values").string();
    {
        CKZFileV out;
        ASSERT_TRUE(out.Open(path.c_str(), "wb"));
        CKZValue text("saved"), vector(CKZVector3{1, 2, 3}), empty;
        text.Serialize(&out);
        vector.Serialize(&out);
        empty.Serialize(&out);
    }
    {
        CKZFileV in;
        ASSERT_TRUE(in.Open(path.c_str(), "rb"));
        CKZValue text, vector, empty(3);
        text.Serialize(&in);
        vector.Serialize(&in);
        empty.Serialize(&in);
        EXPECT_STREQ(text.ConstChar(), "saved");
        EXPECT_EQ(CKZVector3(vector), (CKZVector3{1, 2, 3}));
        EXPECT_FALSE(empty.HasData());
        EXPECT_FALSE(in.m_bShortRead);
    }
    // Headers that claim more than the file holds, a wrong size for a fixed type, an unknown
    // type, and a string without its terminator.
    const std::string bad[] = {std::string("\x04\0\0\0\0\0\0\0\xFF\xFF\xFF\x7Fxy", 14),
                               std::string("\x01\0\0\0\0\0\0\0\x08\0\0\0abcdefgh", 20),
                               std::string("\x63\0\0\0\0\0\0\0\x01\0\0\0a", 13), std::string("\x04\0\0", 3)};
    for (const std::string& bytes : bad)
    {
        std::ofstream(path, std::ios::binary) << bytes;
        CKZFileV in;
        ASSERT_TRUE(in.Open(path.c_str(), "rb"));
        CKZValue value(1);
        value.Serialize(&in);
        EXPECT_FALSE(value.HasData());
        EXPECT_TRUE(in.m_bShortRead);
    }
    std::ofstream(path, std::ios::binary) << std::string("\x04\0\0\0\0\0\0\0\x03\0\0\0abc", 15);
    CKZFileV in;
    ASSERT_TRUE(in.Open(path.c_str(), "rb"));
    CKZValue value;
    value.Serialize(&in);
    EXPECT_STREQ(value.ConstChar(), "ab");
    EXPECT_EQ(value.GetSize(), 3u);
    fs::remove_all(dir);
}
