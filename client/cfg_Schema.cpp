// CCfgSchema: the tables of a schema file, read with the database layer's own reader so that a
// program and the daemon agree on every column's kind; and the check of a database against it.
// Thread rule: no shared state.
#include "cfg_Storage.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/db/DbSchema.h"

std::vector<CCfgSchema::CTable> CCfgSchema::Load(const OS::x_wstring& file) {
    std::vector<CTable> tables;
    for (const auto& table : zoltdb::LoadSchema(file)) {
        CTable t{table.name, {}};
        for (const auto& column : table.columns)
            t.columns.push_back({column.name, zoltdb::KindOfDeclaredType(column.sqlType)});
        tables.push_back(std::move(t));
    }
    return tables;
}

std::vector<std::string> CCfgSchema::CheckDatabase(const OS::x_wstring& connectionFile) {
    CGenericDatabase db(connectionFile, false);  // opens what exists, creates nothing
    try {
        db.Initialize();
        return db.CheckDatabase();
    } catch (const CDBException& e) {
        return {e.GetErrorMsg().ToUtf8()};
    } catch (const OS::CException& e) {
        return {e.GetErrorMsg().ToUtf8()};
    }
}
