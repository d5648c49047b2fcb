// OS::x_wstring operations and the UTF-8 conversions.
// Thread rule: no shared state.
#include "outside/common/x_wstring.h"

#include <cwchar>
#include <vector>

namespace OS {
namespace {

inline wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

int wcsicmp(std::wstring_view a, std::wstring_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const wchar_t ca = FoldAscii(a[i]);
        const wchar_t cb = FoldAscii(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int wcsicmp(const wchar_t* a, const wchar_t* b) {
    return wcsicmp(std::wstring_view(a ? a : L""), std::wstring_view(b ? b : L""));
}

int x_wstring::CompareNoCase(const wchar_t* other) const {
    return wcsicmp(std::wstring_view(*this), std::wstring_view(other ? other : L""));
}

void x_wstring::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void x_wstring::FormatV(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = std::vswprintf(buf.data(), buf.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) {
            assign(buf.data(), static_cast<size_t>(n));
            return;
        }
        // vswprintf reports -1 both for a short buffer and for a bad format; stop growing at
        // a bound so that a bad format cannot loop forever.
        if (buf.size() >= (1u << 24)) {
            clear();
            return;
        }
        buf.resize(buf.size() * 4);
    }
}

int x_wstring::FindAndReplace(const x_wstring& what, const x_wstring& with, size_type from) {
    if (what.empty()) return 0;
    int count = 0;
    size_type pos = find(what, from);
    while (pos != npos) {
        replace(pos, what.size(), with);
        ++count;
        pos = find(what, pos + with.size());
    }
    return count;
}

std::string x_wstring::ToUtf8() const {
    return WideToUtf8(*this);
}
x_wstring x_wstring::FromUtf8(std::string_view utf8) {
    return Utf8ToWide(utf8);
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) AppendUtf8(out, static_cast<uint32_t>(c));
    return out;
}

x_wstring Utf8ToWide(std::string_view s) {
    x_wstring out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t len;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            len = 2;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            len = 3;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07;
            len = 4;
        } else {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        bool ok = i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
            } else {
                cp = (cp << 6) | (b & 0x3F);
            }
        }
        // Reject overlong forms, surrogates and values beyond Unicode.
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += len;
    }
    return out;
}

}  // namespace OS
