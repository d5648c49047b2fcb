// zoltcfg schema: the categories of the home's schema, one per line, or the fields of one
// category with their kinds; what an administrator types next, and what the shell's completion
// offers.
// Thread rule: run on the main thread.
#include <iostream>

#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"
#include "tools/zoltcfg/ValueParse.h"

namespace zoltcli {

int RunSchema(const CCliContext& ctx, const std::string& categoryName) {
    const CCliSchema& schema = ctx.Schema();
    if (categoryName.empty()) {
        if (ctx.json) {
            nlohmann::ordered_json names = nlohmann::ordered_json::array();
            for (const auto& c : schema.Categories()) names.push_back(c.name);
            std::cout << names.dump() << "\n";
        } else {
            for (const auto& c : schema.Categories()) std::cout << c.name << "\n";
        }
        return kExitOk;
    }
    const CCliCategory& category = schema.Category(categoryName);
    if (ctx.json) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::array();
        for (const auto& f : category.fields)
            fields.push_back({{"field", f.name}, {"kind", KindName(f.kind)}});
        std::cout << nlohmann::ordered_json{{"category", category.name}, {"fields", fields}}.dump()
                  << "\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& f : category.fields) rows.push_back({f.name, KindName(f.kind)});
    PrintTable(std::cout, {"FIELD", "KIND"}, rows);
    return kExitOk;
}

}  // namespace zoltcli
