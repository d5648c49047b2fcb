// OS::x_wstring: the wide string that every signature of the library uses.
//
// An std::wstring (wchar_t text, one code point per wchar_t on Linux) with the few extra
// operations the library relies on: case-insensitive comparison folding ASCII letters only,
// printf-style formatting, find-and-replace and UTF-8 conversion.
// Thread rule: a value type; distinct objects may be used from distinct threads.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "cfg_Export.h"

namespace OS {

// Compares two wide strings folding ASCII letters only: <0, 0 or >0 like wcscmp.
ZOLTCFG_API int wcsicmp(const wchar_t* a, const wchar_t* b);
ZOLTCFG_API int wcsicmp(std::wstring_view a, std::wstring_view b);

class ZOLTCFG_API x_wstring : public std::wstring {
  public:
    using std::wstring::wstring;
    x_wstring() = default;
    x_wstring(const std::wstring& s) : std::wstring(s) {}
    x_wstring(std::wstring&& s) noexcept : std::wstring(std::move(s)) {}
    x_wstring(const wchar_t* s) : std::wstring(s ? s : L"") {}

    bool IsEmpty() const { return empty(); }
    x_wstring substr(size_type pos = 0, size_type count = npos) const {
        return x_wstring(std::wstring::substr(pos, count));
    }
    // 0 when equal without regard to ASCII letter case.
    int CompareNoCase(const wchar_t* other) const;
    // Replaces the content with the printf-style formatted text (wide format: %ls for wide
    // strings, %s for narrow ones).
    void Format(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);
    // Replaces every occurrence of `what` found at or after `from` with `with`; returns the count.
    int FindAndReplace(const x_wstring& what, const x_wstring& with, size_type from = 0);

    // UTF-8 conversions. Invalid input becomes U+FFFD, never an error.
    std::string ToUtf8() const;
    static x_wstring FromUtf8(std::string_view utf8);
};

// UTF-8 helpers used by the conversions above and by the narrow (ANSI) interfaces.
ZOLTCFG_API std::string WideToUtf8(std::wstring_view text);
ZOLTCFG_API x_wstring Utf8ToWide(std::string_view utf8);

// Orders names by wcsicmp: the ordering of field maps and indexes.
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const { return wcsicmp(a, b) < 0; }
};

}  // namespace OS

template <>
struct std::hash<OS::x_wstring> {
    size_t operator()(const OS::x_wstring& s) const noexcept {
        return std::hash<std::wstring>()(s);
    }
};
