// Parsing of typed field values for zoltcfg (see ValueParse.h).
// Thread rule: no shared state.
#include "tools/zoltcfg/ValueParse.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <vector>

#include "cfg_Setting.h"
#include "outside/common/CException.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/OutputFormat.h"

namespace zoltcli {

namespace {

struct CKindName {
    const char* name;
    VARTYPE kind;
};
constexpr CKindName kKinds[] = {
    {"string", VT_BSTR}, {"int16", VT_I2},  {"int32", VT_I4},  {"int64", VT_I8},
    {"bool", VT_BOOL},   {"date", VT_DATE}, {"double", VT_R8}, {"bytes", VT_ARRAY_UI1},
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

CCliError NotA(const std::string& text, VARTYPE kind, const std::string& why = "") {
    return Refused(Quoted(text) + " is not a valid " + KindName(kind) +
                   (why.empty() ? "" : " (" + why + ")") + ".");
}

template <typename T>
bool WholeNumber(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    const char* begin = text.data();
    if (begin != end && *begin == '+') ++begin;
    auto [p, ec] = std::from_chars(begin, end, out);
    return ec == std::errc() && p == end && begin != end;
}

CVar ParseInteger(const std::string& text, VARTYPE kind) {
    long long v = 0;
    if (!WholeNumber(text, v)) {
        // Tell a number that is too large from one that is not a number at all.
        const bool digits =
            !text.empty() && text.find_first_not_of("+-0123456789") == std::string::npos;
        throw NotA(text, kind, digits ? "out of range" : "expected a whole number");
    }
    const long long lo = kind == VT_I2   ? std::numeric_limits<short>::min()
                         : kind == VT_I4 ? std::numeric_limits<int>::min()
                                         : std::numeric_limits<long long>::min();
    const long long hi = kind == VT_I2   ? std::numeric_limits<short>::max()
                         : kind == VT_I4 ? std::numeric_limits<int>::max()
                                         : std::numeric_limits<long long>::max();
    if (v < lo || v > hi)
        throw NotA(text, kind, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    if (kind == VT_I2) return CVar(static_cast<short>(v));
    if (kind == VT_I4) return CVar(static_cast<int>(v));
    return CVar::FromI8(v);
}

CVar ParseBool(const std::string& text) {
    std::string t;
    for (char c : text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "1" || t == "true" || t == "yes" || t == "on") return CVar(true);
    if (t == "0" || t == "false" || t == "no" || t == "off") return CVar(false);
    throw NotA(text, VT_BOOL, "expected 1, true, yes, on, 0, false, no or off");
}

bool ParseDouble(const std::string& text, double& out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}

// YYYY-MM-DD with an optional time of day HH:MM[:SS], separated by a blank or a T.
bool ParseCalendar(const std::string& text, CalendarTime& ct) {
    auto number = [&](size_t pos, size_t len, int& out) {
        if (pos + len > text.size()) return false;
        for (size_t i = pos; i < pos + len; ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        out = std::stoi(text.substr(pos, len));
        return true;
    };
    if (!number(0, 4, ct.year) || text.size() < 10 || text[4] != '-' || text[7] != '-' ||
        !number(5, 2, ct.month) || !number(8, 2, ct.day))
        return false;
    ct.hour = ct.minute = ct.second = ct.millisecond = 0;
    if (text.size() == 10) return true;
    if ((text[10] != ' ' && text[10] != 'T') || text.size() < 16 || text[13] != ':' ||
        !number(11, 2, ct.hour) || !number(14, 2, ct.minute))
        return false;
    if (text.size() == 16) return true;
    return text.size() == 19 && text[16] == ':' && number(17, 2, ct.second);
}

CVar ParseDate(const std::string& text) {
    CalendarTime ct;
    DATE d = 0;
    if (ParseCalendar(text, ct)) {
        if (ct.hour > 23 || ct.minute > 59 || ct.second > 59)
            throw NotA(text, VT_DATE, "no such time");
        if (!CalendarToVariantTime(ct, d)) throw NotA(text, VT_DATE, "no such day");
        // The conversion rolls impossible days over (February 30th): refuse those instead.
        CalendarTime back;
        if (!VariantTimeToCalendar(d, back) || back.year != ct.year || back.month != ct.month ||
            back.day != ct.day)
            throw NotA(text, VT_DATE, "no such day");
        return CVar::FromDate(d);
    }
    if (ParseDouble(text, d)) {
        CalendarTime check;
        if (!VariantTimeToCalendar(d, check))
            throw NotA(text, VT_DATE, "outside years 100 to 9999");
        return CVar::FromDate(d);
    }
    throw NotA(text, VT_DATE, "expected YYYY-MM-DD or YYYY-MM-DD HH:MM:SS");
}

CVar ParseBytes(const std::string& text) {
    if (text.size() % 2 != 0) throw NotA(text, VT_ARRAY_UI1, "an odd number of hexadecimal digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned int b = 0;
        auto [p, ec] = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
        if (ec != std::errc() || p != text.data() + i + 2)
            throw NotA(text, VT_ARRAY_UI1, "expected hexadecimal digits");
        bytes.push_back(static_cast<uint8_t>(b));
    }
    return CVar::FromBytes(std::move(bytes));
}

// `value` when the setting format carries its kind; a value of a kind that travels as its tag
// alone would reach the daemon empty and be stored as NULL, so it is refused instead. The
// format itself decides: the value is written and read back as the daemon will read it.
// `prefix` starts the refusal's sentence.
CVar Carried(CVar value, const std::string& prefix = "") {
    if (value.IsEmpty()) return value;
    CIPCMsgBuffer buf(64, false);
    CCfgSettingCategoryBase::CVarToBuffer(value, buf);
    CVar back;
    CCfgSettingCategoryBase::CVarFromBuffer(back, buf);
    if (back.IsEmpty())
        throw Refused(prefix + "a value of kind " + KindName(value.vt()) +
                      " cannot be written (the daemon would store it as no value).");
    return value;
}

CVar JsonValue(const nlohmann::json& value, VARTYPE fieldKind);

}  // namespace

std::optional<VARTYPE> KindFromName(const std::string& name) {
    for (const auto& k : kKinds)
        if (name == k.name) return k.kind;
    return std::nullopt;
}

std::string KindName(VARTYPE kind) {
    for (const auto& k : kKinds)
        if (kind == k.kind) return k.name;
    return "vt " + std::to_string(kind);
}

CAssignment ParseAssignment(const std::string& arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos)
        throw Usage(Quoted(arg) + " is not of the form FIELD=VALUE or FIELD:KIND=VALUE.");
    CAssignment a;
    a.field = arg.substr(0, eq);
    a.text = arg.substr(eq + 1);
    if (const auto colon = a.field.find(':'); colon != std::string::npos) {
        const std::string kindName = a.field.substr(colon + 1);
        a.field.resize(colon);
        a.kind = KindFromName(kindName);
        if (!a.kind)
            throw Usage(Quoted(kindName) +
                        " is not a value kind (use string, int16, int32, int64, bool, date, "
                        "double or bytes).");
    }
    if (a.field.empty()) throw Usage(Quoted(arg) + " names no field before '='.");
    return a;
}

CVar ParseValue(const std::string& text, VARTYPE kind) {
    switch (kind) {
        case VT_BSTR:
        case VT_EMPTY:
            return CVar(OS::x_wstring::FromUtf8(text));
        case VT_I2:
        case VT_I4:
        case VT_I8:
            return ParseInteger(text, kind);
        case VT_BOOL:
            return ParseBool(text);
        case VT_DATE:
            return ParseDate(text);
        case VT_R8: {
            double d = 0;
            if (!ParseDouble(text, d)) throw NotA(text, kind, "expected a number");
            return CVar::FromR8(d);
        }
        case VT_ARRAY_UI1:
            return ParseBytes(text);
        default:
            throw NotA(text, kind, "this kind cannot be typed");
    }
}

CVar ValueForField(const CAssignment& assignment, VARTYPE fieldKind) {
    if (!assignment.kind || *assignment.kind == fieldKind || fieldKind == VT_EMPTY)
        return Carried(ParseValue(assignment.text, assignment.kind ? *assignment.kind : fieldKind),
                       "field " + assignment.field + ": ");
    const CVar given = ParseValue(assignment.text, *assignment.kind);
    CVar converted;
    try {
        converted = given.ChangeType(fieldKind);
    } catch (const OS::CException&) {
        throw Refused("the " + KindName(*assignment.kind) + " value " + Quoted(assignment.text) +
                      " does not fit field " + assignment.field + " of kind " +
                      KindName(fieldKind) + ".");
    }
    return Carried(std::move(converted), "field " + assignment.field + ": ");
}

CVar ValueFromJson(const nlohmann::json& value, VARTYPE fieldKind) {
    return Carried(JsonValue(value, fieldKind));
}

namespace {

CVar JsonValue(const nlohmann::json& value, VARTYPE fieldKind) {
    if (value.is_null()) return CVar();
    const std::string shown = value.dump();
    auto expect = [&](bool ok, const char* what) {
        if (!ok)
            throw Refused(shown + " is not a valid " + KindName(fieldKind) + " (expected " + what +
                          ").");
    };
    switch (fieldKind) {
        case VT_I2:
        case VT_I4:
        case VT_I8:
            expect(value.is_number_integer(), "a whole number");
            return ParseInteger(value.dump(), fieldKind);
        case VT_BOOL:
            expect(value.is_boolean(), "true or false");
            return CVar(value.get<bool>());
        case VT_R8:
            expect(value.is_number(), "a number");
            return CVar::FromR8(value.get<double>());
        case VT_DATE:
            if (value.is_number()) return ParseDate(FormatValue(CVar::FromR8(value.get<double>())));
            expect(value.is_string(), "a date text");
            return ParseDate(value.get<std::string>());
        default:
            expect(value.is_string(), "a string");
            return ParseValue(value.get<std::string>(), fieldKind);
    }
}

}  // namespace

}  // namespace zoltcli
