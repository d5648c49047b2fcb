// Field access shared by the replication rules (names, absent-as-empty reads, list rewrites).
// Thread rule: functions on caller-owned settings; one thread at a time per setting.
#include "replication/cfg_ReplicationFieldAccess.h"

#include <vector>

#include "outside/log/DebugLog.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_ReplicationFilter";
}

namespace ReplicationRules {

bool SameName(const OS::x_wstring& a, const wchar_t* b) {
    return b != nullptr && OS::wcsicmp(a.c_str(), b) == 0;
}

int ReadIntField(const CCfgSettingCategoryBase& setting, const wchar_t* field) {
    CVar value;
    if (!setting.GetFieldValue(OS::x_wstring(field), value) || value.IsEmpty()) return 0;
    return value.ToI4();
}

OS::x_wstring ReadStringField(const CCfgSettingCategoryBase& setting, const wchar_t* field) {
    CVar value;
    if (!setting.GetFieldValue(OS::x_wstring(field), value) || value.IsEmpty()) return L"";
    return value.ToString();
}

void RewriteSettingList(CCfgSettingCategoryBase& setting, const wchar_t* field,
                        const wchar_t* missingCopyText, const ElementVisitor& visit) {
    const OS::x_wstring name(field);
    CVar value;
    if (!setting.GetFieldValue(name, value)) return;
    CCfgMVSettingCategoryRef list;
    if (!list.GetFieldRefByValue(list.GetRefSettingArray(), value)) return;

    // A list in the reference form names its elements without holding them (the parsed
    // elements are blank placeholders): there is nothing to rewrite, and the list keeps its form.
    if (!value.IsByteArray()) {
        for (size_t i = 0; i < list.GetRefSettingArray().size(); ++i) {
            CFG_LOG(DBG::LVL_ERROR, L"%ls", missingCopyText);
        }
        return;
    }
    std::vector<CCfgSettingCategoryRef*> kept;
    bool everyCopy = true;
    for (CCfgSettingCategoryRef* element : list.GetRefSettingArray()) {
        CCfgSettingCategoryBase* copy = element->GetRefValue().m_pSetting;
        if (copy == nullptr) {
            CFG_LOG(DBG::LVL_ERROR, L"%ls", missingCopyText);
            everyCopy = false;
            kept.push_back(element);
            continue;
        }
        if (visit(*copy)) kept.push_back(element);
    }
    // An element without its copy cannot be written in the copy form: the list stays as it was.
    if (!everyCopy) return;
    CVar rewritten;
    if (!list.GetValueByFieldRef(rewritten, kept, true)) return;
    setting.AddFieldValue(name, rewritten);
}

}  // namespace ReplicationRules
