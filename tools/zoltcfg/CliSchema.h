// What zoltcfg knows of the daemon's tables: the schema file of the home (categories, their
// fields and each field's value kind), read with the database layer's own schema reader so that
// the CLI and the daemon agree on every column's kind.
// Thread rule: built once on the main thread, then only read.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "outside/variant/CVar.h"

namespace zoltcli {

struct CCliField {
    std::string name;  // as the schema spells it
    VARTYPE kind;      // the kind the column reads back as (VT_EMPTY: untyped)
};

struct CCliCategory {
    std::string name;
    std::vector<CCliField> fields;  // schema order, without the key column CFG_INDEX

    // The field named `name` (ASCII letter case ignored), or null.
    const CCliField* FindField(const std::string& name) const;
    // The field named `name`. Throws CCliError (refused) naming the category when it has none.
    const CCliField& Field(const std::string& name) const;
};

class CCliSchema {
  public:
    // The schema file of a home: <home>/config/dbSchema_Conf.xml. `home` empty: the home the
    // daemon uses by default (registry "HomeDir", else ZOLTCFG_HOME, else /var/lib/zoltcfg).
    static std::filesystem::path SchemaFileOf(const std::string& home);

    // Reads `file`. Throws CCliError (refused) when it is missing or unreadable.
    static CCliSchema Load(const std::filesystem::path& file);

    // The category named `name` (ASCII letter case ignored). Throws CCliError (refused) naming
    // the known categories when there is none.
    const CCliCategory& Category(const std::string& name) const;
    const std::vector<CCliCategory>& Categories() const { return m_vecCategories; }
    const std::filesystem::path& File() const { return m_File; }

  private:
    std::filesystem::path m_File;
    std::vector<CCliCategory> m_vecCategories;
};

}  // namespace zoltcli
