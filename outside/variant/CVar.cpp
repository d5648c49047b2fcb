// CVar: value kinds, equality and the automation coercions between kinds; the automation date
// conversions (days since 1899-12-30, the fraction counting the time of day forward).
//
// Coercions go through one numeric form (signed, unsigned or real) so that every pair of kinds
// shares the same range checks and the same round-half-to-even rule.
// Thread rule: a value type; no shared state.
#include "outside/variant/CVar.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>

namespace {

// ---------------------------------------------------------------------------------------------
// Automation dates

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

const long long kEpochDays = DaysFromCivil(1899, 12, 30);

// The automation date range: 0100-01-01 to 9999-12-31 (the whole last day).
constexpr double kMinDate = -657435.0;  // exclusive
constexpr double kMaxDate = 2958466.0;  // exclusive

bool DateInRange(double d) {
    return d > kMinDate && d < kMaxDate;
}

// ---------------------------------------------------------------------------------------------
// The numeric form every coercion goes through

struct Num {
    enum Kind { SIGNED, UNSIGNED, REAL } kind = SIGNED;
    long long i = 0;           // SIGNED
    unsigned long long u = 0;  // UNSIGNED: only for values above LLONG_MAX
    double d = 0;              // REAL
    bool beyondInt64 = false;  // REAL read from an integer literal no 64-bit kind holds

    double AsDouble() const {
        switch (kind) {
            case SIGNED:
                return static_cast<double>(i);
            case UNSIGNED:
                return static_cast<double>(u);
            case REAL:
                break;
        }
        return d;
    }
    bool IsZero() const { return kind == REAL ? d == 0.0 : (kind == SIGNED ? i == 0 : u == 0); }
};

[[noreturn]] void Fail(int code, VARTYPE from, VARTYPE to) {
    throw CVarConversionException(code, from, to, OS_WFILE, __LINE__);
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring_view TrimBlanks(std::wstring_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Roughly log10 of a well-formed unsigned decimal literal: > 0 for values of 1 and above.
long long DecimalExponent(const std::string& s) {
    size_t p = 0;
    while (p < s.size() && s[p] == '0') ++p;
    long long e = 0;
    size_t intDigits = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p, ++intDigits;
    if (intDigits > 0) {
        e = static_cast<long long>(intDigits);
        while (p < s.size() && s[p] != 'e' && s[p] != 'E') ++p;
    } else if (p < s.size() && s[p] == '.') {
        ++p;
        while (p < s.size() && s[p] == '0') ++p, --e;
        while (p < s.size() && s[p] != 'e' && s[p] != 'E') ++p;
    }
    if (p < s.size()) {
        ++p;
        const bool neg = p < s.size() && s[p] == '-';
        if (p < s.size() && (s[p] == '-' || s[p] == '+')) ++p;
        long long x = 0;
        while (p < s.size() && x < 1000000) x = x * 10 + (s[p++] - '0');
        e += neg ? -x : x;
    }
    return e;
}

// Parses "[sign] digits [. digits] [e [sign] digits]" (or "[sign] . digits ..."), blanks around
// allowed. Returns false when the text is not such a number; `overflow` when it is one but too
// large for a double.
bool ParseNumber(std::wstring_view text, Num& out, bool& overflow) {
    overflow = false;
    const std::wstring_view s = TrimBlanks(text);
    size_t p = 0;
    bool negative = false;
    if (p < s.size() && (s[p] == L'+' || s[p] == L'-')) negative = s[p++] == L'-';
    const size_t mantissaStart = p;
    size_t intDigits = 0;
    while (p < s.size() && IsDigit(s[p])) ++p, ++intDigits;
    size_t fracDigits = 0;
    bool hasPoint = false;
    if (p < s.size() && s[p] == L'.') {
        hasPoint = true;
        ++p;
        while (p < s.size() && IsDigit(s[p])) ++p, ++fracDigits;
    }
    if (intDigits + fracDigits == 0) return false;
    bool hasExponent = false;
    if (p < s.size() && (s[p] == L'e' || s[p] == L'E')) {
        hasExponent = true;
        ++p;
        if (p < s.size() && (s[p] == L'+' || s[p] == L'-')) ++p;
        size_t expDigits = 0;
        while (p < s.size() && IsDigit(s[p])) ++p, ++expDigits;
        if (expDigits == 0) return false;
    }
    if (p != s.size()) return false;

    // The characters are all ASCII now.
    std::string ascii;
    ascii.reserve(s.size() - mantissaStart);
    for (size_t k = mantissaStart; k < s.size(); ++k) ascii.push_back(static_cast<char>(s[k]));

    if (!hasPoint && !hasExponent) {
        unsigned long long magnitude = 0;
        const auto r = std::from_chars(ascii.data(), ascii.data() + ascii.size(), magnitude);
        if (r.ec == std::errc()) {
            if (!negative) {
                if (magnitude <= static_cast<unsigned long long>(LLONG_MAX)) {
                    out.kind = Num::SIGNED;
                    out.i = static_cast<long long>(magnitude);
                } else {
                    out.kind = Num::UNSIGNED;
                    out.u = magnitude;
                }
                return true;
            }
            if (magnitude <= static_cast<unsigned long long>(LLONG_MAX) + 1ull) {
                out.kind = Num::SIGNED;
                out.i = magnitude == 0 ? 0 : -static_cast<long long>(magnitude - 1) - 1;
                return true;
            }
        }
        // Too large for a 64-bit integer: a real, which no integer kind takes (near 2^63 the
        // double alone could not tell).
        out.beyondInt64 = true;
    }
    double value = 0;
    const char* first = ascii.data();
    if (*first == '.') {
        // from_chars wants a digit before the point.
        ascii.insert(ascii.begin(), '0');
        first = ascii.data();
    }
    const auto r = std::from_chars(first, ascii.data() + ascii.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
        // Too small is zero, too large an overflow: tell them by the decimal exponent.
        if (DecimalExponent(ascii) > 0) {
            overflow = true;
            return true;
        }
        value = 0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    out.kind = Num::REAL;
    out.d = negative ? -value : value;
    return true;
}

// Rounds to the nearest integer, halves to the even neighbour.
double RoundHalfEven(double d) {
    const double fl = std::floor(d);
    const double diff = d - fl;
    if (diff > 0.5) return fl + 1.0;
    if (diff < 0.5) return fl;
    return std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1.0;
}

bool IsIntegerKind(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_INT:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool IsUnsignedKind(VARTYPE vt) {
    return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8 || vt == VT_UINT;
}

bool IsStringKind(VARTYPE vt) {
    return vt == VT_BSTR || vt == VT_LPSTR || vt == VT_LPWSTR;
}

// The range of an integer kind, as signed bounds (the top of VT_UI8 is handled apart).
void IntRange(VARTYPE vt, long long& lo, long long& hi) {
    switch (vt) {
        case VT_I1:
            lo = -128, hi = 127;
            return;
        case VT_UI1:
            lo = 0, hi = 255;
            return;
        case VT_I2:
            lo = -32768, hi = 32767;
            return;
        case VT_UI2:
            lo = 0, hi = 65535;
            return;
        case VT_I4:
        case VT_INT:
            lo = INT_MIN, hi = INT_MAX;
            return;
        case VT_UI4:
        case VT_UINT:
            lo = 0, hi = 4294967295ll;
            return;
        case VT_UI8:
            lo = 0, hi = LLONG_MAX;
            return;
        default:
            lo = LLONG_MIN, hi = LLONG_MAX;
            return;
    }
}

// The payload (in CVar's m_int form) of `n` as integer kind `to`; throws OVERFLOW_ERROR.
long long ToIntegerPayload(const Num& n, VARTYPE from, VARTYPE to) {
    long long lo = 0;
    long long hi = 0;
    IntRange(to, lo, hi);
    switch (n.kind) {
        case Num::SIGNED:
            if (n.i < lo || n.i > hi) Fail(CVarConversionException::OVERFLOW_ERROR, from, to);
            return n.i;
        case Num::UNSIGNED:
            if (to != VT_UI8) Fail(CVarConversionException::OVERFLOW_ERROR, from, to);
            return static_cast<long long>(n.u);
        case Num::REAL:
            break;
    }
    if (std::isnan(n.d) || n.beyondInt64) Fail(CVarConversionException::OVERFLOW_ERROR, from, to);
    const double r = RoundHalfEven(n.d);
    if (to == VT_UI8) {
        if (!(r >= 0.0 && r < 18446744073709551616.0)) {
            Fail(CVarConversionException::OVERFLOW_ERROR, from, to);
        }
        return static_cast<long long>(static_cast<unsigned long long>(r));
    }
    // 2^63 is the first double above LLONG_MAX; smaller kinds have exact double bounds.
    const double top = to == VT_I8 ? 9223372036854775808.0 : static_cast<double>(hi) + 1.0;
    if (!(r >= static_cast<double>(lo) && r < top)) {
        Fail(CVarConversionException::OVERFLOW_ERROR, from, to);
    }
    return static_cast<long long>(r);
}

OS::x_wstring RealToString(double d, int precision) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::general, precision);
    OS::x_wstring out;
    for (const char* c = buf; c != r.ptr; ++c) {
        const char ch = *c;
        out.push_back(ch == 'e' ? L'E' : static_cast<wchar_t>(ch));
    }
    if (out == L"inf") out = L"INF";
    if (out == L"-inf") out = L"-INF";
    if (out == L"nan" || out == L"-nan") out = L"NAN";
    return out;
}

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (blanks around allowed) to a date.
bool ParseDate(std::wstring_view text, DATE& out) {
    const std::wstring_view s = TrimBlanks(text);
    size_t p = 0;
    auto number = [&](size_t minDigits, size_t maxDigits, int& value) {
        size_t n = 0;
        value = 0;
        while (p < s.size() && IsDigit(s[p]) && n < maxDigits) {
            value = value * 10 + (s[p] - L'0');
            ++p, ++n;
        }
        return n >= minDigits;
    };
    auto literal = [&](wchar_t c) {
        if (p < s.size() && s[p] == c) {
            ++p;
            return true;
        }
        return false;
    };
    CalendarTime t;
    if (!number(4, 4, t.year) || !literal(L'-') || !number(1, 2, t.month) || !literal(L'-') ||
        !number(1, 2, t.day)) {
        return false;
    }
    t.hour = t.minute = t.second = 0;
    if (p < s.size()) {
        if (!literal(L' ')) return false;
        while (p < s.size() && s[p] == L' ') ++p;
        if (!number(1, 2, t.hour) || !literal(L':') || !number(1, 2, t.minute) || !literal(L':') ||
            !number(1, 2, t.second) || p != s.size()) {
            return false;
        }
    }
    return CalendarToVariantTime(t, out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

CVarConversionException::CVarConversionException(int code, VARTYPE from, VARTYPE to,
                                                 const wchar_t* file, int line)
    : OS::CException(code, file, line), m_from(from), m_to(to) {}

OS::x_wstring CVarConversionException::GetErrorMsg() const {
    OS::x_wstring out;
    out.Format(L"%ls converting variant type %u to %u.",
               m_nCode == OVERFLOW_ERROR ? L"Overflow" : L"Type mismatch",
               static_cast<unsigned>(m_from), static_cast<unsigned>(m_to));
    return out;
}

bool CalendarToVariantTime(const CalendarTime& in, DATE& out) {
    out = 0.0;
    if (in.year < 100 || in.year > 9999 || in.month < 1 || in.month > 12 || in.day < 1 ||
        in.day > DaysInMonth(in.year, in.month) || in.hour < 0 || in.hour > 23 || in.minute < 0 ||
        in.minute > 59 || in.second < 0 || in.second > 59 || in.millisecond < 0 ||
        in.millisecond > 999) {
        return false;
    }
    const long long days =
        DaysFromCivil(in.year, static_cast<unsigned>(in.month), static_cast<unsigned>(in.day)) -
        kEpochDays;
    const double fraction =
        (in.hour * 3600.0 + in.minute * 60.0 + in.second + in.millisecond / 1000.0) / 86400.0;
    // Before the epoch the whole part is the (negative) day and the fraction still counts
    // forward from that day's midnight: 1899-12-29 06:00 is -1.25.
    out = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    return true;
}

bool VariantTimeToCalendar(DATE in, CalendarTime& out) {
    if (!DateInRange(in)) return false;
    const double whole = std::trunc(in);
    const double fraction = std::fabs(in - whole);
    long long seconds = std::llround(fraction * 86400.0);
    long long day = kEpochDays + static_cast<long long>(whole);
    if (seconds >= 86400) {
        // Rounded up to the next midnight: the next calendar day, whatever the sign.
        seconds -= 86400;
        ++day;
    }
    CalendarTime t;
    CivilFromDays(day, t.year, t.month, t.day);
    if (t.year < 100 || t.year > 9999) return false;
    t.hour = static_cast<int>(seconds / 3600);
    t.minute = static_cast<int>(seconds / 60 % 60);
    t.second = static_cast<int>(seconds % 60);
    t.millisecond = 0;
    // 1970-01-01 was a Thursday.
    t.dayOfWeek = static_cast<int>(((day % 7) + 7 + 4) % 7);
    out = t;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Makers and setters

void CVar::SetKind(VARTYPE vt) {
    m_vt = vt;
    m_int = 0;
    m_real = 0;
    m_str.clear();
    m_bytes.clear();
}

CVar CVar::MakeInteger(VARTYPE vt, long long payload) {
    CVar out;
    out.SetKind(vt);
    out.m_int = payload;
    return out;
}

CVar CVar::MakeReal(VARTYPE vt, double v) {
    CVar out;
    out.SetKind(vt);
    out.m_real = v;
    return out;
}

CVar CVar::MakeString(VARTYPE vt, OS::x_wstring s) {
    CVar out;
    out.SetKind(vt);
    out.m_str = std::move(s);
    return out;
}

CVar CVar::FromDate(DATE d) {
    return MakeReal(VT_DATE, d);
}
CVar CVar::FromBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return FromBytes(std::vector<uint8_t>(p, p + (p ? size : 0)));
}
CVar CVar::FromBytes(std::vector<uint8_t> bytes) {
    CVar out;
    out.SetBytes(std::move(bytes));
    return out;
}
CVar CVar::FromUI2(unsigned short v) {
    return MakeInteger(VT_UI2, v);
}
CVar CVar::FromUI4(unsigned int v) {
    return MakeInteger(VT_UI4, v);
}
CVar CVar::FromInt(int v) {
    return MakeInteger(VT_INT, v);
}
CVar CVar::FromUInt(unsigned int v) {
    return MakeInteger(VT_UINT, v);
}
CVar CVar::FromI8(long long v) {
    return MakeInteger(VT_I8, v);
}
CVar CVar::FromUI8(unsigned long long v) {
    return MakeInteger(VT_UI8, static_cast<long long>(v));
}
CVar CVar::FromI1(signed char v) {
    return MakeInteger(VT_I1, v);
}
CVar CVar::FromUI1(unsigned char v) {
    return MakeInteger(VT_UI1, v);
}
CVar CVar::FromR4(float v) {
    return MakeReal(VT_R4, v);
}
CVar CVar::FromR8(double v) {
    return MakeReal(VT_R8, v);
}
CVar CVar::FromLPSTR(const std::string& utf8) {
    return MakeString(VT_LPSTR, OS::Utf8ToWide(utf8));
}
CVar CVar::FromLPWSTR(const OS::x_wstring& s) {
    return MakeString(VT_LPWSTR, s);
}
CVar CVar::Null() {
    CVar out;
    out.SetKind(VT_NULL);
    return out;
}

void CVar::SetI2(short v) {
    SetKind(VT_I2);
    m_int = v;
}
void CVar::SetI4(int v) {
    SetKind(VT_I4);
    m_int = v;
}
void CVar::SetBool(bool v) {
    SetKind(VT_BOOL);
    m_int = v ? VARIANT_TRUE : VARIANT_FALSE;
}
void CVar::SetString(OS::x_wstring s) {
    SetKind(VT_BSTR);
    m_str = std::move(s);
}
void CVar::SetDate(DATE d) {
    SetKind(VT_DATE);
    m_real = d;
}
void CVar::SetBytes(std::vector<uint8_t> bytes) {
    SetKind(VT_ARRAY_UI1);
    m_bytes = std::move(bytes);
}

// ---------------------------------------------------------------------------------------------
// Coercion

CVar CVar::ChangeType(VARTYPE target) const {
    if (target == m_vt) return *this;
    const VARTYPE from = m_vt;

    // Kinds that take part in no coercion but their own.
    if (from == VT_ARRAY_UI1 || target == VT_ARRAY_UI1) {
        Fail(CVarConversionException::TYPE_MISMATCH, from, target);
    }
    if (target == VT_EMPTY) return CVar();
    if (target == VT_NULL) {
        if (from != VT_EMPTY) Fail(CVarConversionException::TYPE_MISMATCH, from, target);
        return Null();
    }
    if (from == VT_NULL) Fail(CVarConversionException::TYPE_MISMATCH, from, target);

    const bool fromString = IsStringKind(from);

    // To a string kind.
    if (IsStringKind(target)) {
        OS::x_wstring text;
        if (fromString) {
            text = m_str;
        } else if (from == VT_EMPTY) {
            // "" as it stands.
        } else if (from == VT_BOOL) {
            text = m_int != 0 ? L"True" : L"False";
        } else if (IsIntegerKind(from)) {
            text = from == VT_UI8 ? std::to_wstring(static_cast<unsigned long long>(m_int))
                                  : std::to_wstring(m_int);
        } else if (from == VT_R8) {
            text = RealToString(m_real, 15);
        } else if (from == VT_R4) {
            text = RealToString(m_real, 7);
        } else if (from == VT_DATE) {
            CalendarTime t;
            if (!VariantTimeToCalendar(m_real, t)) {
                Fail(CVarConversionException::OVERFLOW_ERROR, from, target);
            }
            if (t.hour == 0 && t.minute == 0 && t.second == 0) {
                text.Format(L"%04d-%02d-%02d", t.year, t.month, t.day);
            } else {
                text.Format(L"%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                            t.minute, t.second);
            }
        } else {
            Fail(CVarConversionException::TYPE_MISMATCH, from, target);
        }
        return MakeString(target, std::move(text));
    }

    // Strings to dates read the calendar forms, not numbers.
    if (target == VT_DATE && fromString) {
        DATE d = 0;
        if (!ParseDate(m_str, d)) Fail(CVarConversionException::TYPE_MISMATCH, from, target);
        return FromDate(d);
    }

    // Strings to booleans take the words first.
    if (target == VT_BOOL && fromString) {
        const std::wstring_view word = TrimBlanks(m_str);
        if (OS::wcsicmp(word, L"true") == 0) return CVar(true);
        if (OS::wcsicmp(word, L"false") == 0) return CVar(false);
    }

    // Everything else goes through the numeric form.
    Num n;
    if (from == VT_EMPTY) {
        n.kind = Num::SIGNED;
    } else if (from == VT_BOOL) {
        n.kind = Num::SIGNED;
        n.i = m_int != 0 ? -1 : 0;
        // True is all bits set: an unsigned kind gets its largest value.
        if (n.i != 0 && IsUnsignedKind(target)) {
            long long lo = 0;
            long long hi = 0;
            IntRange(target, lo, hi);
            return MakeInteger(target, target == VT_UI8 ? -1 : hi);
        }
    } else if (IsIntegerKind(from)) {
        if (from == VT_UI8 && m_int < 0) {
            n.kind = Num::UNSIGNED;
            n.u = static_cast<unsigned long long>(m_int);
        } else {
            n.kind = Num::SIGNED;
            n.i = m_int;
        }
    } else if (from == VT_R4 || from == VT_R8 || from == VT_DATE) {
        n.kind = Num::REAL;
        n.d = m_real;
    } else if (fromString) {
        bool overflow = false;
        if (!ParseNumber(m_str, n, overflow)) {
            Fail(CVarConversionException::TYPE_MISMATCH, from, target);
        }
        if (overflow) Fail(CVarConversionException::OVERFLOW_ERROR, from, target);
    } else {
        Fail(CVarConversionException::TYPE_MISMATCH, from, target);
    }

    if (IsIntegerKind(target)) return MakeInteger(target, ToIntegerPayload(n, from, target));
    switch (target) {
        case VT_BOOL:
            return CVar(!n.IsZero());
        case VT_R8:
            return FromR8(n.AsDouble());
        case VT_R4: {
            const double d = n.AsDouble();
            if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
                Fail(CVarConversionException::OVERFLOW_ERROR, from, target);
            }
            return FromR4(static_cast<float>(d));
        }
        case VT_DATE: {
            const double d = n.AsDouble();
            if (!DateInRange(d)) Fail(CVarConversionException::OVERFLOW_ERROR, from, target);
            return FromDate(d);
        }
        default:
            break;
    }
    Fail(CVarConversionException::TYPE_MISMATCH, from, target);
}

short CVar::ToI2() const {
    return m_vt == VT_I2 ? GetI2() : ChangeType(VT_I2).GetI2();
}
int CVar::ToI4() const {
    return m_vt == VT_I4 ? GetI4() : ChangeType(VT_I4).GetI4();
}
bool CVar::ToBool() const {
    return (m_vt == VT_BOOL ? m_int : ChangeType(VT_BOOL).m_int) != 0;
}
OS::x_wstring CVar::ToString() const {
    return m_vt == VT_BSTR ? m_str : ChangeType(VT_BSTR).m_str;
}
DATE CVar::ToDate() const {
    return m_vt == VT_DATE ? m_real : ChangeType(VT_DATE).m_real;
}
double CVar::ToR8() const {
    return m_vt == VT_R8 ? m_real : ChangeType(VT_R8).m_real;
}

bool CVar::operator==(const CVar& other) const {
    if (m_vt != other.m_vt) return false;
    switch (m_vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_R4:
        case VT_R8:
        case VT_DATE:
            return m_real == other.m_real;
        case VT_BSTR:
        case VT_LPSTR:
        case VT_LPWSTR:
            return m_str == other.m_str;
        case VT_ARRAY_UI1:
            return m_bytes == other.m_bytes;
        default:
            return m_int == other.m_int;
    }
}
