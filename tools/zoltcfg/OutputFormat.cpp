// Value and table formatting for zoltcfg (see OutputFormat.h).
// Thread rule: no shared state.
#include "tools/zoltcfg/OutputFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <deque>

namespace zoltcli {

namespace {
// Collects the stored values of a setting.
class CCollectFields : public CCfgSettingCategoryBase::CFieldInfoCallback {
  public:
    bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
        m_Fields.emplace_back(name.ToUtf8(), value);
        return true;
    }
    FieldList m_Fields;
};
}  // namespace

FieldList OrderedFields(const CCfgSettingCategoryBase& setting, const CCliCategory& category) {
    CCollectFields collect;
    setting.EnumerateFieldValue(collect);
    FieldList ordered;
    std::vector<bool> taken(collect.m_Fields.size(), false);
    for (const auto& f : category.fields)
        for (size_t i = 0; i < collect.m_Fields.size(); ++i)
            if (!taken[i] && OS::wcsicmp(OS::x_wstring::FromUtf8(collect.m_Fields[i].first),
                                         OS::x_wstring::FromUtf8(f.name)) == 0) {
                ordered.push_back(collect.m_Fields[i]);
                taken[i] = true;
            }
    for (size_t i = 0; i < collect.m_Fields.size(); ++i)
        if (!taken[i]) ordered.push_back(collect.m_Fields[i]);
    return ordered;
}

namespace {

std::string ShortestDouble(double d) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
    return ec == std::errc() ? std::string(buf, p) : std::to_string(d);
}

std::string FormatDate(DATE d) {
    CalendarTime ct;
    if (!VariantTimeToCalendar(d, ct)) return ShortestDouble(d);
    char buf[32];
    if (ct.hour == 0 && ct.minute == 0 && ct.second == 0)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", ct.year, ct.month, ct.day);
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", ct.year, ct.month, ct.day,
                      ct.hour, ct.minute, ct.second);
    return buf;
}

std::string FormatBytes(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 0xF];
    }
    return s;
}

}  // namespace

std::string FormatValue(const CVar& value) {
    switch (value.vt()) {
        case VT_EMPTY:
        case VT_NULL:
            return "(null)";
        case VT_BOOL:
            return value.GetBoolRaw() != 0 ? "true" : "false";
        case VT_DATE:
            return FormatDate(value.GetDate());
        case VT_R4:
        case VT_R8:
            return ShortestDouble(value.GetReal());
        case VT_ARRAY_UI1:
            return FormatBytes(value.GetBytes());
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_INT:
            return std::to_string(value.GetInt64());
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_UINT:
            return std::to_string(value.GetUInt64());
        default:
            if (value.IsString()) return value.GetString().ToUtf8();
            try {
                return value.ToString().ToUtf8();
            } catch (const OS::CException&) {
                return "(value of kind " + std::to_string(value.vt()) + ")";
            }
    }
}

nlohmann::ordered_json ValueToJson(const CVar& value) {
    switch (value.vt()) {
        case VT_EMPTY:
        case VT_NULL:
            return nullptr;
        case VT_BOOL:
            return value.GetBoolRaw() != 0;
        case VT_R4:
        case VT_R8:
            return value.GetReal();
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_INT:
            return value.GetInt64();
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_UINT:
            return value.GetUInt64();
        default:
            return FormatValue(value);
    }
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rawRows) {
    // Characters, not bytes: continuation bytes of UTF-8 sequences do not count.
    auto length = [](const std::string& s) {
        return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    };
    auto needsEscape = [](const std::string& s) {
        return std::any_of(s.begin(), s.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < 0x20 || u == 0x7F;
        });
    };
    // A cell is copied only when it has characters to escape; a large table is written in a
    // few large pieces.
    const size_t columns = header.size();
    std::deque<std::string> escaped;  // keeps its elements in place as it grows
    std::vector<const std::string*> cells;
    cells.reserve((rawRows.size() + 1) * columns);
    const auto add = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < columns; ++i) {
            if (i >= row.size()) {
                cells.push_back(nullptr);
            } else if (needsEscape(row[i])) {
                cells.push_back(&escaped.emplace_back(Printable(row[i])));
            } else {
                cells.push_back(&row[i]);
            }
        }
    };
    add(header);
    for (const auto& r : rawRows) add(r);
    std::vector<size_t> width(columns, 0), lengths(cells.size(), 0);
    for (size_t k = 0; k < cells.size(); ++k)
        if (cells[k])
            width[k % columns] = std::max(width[k % columns], lengths[k] = length(*cells[k]));
    std::string text;
    for (size_t row = 0; row < cells.size() / columns; ++row) {
        // A row ends after its last cell, without the padding behind it.
        size_t last = columns;
        while (last > 0 && !cells[row * columns + last - 1]) --last;
        for (size_t i = 0; i < last; ++i) {
            const size_t k = row * columns + i;
            if (cells[k]) text += *cells[k];
            if (i + 1 < last) text.append(width[i] - lengths[k] + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        text += '\n';
        if (text.size() >= (1 << 16)) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace zoltcli
