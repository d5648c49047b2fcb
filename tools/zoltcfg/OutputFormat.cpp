// Value and table formatting for zoltcfg (see OutputFormat.h).
// Thread rule: no shared state.
#include "tools/zoltcfg/OutputFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>

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

void PrintTable(std::ostream& out, const std::vector<std::string>& header, size_t rows,
                const std::function<std::string(size_t, size_t)>& cell) {
    // Characters, not bytes: continuation bytes of UTF-8 sequences do not count.
    auto length = [](const std::string& s) {
        return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    };
    auto printable = [](std::string s) {
        const bool plain = std::none_of(s.begin(), s.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < 0x20 || u == 0x7F;
        });
        return plain ? s : Printable(s);
    };
    // Row 0 is the header. Cells are asked for twice, for the widths and for the text, and
    // never all held at once; a large table is written in a few large pieces.
    const size_t columns = header.size();
    const auto text = [&](size_t row, size_t column) {
        return printable(row == 0 ? header[column] : cell(row - 1, column));
    };
    std::vector<size_t> width(columns, 0);
    for (size_t row = 0; row <= rows; ++row)
        for (size_t c = 0; c < columns; ++c) width[c] = std::max(width[c], length(text(row, c)));
    std::string lines;
    for (size_t row = 0; row <= rows; ++row) {
        for (size_t c = 0; c < columns; ++c) {
            const std::string t = text(row, c);
            lines += t;
            if (c + 1 < columns) lines.append(width[c] - length(t) + 2, ' ');
        }
        // The last cells of a row may be empty: the padding behind the last text goes.
        while (!lines.empty() && lines.back() == ' ') lines.pop_back();
        lines += '\n';
        if (lines.size() >= (1 << 16)) {
            out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
            lines.clear();
        }
    }
    out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
    static const std::string kNone;
    PrintTable(out, header, rows.size(), [&](size_t row, size_t column) {
        return column < rows[row].size() ? rows[row][column] : kNone;
    });
}

}  // namespace zoltcli
