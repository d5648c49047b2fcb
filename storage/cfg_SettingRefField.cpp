// CSettingRefField: resolving a reference field's value and giving it back in its two forms.
// Thread rule: one thread at a time per object.
#include "storage/cfg_SettingRefField.h"

#include "outside/common/CException.h"

bool CSettingRefField::Resolve(const OS::x_wstring& name, CVar& value) {
    try {
        if (CCfgSettingCategoryBase::IsCfgSettingField(name)) {
            CCfgSettingCategoryRef& ref = m_single.emplace();
            if (!ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), value) ||
                ref.GetRefValue().m_pSetting == nullptr) {
                return false;
            }
            m_targets.push_back(&ref);
            return true;
        }
        if (CCfgSettingCategoryBase::IsCfgSettingMVField(name)) {
            CCfgMVSettingCategoryRef& mv = m_multi.emplace();
            if (!mv.GetFieldRefByValue(mv.GetRefSettingArray(), value)) return false;
            m_targets.reserve(mv.GetRefSettingArray().size());
            for (CCfgSettingCategoryRef* item : mv.GetRefSettingArray()) {
                if (item != nullptr && item->GetRefValue().m_pSetting != nullptr)
                    m_targets.push_back(item);
            }
            return true;
        }
    } catch (const OS::CException&) {
        m_targets.clear();
    }
    return false;
}

CVar CSettingRefField::ReferenceForm() {
    CVar v;
    if (m_single) {
        m_single->GetValueByFieldRef(v, m_single->GetRefKey());
    } else {
        m_multi->GetValueByFieldRef(v, m_multi->GetRefSettingArray(), false);
    }
    return v;
}

CVar CSettingRefField::CopyForm() {
    CVar v;
    if (m_single) {
        m_single->GetValueByFieldRef(v, m_single->GetRefKey(), m_single->GetRefValue());
    } else {
        m_multi->GetValueByFieldRef(v, m_multi->GetRefSettingArray(), true);
    }
    return v;
}
