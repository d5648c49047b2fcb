// The store interface's out-of-line parts and the key of a stored setting: its string forms
// "policy:subject" and "server:policy:subject", their parsing, and the case-insensitive ordering
// of keys that every map of stored settings uses.
// Thread rule: keys are value types; distinct keys may be used from distinct threads.
#include <string_view>

#include "cfg_Storage.h"

namespace {

inline wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
}

// Walks server + policy + subject as one string without building it: the ordering key is the
// plain concatenation, with nothing between the three parts. Hands out the rest of the current
// part as one contiguous run, so comparisons proceed run by run.
class CKeyCursor {
  public:
    CKeyCursor(std::wstring_view a, std::wstring_view b, std::wstring_view c) : m_parts{a, b, c} {
        Skip();
    }
    bool AtEnd() const { return m_part == 3; }
    // The unread rest of the current part (never empty unless at the end).
    std::wstring_view Run() const { return m_parts[m_part].substr(m_pos); }
    void Advance(size_t n) {
        m_pos += n;
        Skip();
    }

  private:
    // Moves past exhausted parts.
    void Skip() {
        while (m_part < 3 && m_pos >= m_parts[m_part].size()) {
            ++m_part;
            m_pos = 0;
        }
    }
    std::wstring_view m_parts[3];
    size_t m_part = 0;
    size_t m_pos = 0;
};

}  // namespace

CCfgSettingDBBase::~CCfgSettingDBBase() = default;

CCfgSettingDBBase::CCfgIndex::CCfgIndex(const OS::x_wstring& server, const SubjectPair& subjects)
    : m_strServer(server), m_pairSubject(subjects) {}

CCfgSettingDBBase::CCfgIndex::CCfgIndex(const CCfgIndex& other)
    : m_strServer(other.m_strServer), m_pairSubject(other.m_pairSubject) {}

CCfgSettingDBBase::CCfgIndex& CCfgSettingDBBase::CCfgIndex::operator=(const CCfgIndex& other) {
    if (this != &other) {
        m_strServer = other.m_strServer;
        m_pairSubject.first = other.m_pairSubject.first;
        m_pairSubject.second = other.m_pairSubject.second;
    }
    return *this;
}

CCfgSettingDBBase::CCfgIndex::~CCfgIndex() = default;

int CCfgSettingDBBase::CCfgIndex::Compare(const CCfgIndex& other) const {
    CKeyCursor a(m_strServer, m_pairSubject.first.Str(), m_pairSubject.second.Str());
    CKeyCursor b(other.m_strServer, other.m_pairSubject.first.Str(),
                 other.m_pairSubject.second.Str());
    while (!a.AtEnd() && !b.AtEnd()) {
        const std::wstring_view ra = a.Run();
        const std::wstring_view rb = b.Run();
        const size_t n = ra.size() < rb.size() ? ra.size() : rb.size();
        for (size_t i = 0; i < n; ++i) {
            if (ra[i] == rb[i]) continue;
            const wchar_t ca = FoldAscii(ra[i]);
            const wchar_t cb = FoldAscii(rb[i]);
            if (ca != cb) return ca < cb ? -1 : 1;
        }
        a.Advance(n);
        b.Advance(n);
    }
    if (a.AtEnd() && b.AtEnd()) return 0;
    return a.AtEnd() ? -1 : 1;
}

bool CCfgSettingDBBase::CCfgIndex::operator==(const CCfgIndex& other) const {
    return Compare(other) == 0;
}

OS::x_wstring CCfgSettingDBBase::CCfgIndex::GetIndexValue() const {
    OS::x_wstring value = m_pairSubject.first.ToString();
    value += L':';
    value += m_pairSubject.second.Str();
    return value;
}

OS::x_wstring CCfgSettingDBBase::CCfgIndex::GetIndexValueWithServerName() const {
    OS::x_wstring value = m_strServer;
    value += L':';
    value += GetIndexValue();
    return value;
}

void CCfgSettingDBBase::CCfgIndex::SetIndexValue(const OS::x_wstring& value) {
    // Tokens are the maximal runs of non-colon characters, as wcstok with ":" yields them.
    OS::x_wstring tokens[2];
    size_t found = 0;
    size_t pos = 0;
    while (found < 2) {
        const size_t start = value.find_first_not_of(L':', pos);
        if (start == OS::x_wstring::npos) break;
        size_t end = value.find(L':', start);
        if (end == OS::x_wstring::npos) end = value.size();
        tokens[found++] = value.substr(start, end - start);
        pos = end;
    }
    m_pairSubject.first = CSubjectID(tokens[0]);
    m_pairSubject.second = CSubjectID(tokens[1]);
}
