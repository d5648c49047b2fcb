// NS_StringUtils splitting and path helpers.
// Thread rule: no shared state.
#include "outside/common/StringUtils.h"

namespace NS_StringUtils {

void splitWords(const x_wstring& text, wchar_t sep, std::vector<x_wstring>& out) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == x_wstring::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

int GetStrings(const x_wstring& text, const x_wstring& separators, std::vector<x_wstring>& list) {
    int count = 0;
    size_t pos = text.find_first_not_of(separators);
    while (pos != x_wstring::npos) {
        size_t end = text.find_first_of(separators, pos);
        if (end == x_wstring::npos) end = text.size();
        list.push_back(text.substr(pos, end - pos));
        ++count;
        pos = text.find_first_not_of(separators, end);
    }
    return count;
}

x_wstring concatPath(const x_wstring& first, const x_wstring& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    const bool a = first.back() == L'/';
    const bool b = second.front() == L'/';
    if (a && b) return first + second.substr(1);
    if (a || b) return first + second;
    return first + L"/" + second;
}

x_wstring Trim(const x_wstring& text) {
    static const wchar_t kBlanks[] = L" \t\r\n";
    const size_t b = text.find_first_not_of(kBlanks);
    if (b == x_wstring::npos) return {};
    const size_t e = text.find_last_not_of(kBlanks);
    return text.substr(b, e - b + 1);
}

}  // namespace NS_StringUtils

std::vector<OS::x_wstring> SplitStringToTokensW(const OS::x_wstring& text,
                                                const OS::x_wstring& separators) {
    std::vector<OS::x_wstring> out;
    NS_StringUtils::GetStrings(text, separators, out);
    return out;
}
