// The schema file of the generic database layer: tables under //database/schema/table (attribute
// "name") with their columns (name, type, default), and the SQL that brings a database up to it.
// The format is in docs/database-files.md. Internal to the generic database layer.
// Thread rule: no shared state.
#pragma once

#include <string>
#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/variant/CVar.h"

namespace zoltdb {

struct ColumnDef {
    std::string name;        // UTF-8
    std::string sqlType;     // declared type: TEXT, SMALLINT, INTEGER, BOOLEAN, DATE, BLOB, ...
    std::string sqlDefault;  // SQL literal, "" for none
};

struct TableDef {
    std::string name;
    std::vector<ColumnDef> columns;  // without CFG_INDEX, which every table gets first
};

// Reads the schema file. Throws CDBException kSchemaFile when it cannot be read, is not XML,
// names an unknown column type or a default that does not fit its type, or lists two columns of
// one table under the same name (ASCII case ignored).
std::vector<TableDef> LoadSchema(const OS::x_wstring& file);

// The variant kind a column of declared SQL type `declType` reads as (VT_EMPTY: untyped).
VARTYPE KindOfDeclaredType(const std::string& declType);

// The key column every table has first.
inline constexpr const char* kKeyColumn = "CFG_INDEX";

}  // namespace zoltdb
