// OS::CTime: a calendar moment (to the second) and its struct tm.
//
// Built from year, month (1-12), day, hour, minute and second, or from a struct tm; it fills
// day of week and day of year itself and always clears the daylight-saving flag: times are
// taken as they are given, with no time-zone conversion.
// Thread rule: a value type.
#pragma once

#include <ctime>

namespace OS {

class CTime {
  public:
    // REQUIRES: 1 <= month <= 12, 1 <= day <= days of that month, 0 <= hour < 24,
    // 0 <= minute < 60, 0 <= second < 60, 100 <= year <= 9999. Throws CTimeException otherwise.
    CTime(int year, int month, int day, int hour, int minute, int second);
    // Takes year + 1900, month + 1, day, hour, minute and second from `t`.
    explicit CTime(const tm& t);

    void GetTimeStruct(tm& out) const { out = m_tm; }
    int GetYear() const { return m_tm.tm_year + 1900; }
    int GetMonth() const { return m_tm.tm_mon + 1; }
    int GetDay() const { return m_tm.tm_mday; }
    int GetHour() const { return m_tm.tm_hour; }
    int GetMinute() const { return m_tm.tm_min; }
    int GetSecond() const { return m_tm.tm_sec; }

    // Days since 1970-01-01 of a proleptic Gregorian date (may be negative).
    static long long DaysFromCivil(int year, int month, int day);
    // The inverse of DaysFromCivil.
    static void CivilFromDays(long long days, int& year, int& month, int& day);

  private:
    tm m_tm{};
};

}  // namespace OS
