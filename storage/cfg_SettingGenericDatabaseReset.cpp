// CCfgSettingGenericDatabase, reset to defaults: a setting's row names in CFG_DEFAULT_INSTANCE the
// row of the same table that holds its defaults; the setting (and every setting it references,
// from their own default rows) is filled from there and written back with every field.
// Thread rule: runs under the store mutex (ResetToDefault's guard, in the main file).
#include "outside/log/DebugLog.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "storage/cfg_SettingRefField.h"

namespace {
const wchar_t kLogSource[] = L"cfg_SettingGenericDatabase";
}  // namespace

bool CCfgSettingGenericDatabase::SubResetToDefault(const CCfgIndex& index,
                                                   CCfgSettingCategoryBase& setting) {
    const OS::x_wstring category = setting.GetCategroyName();
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::SubResetToDefault(), category=%ls",
            category.c_str());
    if (!IsDBStatusOK()) return false;

    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SubResetToDefault(%d)", 0);
        return false;
    }
    FindOrAddRow(*rs, index.GetIndexValue());

    // The default row is sought in a record set of this call's own, so that the setting's row
    // stays current in the cached one.
    CModifiableRecordSet* raw = nullptr;
    OpenTable(category, raw);
    std::unique_ptr<CModifiableRecordSet> defaults(raw);
    if (!defaults) {
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SubResetToDefault(%d)", 0);
        return false;
    }
    const OS::x_wstring defaultKey = ValueText(rs->GetFieldValue(kDefaultColumn));
    FindOrAddRow(*defaults, defaultKey);

    const long count = defaults->GetFieldCount();
    std::vector<std::pair<OS::x_wstring, CVar>> row;
    for (long p = 1; p < count; ++p) {
        row.emplace_back(defaults->GetFieldName(p), defaults->GetFieldValue(p));
    }
    defaults.reset();

    for (auto& [name, value] : row) {
        CSettingRefField refs;
        if (refs.Resolve(name, value)) {
            for (CCfgSettingCategoryRef* target : refs.Targets()) {
                SubResetToDefault(RefIndex(index, *target), *target->GetRefValue().m_pSetting);
            }
            setting.AddFieldValue(name, refs.CopyForm());
            continue;
        }
        setting.AddFieldValue(name, value);
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SubResetToDefault()");
    return true;
}
