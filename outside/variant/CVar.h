// CVar: the field value, an automation-style variant with a 16-bit type tag and a payload,
// and the automation coercions between its kinds; automation dates (days since 1899-12-30,
// fraction = time of day) and their calendar conversions.
//
// A failed coercion throws CVarConversionException (the variant conversion error) and leaves
// the source untouched.
// Thread rule: a value type; distinct objects may be used from distinct threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cfg_Export.h"
#include "outside/common/CException.h"
#include "outside/common/x_wstring.h"

using VARTYPE = unsigned short;
using DATE = double;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_ARRAY = 0x2000,
};
constexpr VARTYPE VT_ARRAY_UI1 = VT_ARRAY | VT_UI1;  // 0x2011, an array of bytes
constexpr short VARIANT_TRUE = -1;
constexpr short VARIANT_FALSE = 0;

// The variant conversion error. Codes are the automation HRESULTs.
class ZOLTCFG_API CVarConversionException : public OS::CException {
  public:
    static constexpr int TYPE_MISMATCH = static_cast<int>(0x80020005u);   // DISP_E_TYPEMISMATCH
    static constexpr int OVERFLOW_ERROR = static_cast<int>(0x8002000Au);  // DISP_E_OVERFLOW
    CVarConversionException(int code, VARTYPE from, VARTYPE to, const wchar_t* file, int line);
    VARTYPE GetFromType() const { return m_from; }
    VARTYPE GetToType() const { return m_to; }
    // "Type mismatch converting variant type 8 to 2." or "Overflow converting ...".
    OS::x_wstring GetErrorMsg() const override;

  private:
    VARTYPE m_from;
    VARTYPE m_to;
};

// A broken-down calendar time as the automation date conversions use it.
struct CalendarTime {
    int year = 1899;  // 100 .. 9999
    int month = 12;   // 1 .. 12
    int day = 30;     // 1 .. 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 0;  // 0 = Sunday; ignored when converting to a date
};

// Calendar time to automation date; false (and `out` = 0.0) when a member is out of range.
// Milliseconds are kept as a fraction of a second.
ZOLTCFG_API bool CalendarToVariantTime(const CalendarTime& in, DATE& out);
// Automation date to calendar time, rounded to the nearest second (milliseconds 0); false when
// the date is outside years 100 to 9999.
ZOLTCFG_API bool VariantTimeToCalendar(DATE in, CalendarTime& out);

class ZOLTCFG_API CVar {
  public:
    CVar() = default;  // VT_EMPTY
    CVar(const CVar&) = default;
    CVar(CVar&&) noexcept = default;
    CVar& operator=(const CVar&) = default;
    CVar& operator=(CVar&&) noexcept = default;
    ~CVar() = default;

    CVar(short v) { SetI2(v); }                                              // VT_I2
    CVar(int v) { SetI4(v); }                                                // VT_I4
    CVar(bool v) { SetBool(v); }                                             // VT_BOOL, -1 or 0
    CVar(const wchar_t* s) { SetString(s ? s : L""); }                       // VT_BSTR
    CVar(const OS::x_wstring& s) { SetString(s); }                           // VT_BSTR
    CVar(const std::wstring& s) { SetString(s); }                            // VT_BSTR
    CVar(const char* utf8) { SetString(OS::Utf8ToWide(utf8 ? utf8 : "")); }  // VT_BSTR

    // Named makers for the other kinds.
    static CVar FromDate(DATE d);
    static CVar FromBytes(const void* data, size_t size);
    static CVar FromBytes(std::vector<uint8_t> bytes);
    static CVar FromUI2(unsigned short v);
    static CVar FromUI4(unsigned int v);
    static CVar FromInt(int v);            // VT_INT
    static CVar FromUInt(unsigned int v);  // VT_UINT
    static CVar FromI8(long long v);
    static CVar FromR8(double v);
    static CVar FromLPSTR(const std::string& utf8);
    static CVar FromLPWSTR(const OS::x_wstring& s);
    static CVar Null();  // VT_NULL
    static CVar FromI1(signed char v);
    static CVar FromUI1(unsigned char v);
    static CVar FromUI8(unsigned long long v);
    static CVar FromR4(float v);

    void Clear() { *this = CVar(); }
    void SetI2(short v);
    void SetI4(int v);
    void SetBool(bool v);
    void SetString(OS::x_wstring s);  // VT_BSTR
    void SetDate(DATE d);
    void SetBytes(std::vector<uint8_t> bytes);

    VARTYPE vt() const { return m_vt; }
    bool IsEmpty() const { return m_vt == VT_EMPTY; }
    bool IsString() const { return m_vt == VT_BSTR || m_vt == VT_LPSTR || m_vt == VT_LPWSTR; }
    bool IsByteArray() const { return m_vt == VT_ARRAY_UI1; }

    // Raw payload access. REQUIRES: the kind named (GetString: any string kind; GetBytes:
    // VT_ARRAY_UI1; GetNumber: any numeric kind, VT_BOOL or VT_DATE).
    short GetI2() const { return static_cast<short>(m_int); }
    int GetI4() const { return static_cast<int>(m_int); }
    short GetBoolRaw() const { return static_cast<short>(m_int); }
    DATE GetDate() const { return m_real; }
    const OS::x_wstring& GetString() const { return m_str; }
    const std::vector<uint8_t>& GetBytes() const { return m_bytes; }
    long long GetInt64() const { return m_int; }
    unsigned long long GetUInt64() const { return static_cast<unsigned long long>(m_int); }
    double GetReal() const { return m_real; }

    // The automation coercion to `target` (VT_I2, VT_I4, VT_BOOL, VT_BSTR, VT_DATE, VT_R8, VT_UI2,
    // VT_UI4, VT_I8 and the like). Returns a copy when already of that kind.
    // Throws CVarConversionException (TYPE_MISMATCH or OVERFLOW_ERROR).
    CVar ChangeType(VARTYPE target) const;
    void ChangeTypeInPlace(VARTYPE target) { *this = ChangeType(target); }

    // Shorthands for ChangeType.
    short ToI2() const;
    int ToI4() const;
    bool ToBool() const;  // non-zero is true
    OS::x_wstring ToString() const;
    DATE ToDate() const;
    double ToR8() const;

    // Same kind and same value.
    bool operator==(const CVar& other) const;
    bool operator!=(const CVar& other) const { return !(*this == other); }

  private:
    // Makes this a zero value of kind `vt`, dropping any other payload.
    void SetKind(VARTYPE vt);
    static CVar MakeInteger(VARTYPE vt, long long payload);
    static CVar MakeReal(VARTYPE vt, double v);
    static CVar MakeString(VARTYPE vt, OS::x_wstring s);

    VARTYPE m_vt = VT_EMPTY;
    long long m_int = 0;           // integer kinds and VT_BOOL (signed or unsigned per the kind)
    double m_real = 0;             // VT_R4, VT_R8, VT_DATE
    OS::x_wstring m_str;           // VT_BSTR, VT_LPWSTR, VT_LPSTR (kept wide)
    std::vector<uint8_t> m_bytes;  // VT_ARRAY_UI1
};
