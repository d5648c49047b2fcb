// CINIReader: whole-file read, split into lines, and the per-line token split.
// Thread rule: see CINIReader.h.
#include "outside/ini/CINIReader.h"

#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>

bool CINIReader::CIterateEachTokenCallback::IsComment(const wchar_t* token,
                                                      const wchar_t* marker) const {
    if (!token || !marker || !*marker) return false;
    return std::wcsncmp(token, marker, std::wcslen(marker)) == 0;
}

int CINIReader::CIterateEachLineCallback::Enumerate(CIterateEachTokenCallback& tokens) {
    const wchar_t* line = tokens.GetLineContent();
    const wchar_t* delimiters = tokens.GetDelimiter();
    if (!line) return 0;
    if (!delimiters) delimiters = L"";
    const OS::x_wstring text(line);
    int position = 0;
    size_t at = text.find_first_not_of(delimiters);
    while (at != OS::x_wstring::npos) {
        size_t end = text.find_first_of(delimiters, at);
        const OS::x_wstring token =
            text.substr(at, end == OS::x_wstring::npos ? OS::x_wstring::npos : end - at);
        const bool more = tokens(position, token.c_str());
        ++position;
        if (!more || end == OS::x_wstring::npos) break;
        at = text.find_first_not_of(delimiters, end);
    }
    return position;
}

bool CINIReader::Parse(const wchar_t* file, const wchar_t* mode) {
    m_vecLines.clear();
    if (!file || !mode || std::wcscmp(mode, L"r") != 0) return false;
    std::ifstream in(OS::x_wstring(file).ToUtf8(), std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        std::string line =
            bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m_vecLines.push_back(OS::x_wstring::FromUtf8(line));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

void CINIReader::Enumerate(CIterateEachLineCallback& lines) const {
    for (const auto& line : m_vecLines)
        if (!lines(line.c_str())) return;
}
