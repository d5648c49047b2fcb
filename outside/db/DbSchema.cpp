// Reading the schema file and mapping its column types to declared SQL types and variant kinds.
// Thread rule: no shared state.
#include "outside/db/DbSchema.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "outside/db/CDBException.h"
#include "outside/xml/CXMLParser.h"

namespace zoltdb {
namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string SqlText(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

[[noreturn]] void Bad(const OS::x_wstring& file, const std::string& table,
                      const std::string& column, const std::string& why) {
    OS::x_wstring msg;
    msg.Format(L"Schema file \"%ls\": table %s, column %s: %s", file.c_str(), table.c_str(),
               column.c_str(), why.c_str());
    throw CDBException(CDBException::kSchemaFile, OS_WFILE, __LINE__, msg);
}

// The SQL literal of default text `text` for schema type `type`; throws through Bad().
std::string DefaultLiteral(const std::string& type, const std::string& text,
                           const OS::x_wstring& file, const std::string& table,
                           const std::string& column) {
    if (type == "string") return SqlText(text);
    if (type == "bytes") {
        if (text.size() % 2 != 0 || !std::all_of(text.begin(), text.end(),
                                                 [](unsigned char c) { return std::isxdigit(c); }))
            Bad(file, table, column, "default \"" + text + "\" is not hexadecimal bytes");
        return "X'" + text + "'";
    }
    if (type == "bool") {
        std::string t = Lower(text);
        if (t == "1" || t == "true" || t == "yes") return "1";
        if (t == "0" || t == "false" || t == "no") return "0";
        Bad(file, table, column, "default \"" + text + "\" is not a boolean");
    }
    VARTYPE kind = type == "int16"   ? VT_I2
                   : type == "int32" ? VT_I4
                   : type == "int64" ? VT_I8
                   : type == "date"  ? VT_DATE
                                     : VT_R8;
    if (kind == VT_DATE) {  // a date is given as a calendar text or as an automation date number
        char* end = nullptr;
        double d = std::strtod(text.c_str(), &end);
        if (!text.empty() && end && *end == '\0') {
            // "inf" and "nan" would reach the database as bare words, which it takes as text.
            if (!std::isfinite(d))
                Bad(file, table, column, "default \"" + text + "\" is not a finite date");
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            return buf;
        }
    }
    try {
        CVar v = CVar(OS::Utf8ToWide(text)).ChangeType(kind);
        char buf[64];
        if (kind == VT_DATE || kind == VT_R8) {
            std::snprintf(buf, sizeof buf, "%.17g", kind == VT_DATE ? v.GetDate() : v.GetReal());
        } else {
            std::snprintf(buf, sizeof buf, "%lld", v.GetInt64());
        }
        return buf;
    } catch (const CVarConversionException&) {
        Bad(file, table, column, "default \"" + text + "\" does not fit type " + type);
    }
}

}  // namespace

std::vector<TableDef> LoadSchema(const OS::x_wstring& file) {
    static const struct {
        const char* type;
        const char* sql;
    } kTypes[] = {{"string", "TEXT"},   {"int16", "SMALLINT"}, {"int32", "INTEGER"},
                  {"int64", "BIGINT"},  {"bool", "BOOLEAN"},   {"date", "DATE"},
                  {"double", "DOUBLE"}, {"bytes", "BLOB"}};
    std::vector<TableDef> tables;
    try {
        CXMLParser parser;
        parser.Load(file);
        CXMLNodeList list = parser.XPathSelectNodes(L"//database/schema/table");
        for (CXMLNode t = list.NextNode(); !t.IsNull(); t = list.NextNode()) {
            TableDef def;
            def.name = OS::WideToUtf8(t.GetAttribute(L"name"));
            if (def.name.empty()) Bad(file, "(unnamed)", "-", "a table without a name");
            CXMLNodeList cols = t.SelectNodes(L"column");
            for (CXMLNode c = cols.NextNode(); !c.IsNull(); c = cols.NextNode()) {
                ColumnDef col;
                col.name = OS::WideToUtf8(c.GetAttribute(L"name"));
                if (col.name.empty()) Bad(file, def.name, "(unnamed)", "a column without a name");
                if (Upper(col.name) == kKeyColumn) continue;  // the key is always the same
                // The database matches column names without regard to ASCII case, so a second
                // column of the same name would alias the first one's storage.
                for (const auto& earlier : def.columns)
                    if (Upper(earlier.name) == Upper(col.name))
                        Bad(file, def.name, col.name,
                            "listed twice (also as " + earlier.name + ")");
                std::string type = Lower(OS::WideToUtf8(c.GetAttribute(L"type")));
                if (type.empty()) type = "string";
                for (const auto& k : kTypes) {
                    if (type == k.type) col.sqlType = k.sql;
                }
                if (col.sqlType.empty())
                    Bad(file, def.name, col.name, "unknown type \"" + type + "\"");
                OS::x_wstring dflt;
                if (c.GetAttribute(L"default", dflt)) {
                    col.sqlDefault =
                        DefaultLiteral(type, OS::WideToUtf8(dflt), file, def.name, col.name);
                }
                def.columns.push_back(std::move(col));
            }
            tables.push_back(std::move(def));
        }
    } catch (const CXMLException& e) {
        OS::x_wstring msg;
        msg.Format(L"Schema file \"%ls\": %ls", file.c_str(), e.GetErrorMsg().c_str());
        throw CDBException(CDBException::kSchemaFile, OS_WFILE, __LINE__, msg);
    }
    return tables;
}

VARTYPE KindOfDeclaredType(const std::string& declType) {
    std::string t = Upper(declType);
    if (t.empty()) return VT_EMPTY;
    if (t == "SMALLINT" || t == "INT16") return VT_I2;
    if (t == "BOOLEAN" || t == "BOOL" || t == "BIT") return VT_BOOL;
    if (t == "DATE" || t == "DATETIME") return VT_DATE;
    if (t == "BIGINT" || t == "INT64") return VT_I8;
    if (t.find("INT") != std::string::npos) return VT_I4;
    if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
        t.find("TEXT") != std::string::npos)
        return VT_BSTR;
    if (t.find("BLOB") != std::string::npos || t.find("BINARY") != std::string::npos)
        return VT_ARRAY_UI1;
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
        t.find("DOUB") != std::string::npos)
        return VT_R8;
    return VT_EMPTY;
}

}  // namespace zoltdb
