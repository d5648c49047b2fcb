// Reads the home's schema file for zoltcfg (see CliSchema.h).
// Thread rule: no shared state.
#include "tools/zoltcfg/CliSchema.h"

#include "cfg_Storage.h"
#include "tools/zoltcfg/CliError.h"

namespace zoltcli {

namespace {
bool SameName(const std::string& a, const std::string& b) {
    return OS::wcsicmp(OS::x_wstring::FromUtf8(a), OS::x_wstring::FromUtf8(b)) == 0;
}
}  // namespace

const CCliField* CCliCategory::FindField(const std::string& fieldName) const {
    for (const auto& f : fields)
        if (SameName(f.name, fieldName)) return &f;
    return nullptr;
}

const CCliField& CCliCategory::Field(const std::string& fieldName) const {
    if (const CCliField* f = FindField(fieldName)) return *f;
    throw Refused("category " + name + " has no field " + fieldName + ".");
}

std::filesystem::path CCliSchema::SchemaFileOf(const std::string& home) {
    const std::filesystem::path dir = home.empty()
                                          ? std::filesystem::path(CCfgHome::Folder().ToUtf8())
                                          : std::filesystem::path(home);
    return dir / "config" / "dbSchema_Conf.xml";
}

CCliSchema CCliSchema::Load(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw Refused("there is no schema file at " + file.string() +
                      " (point --home or ZOLTCFG_HOME at the daemon's home).");
    CCliSchema schema;
    schema.m_File = file;
    try {
        for (const auto& table : CCfgSchema::Load(OS::x_wstring::FromUtf8(file.string()))) {
            CCliCategory category{table.name, {}};
            for (const auto& column : table.columns)
                category.fields.push_back({column.name, column.kind});
            schema.m_vecCategories.push_back(std::move(category));
        }
    } catch (const OS::CException& e) {
        throw Refused("the schema file " + file.string() +
                      " cannot be read: " + e.GetErrorMsg().ToUtf8());
    }
    return schema;
}

const CCliCategory& CCliSchema::Category(const std::string& name) const {
    for (const auto& c : m_vecCategories)
        if (SameName(c.name, name)) return c;
    std::string known;
    for (const auto& c : m_vecCategories) known += (known.empty() ? "" : ", ") + c.name;
    throw Refused("unknown category " + name + " (the schema of " + m_File.string() +
                  " has: " + (known.empty() ? "none" : known) + ").");
}

}  // namespace zoltcli
