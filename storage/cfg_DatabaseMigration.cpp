// CCfgDatabaseMigration: copying a home's database into another database through the generic
// database layer, checking the copy row by row, and switching the home's connection file.
// Thread rule: one run at a time per home; nothing is shared between runs.
#include <filesystem>
#include <memory>

#include "cfg_Storage.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/db/DbSchema.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Refuse(const std::string& sentence) {
    throw CDBException(CDBException::kEngine, OS_WFILE, __LINE__, OS::Utf8ToWide(sentence));
}

std::unique_ptr<CModifiableRecordSet> Table(CGenericDatabase& db, const std::string& name,
                                            const char* which) {
    CModifiableRecordSet* rs = nullptr;
    if (!db.OpenTable(OS::Utf8ToWide(name), rs))
        Refuse(std::string("the ") + which + " database has no table " + name);
    return std::unique_ptr<CModifiableRecordSet>(rs);
}

std::string Place(const CGenericDatabase& db) {
    return OS::WideToUtf8(db.GetProvider()) + " " + OS::WideToUtf8(db.GetDatabaseFile());
}

std::string KeyOf(const CModifiableRecordSet& rs) {
    return rs.GetFieldCount() > 0 ? OS::WideToUtf8(rs.GetFieldValueRef(0).ToString()) : "";
}

}  // namespace

CCfgDatabaseMigration::CResult CCfgDatabaseMigration::Run(
    const std::string& home, const std::string& targetConnectionFile,
    const std::function<void(size_t, size_t)>& progress) {
    const fs::path config = fs::path(home) / "config";
    const fs::path current = config / "dbconf_Conf.xml";
    // The target's connection file goes beside the home's, so that its relative paths (the
    // database file, the schema file) are taken from the home as the home's own are.
    const fs::path staged = config / "dbconf_Conf.xml.migrating";
    fs::copy_file(targetConnectionFile, staged, fs::copy_options::overwrite_existing);
    CResult result;
    try {
        CGenericDatabase from(OS::Utf8ToWide(current.string()), false);
        from.Initialize();
        CGenericDatabase to(OS::Utf8ToWide(staged.string()), true);
        to.Initialize();
        result.from = Place(from);
        result.to = Place(to);
        if (result.from == result.to) Refuse("the target is the home's own database " + result.to);

        std::vector<std::string> tables;
        for (const zoltdb::TableDef& t : zoltdb::LoadSchema(from.GetSchemaFile()))
            tables.push_back(t.name);
        size_t total = 0;
        for (const std::string& t : tables) {
            total += static_cast<size_t>(Table(from, t, "home's")->GetRecordCount());
            if (long held = Table(to, t, "target")->GetRecordCount())
                Refuse("table " + t + " of the target database " + result.to + " already holds " +
                       std::to_string(held) + " rows; migrate into an empty database");
        }

        size_t done = 0;
        for (const std::string& t : tables) {  // the copy
            auto src = Table(from, t, "home's");
            auto dst = Table(to, t, "target");
            for (src->MoveFirst(); !src->IsEOF(); src->MoveNext()) {
                dst->AddNew();
                for (long c = 0; c < src->GetFieldCount(); ++c) {
                    if (dst->GetFieldIndex(src->GetFieldName(c)) < 0)
                        Refuse("table " + t + " of the target has no column " +
                               OS::WideToUtf8(src->GetFieldName(c)));
                    dst->SetFieldValue(src->GetFieldName(c), src->GetFieldValueRef(c));
                }
                dst->Update();
                if (progress) progress(++done, 2 * total);
            }
        }
        for (const std::string& t : tables) {  // the check, row by row in the order added
            auto src = Table(from, t, "home's");
            auto dst = Table(to, t, "target");
            if (src->GetRecordCount() != dst->GetRecordCount())
                Refuse("table " + t + " holds another number of rows in the copy");
            for (src->MoveFirst(), dst->MoveFirst(); !src->IsEOF();
                 src->MoveNext(), dst->MoveNext()) {
                if (dst->IsEOF()) Refuse("table " + t + " of the copy ends early");
                for (long c = 0; c < src->GetFieldCount(); ++c) {
                    if (src->GetFieldValueRef(c) != dst->GetFieldValue(src->GetFieldName(c)))
                        Refuse("table " + t + ", row " + KeyOf(*src) + ", column " +
                               OS::WideToUtf8(src->GetFieldName(c)) + " differs in the copy");
                }
                if (progress) progress(++done, 2 * total);
            }
            result.rows += static_cast<size_t>(src->GetRecordCount());
        }
        result.tables = tables.size();
    } catch (...) {
        std::error_code ec;
        fs::remove(staged, ec);
        throw;
    }
    fs::rename(current, config / "dbconf_Conf.xml.previous");
    fs::rename(staged, current);
    return result;
}
