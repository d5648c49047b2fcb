// Tests of CVar: the coercion table between kinds (exact results, exact failure codes),
// equality, and the automation date conversions.
// Thread rule: single-threaded.
#include "outside/variant/CVar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

namespace {

constexpr int kMismatch = CVarConversionException::TYPE_MISMATCH;
constexpr int kOverflow = CVarConversionException::OVERFLOW_ERROR;

const auto Str = [](const wchar_t* s) { return CVar(s); };
const auto I2 = [](short v) { return CVar(v); };
const auto I4 = [](int v) { return CVar(v); };
const auto R8 = [](double v) { return CVar::FromR8(v); };
const auto Date = [](double v) { return CVar::FromDate(v); };

DATE MakeDate(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    CalendarTime t;
    t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
    DATE out = -1;
    EXPECT_TRUE(CalendarToVariantTime(t, out));
    return out;
}

struct Good {
    int line;
    CVar from;
    VARTYPE to;
    CVar expected;
};

struct Bad {
    int line;
    CVar from;
    VARTYPE to;
    int code;
};

TEST(VarCoercion, ResultsOfTheCoercionTable) {
    const Good cases[] = {
        // Integers between kinds, at the edges of the target's range.
        {__LINE__, I4(32767), VT_I2, I2(32767)},
        {__LINE__, CVar::FromUI4(2147483647u), VT_I4, I4(2147483647)},
        {__LINE__, CVar::FromI8(-5), VT_INT, CVar::FromInt(-5)},
        {__LINE__, I4(255), VT_UI1, CVar::FromUI1(255)},
        // Reals and dates to integers round half to even.
        {__LINE__, R8(2.5), VT_I4, I4(2)},
        {__LINE__, R8(3.5), VT_I4, I4(4)},
        {__LINE__, R8(-2.5), VT_I4, I4(-2)},
        {__LINE__, Date(1.5), VT_I4, I4(2)},
        // Strings to numbers: blanks around, sign, decimals, exponent.
        {__LINE__, Str(L" 12.6 "), VT_I4, I4(13)},
        {__LINE__, Str(L"\t-.5"), VT_R8, R8(-0.5)},
        {__LINE__, Str(L"1e3"), VT_I4, I4(1000)},
        {__LINE__, Str(L"9223372036854775807"), VT_I8, CVar::FromI8(9223372036854775807ll)},
        {__LINE__, Str(L"-9223372036854775808"), VT_I8,
         CVar::FromI8(std::numeric_limits<long long>::min())},
        {__LINE__, Str(L"18446744073709551615"), VT_UI8, CVar::FromUI8(18446744073709551615ull)},
        {__LINE__, Str(L"1e-400"), VT_R8, R8(0)},
        // Booleans to numbers: -1 and 0; true is all bits set for unsigned kinds.
        {__LINE__, CVar(true), VT_I2, I2(-1)},
        {__LINE__, CVar(true), VT_UI4, CVar::FromUI4(4294967295u)},
        // Numbers and strings to booleans.
        {__LINE__, I4(5), VT_BOOL, CVar(true)},
        {__LINE__, Str(L"True"), VT_BOOL, CVar(true)},
        {__LINE__, Str(L" 0 "), VT_BOOL, CVar(false)},
        {__LINE__, Str(L"-2.5"), VT_BOOL, CVar(true)},
        // Empty values.
        {__LINE__, CVar(), VT_I4, I4(0)},
        {__LINE__, CVar(), VT_BSTR, Str(L"")},
        {__LINE__, CVar(), VT_NULL, CVar::Null()},
        {__LINE__, CVar::Null(), VT_EMPTY, CVar()},
        {__LINE__, I4(3), VT_EMPTY, CVar()},
        // Numbers to strings.
        {__LINE__, I4(-42), VT_BSTR, Str(L"-42")},
        {__LINE__, CVar::FromUI8(18446744073709551615ull), VT_BSTR, Str(L"18446744073709551615")},
        {__LINE__, R8(0.1), VT_BSTR, Str(L"0.1")},
        {__LINE__, R8(1.0 / 3), VT_BSTR, Str(L"0.333333333333333")},
        {__LINE__, CVar(true), VT_BSTR, Str(L"True")},
        {__LINE__, Date(MakeDate(2023, 5, 17, 13, 45, 30)), VT_BSTR, Str(L"2023-05-17 13:45:30")},
        {__LINE__, Date(-1.25), VT_BSTR, Str(L"1899-12-29 06:00:00")},
        {__LINE__, CVar::FromLPSTR("\xC3\xA9t\xC3\xA9"), VT_BSTR, Str(L"\u00E9t\u00E9")},
        // Strings and numbers to dates.
        {__LINE__, Str(L"2023-05-17 13:45:30"), VT_DATE, Date(MakeDate(2023, 5, 17, 13, 45, 30))},
        {__LINE__, Str(L"1800-01-01 06:00:00"), VT_DATE, Date(-36522.25)},
        // Same kind: a copy.
        {__LINE__, CVar::FromBytes(std::vector<uint8_t>{1, 2}), VT_ARRAY_UI1,
         CVar::FromBytes(std::vector<uint8_t>{1, 2})},
    };
    for (const Good& c : cases) {
        SCOPED_TRACE(c.line);
        try {
            const CVar got = c.from.ChangeType(c.to);
            EXPECT_EQ(c.expected.vt(), got.vt());
            EXPECT_TRUE(c.expected == got) << "got " << got.GetInt64() << " / " << got.GetReal()
                                           << " / " << OS::WideToUtf8(got.GetString());
        } catch (const CVarConversionException& e) {
            ADD_FAILURE() << OS::WideToUtf8(e.GetErrorMsg());
        }
    }
}

TEST(VarCoercion, FailuresAndTheirCodes) {
    const Bad cases[] = {
        {__LINE__, I4(40000), VT_I2, kOverflow},
        {__LINE__, I4(-1), VT_UI4, kOverflow},
        {__LINE__, I4(256), VT_UI1, kOverflow},
        {__LINE__, R8(32767.5), VT_I2, kOverflow},
        {__LINE__, R8(std::nan("")), VT_I4, kOverflow},
        {__LINE__, R8(1e300), VT_R4, kOverflow},
        {__LINE__, R8(3e6), VT_DATE, kOverflow},
        {__LINE__, Str(L"40000"), VT_I2, kOverflow},
        {__LINE__, Str(L"-9223372036854775809"), VT_I8, kOverflow},
        {__LINE__, Str((L"1" + std::wstring(400, L'0')).c_str()), VT_R8, kOverflow},
        {__LINE__, Str(L"abc"), VT_I4, kMismatch},
        {__LINE__, Str(L"\uFF11"), VT_I4, kMismatch},  // a full-width digit is not a digit
        {__LINE__, Str(L"yes"), VT_BOOL, kMismatch},
        {__LINE__, Str(L"2023-02-30"), VT_DATE, kMismatch},
        {__LINE__, CVar::Null(), VT_I4, kMismatch},
        {__LINE__, CVar::FromBytes(std::vector<uint8_t>{1}), VT_BSTR, kMismatch},
        {__LINE__, Str(L"1"), VT_ARRAY_UI1, kMismatch},
        {__LINE__, I4(1), 6 /* currency: not a kind of ours */, kMismatch},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.line);
        const CVar before = c.from;
        CVar target = c.from;
        try {
            target.ChangeTypeInPlace(c.to);
            ADD_FAILURE() << "no exception";
        } catch (const CVarConversionException& e) {
            EXPECT_EQ(c.code, e.GetErrorCode());
            EXPECT_EQ(c.from.vt(), e.GetFromType());
            EXPECT_EQ(c.to, e.GetToType());
        }
        // A failed coercion leaves the value as it was (NaN compares unequal to itself).
        if (!(before.vt() == VT_R8 && std::isnan(before.GetReal()))) {
            EXPECT_TRUE(before == target);
        }
    }
}

TEST(VarValue, EqualityIsKindAndValue) {
    EXPECT_TRUE(I4(1) == I4(1));
    EXPECT_FALSE(I4(1) == I2(1));
    EXPECT_FALSE(I4(1) == CVar::FromInt(1));
    EXPECT_FALSE(CVar() == CVar::Null());
}

TEST(VarDates, CalendarToDateAndBack) {
    EXPECT_EQ(0.0, MakeDate(1899, 12, 30));
    EXPECT_EQ(2958465.0, MakeDate(9999, 12, 31));
    EXPECT_EQ(61.0, MakeDate(1900, 3, 1));  // 1900 has no 29 February

    // Members out of range: false and 0.
    CalendarTime base;
    base.year = 2000, base.month = 1, base.day = 1, base.hour = 12;
    CalendarTime bad[8] = {base, base, base, base, base, base, base, base};
    bad[0].year = 99;
    bad[1].year = 10000;
    bad[2].month = 13;
    bad[3].year = 1900, bad[3].month = 2, bad[3].day = 29;
    bad[4].hour = 24;
    bad[5].minute = 60;
    bad[6].second = -1;
    bad[7].millisecond = 1000;
    for (const CalendarTime& t : bad) {
        DATE out = 5;
        EXPECT_FALSE(CalendarToVariantTime(t, out));
        EXPECT_EQ(0.0, out);
    }
    CalendarTime leap = base;
    leap.month = 2, leap.day = 29;
    DATE d = 0;
    EXPECT_TRUE(CalendarToVariantTime(leap, d));
}

TEST(VarDates, DateToCalendarRoundsToTheSecond) {
    struct Case {
        DATE in;
        int y, mo, d, h, mi, s, dow;
    };
    const Case cases[] = {
        {0.0, 1899, 12, 30, 0, 0, 0, 6},
        {-1.25, 1899, 12, 29, 6, 0, 0, 5},
        {0.5 + 0.4 / 86400, 1899, 12, 30, 12, 0, 0, 6},
        {0.5 + 0.6 / 86400, 1899, 12, 30, 12, 0, 1, 6},
        {1.0 - 0.2 / 86400, 1899, 12, 31, 0, 0, 0, 0},  // rounds up to the next midnight
        {-1.0 - 0.9999999, 1899, 12, 30, 0, 0, 0, 6},   // day -1 at 24:00 is day 0
        {-36522.25, 1800, 1, 1, 6, 0, 0, 3},
        {-657434.0, 100, 1, 1, 0, 0, 0, 5},
        {2958465.99998, 9999, 12, 31, 23, 59, 58, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        CalendarTime t;
        t.millisecond = 7;
        ASSERT_TRUE(VariantTimeToCalendar(c.in, t));
        EXPECT_EQ(std::make_tuple(c.y, c.mo, c.d, c.h, c.mi, c.s, 0, c.dow),
                  std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                                  t.dayOfWeek));
    }
    CalendarTime t;
    EXPECT_FALSE(VariantTimeToCalendar(-657435.0, t));
    EXPECT_FALSE(VariantTimeToCalendar(2958466.0, t));
    EXPECT_FALSE(VariantTimeToCalendar(std::nan(""), t));
    EXPECT_FALSE(VariantTimeToCalendar(2958465.999999999, t));  // rounds into year 10000
}

}  // namespace
