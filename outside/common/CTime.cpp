// OS::CTime calendar arithmetic (proleptic Gregorian, no time zones).
// Thread rule: a value type.
#include "outside/common/CTime.h"

#include <climits>

#include "outside/common/CException.h"

namespace OS {
namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

}  // namespace

long long CTime::DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CTime::CivilFromDays(long long z, int& year, int& month, int& day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

CTime::CTime(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        x_wstring msg;
        msg.Format(L"invalid calendar time %04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                   minute, second);
        throw CTimeException(1, OS_WFILE, __LINE__, msg);
    }
    m_tm.tm_year = year - 1900;
    m_tm.tm_mon = month - 1;
    m_tm.tm_mday = day;
    m_tm.tm_hour = hour;
    m_tm.tm_min = minute;
    m_tm.tm_sec = second;
    const long long days = DaysFromCivil(year, month, day);
    m_tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    m_tm.tm_yday = static_cast<int>(days - DaysFromCivil(year, 1, 1));
    m_tm.tm_isdst = 0;
}

// The year and month offsets saturate, so that a struct tm holding anything reaches the range
// check above instead of overflowing on the way.
static int OffsetSaturated(int v, int add) {
    const long long r = static_cast<long long>(v) + add;
    return r > INT_MAX ? INT_MAX : static_cast<int>(r);
}

CTime::CTime(const tm& t)
    : CTime(OffsetSaturated(t.tm_year, 1900), OffsetSaturated(t.tm_mon, 1), t.tm_mday, t.tm_hour,
            t.tm_min, t.tm_sec) {}

}  // namespace OS
