// The setting operations on fields that hold other settings: one embedded setting (names ending
// in "_CFGSETTING"), arrays of them ("_CFGSETTING_MV"), field removal, and applying a defaults
// object whose embedded settings are reset recursively. The field values are the reference and
// copy forms written and read by CCfgSettingCategoryRef and CCfgMVSettingCategoryRef.
// Thread rule: a setting is a value object; one thread at a time per object.
#include <utility>

#include "cfg_Setting.h"

using OS::x_wstring;

bool CCfgSettingCategoryBase::AddFieldValue(const x_wstring& name,
                                            CCfgSettingCategoryBase& setting) {
    CCfgSettingCategoryRef ref;
    if (!ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), setting)) return false;
    CVar value;
    if (!ref.GetValueByFieldRef(value, ref.GetRefKey(), ref.GetRefValue())) return false;
    if (!AddFieldValue(name, value)) return false;
    m_bDirty = true;
    return true;
}

bool CCfgSettingCategoryBase::AddFieldValue(unsigned int id, CCfgSettingCategoryBase& setting) {
    const x_wstring name = GetFieldNameByID(id);
    if (name.empty()) return false;
    const bool stored = AddFieldValue(name, setting);
    if (stored) m_bDirty = true;
    return stored;
}

// The target gets the stored subject id, the stored fields merged into its own, and the stored
// dirty flag (false for a reference string). A malformed copy throws CIPCMsgBufferException.
bool CCfgSettingCategoryBase::GetFieldValue(const x_wstring& name,
                                            CCfgSettingCategoryBase& target) const {
    CVar value;
    if (!GetFieldValue(name, value)) return false;
    CCfgSettingCategoryRef ref;
    if (!ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), value)) return false;
    target.SetSubjectID(ref.GetRefKey().m_strSubjectID);
    return ref.GetSettingByFieldRef(target, ref.GetRefKey(), ref.GetRefValue());
}

bool CCfgSettingCategoryBase::GetFieldValue(unsigned int id,
                                            CCfgSettingCategoryBase& target) const {
    // Resolving a name only reads the declaration.
    const x_wstring name = const_cast<CCfgSettingCategoryBase*>(this)->GetFieldNameByID(id);
    if (name.empty()) return false;
    return GetFieldValue(name, target);
}

void CCfgSettingCategoryBase::CreateEmbeddedSetting(
    const x_wstring& /*fieldName*/, OS::CAutoObjPtr<CCfgSettingCategoryBase>& /*product*/,
    const wchar_t* /*subjectId*/) const {}

// On success the new settings are appended to `out`; when an element cannot be created `out`
// is left as it was.
bool CCfgSettingCategoryBase::GetEmbeddedSettingArray(
    const x_wstring& name, std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>>& out) const {
    CVar value;
    if (!GetFieldValue(name, value)) return false;
    CCfgMVSettingCategoryRef refs;
    if (!refs.GetFieldRefByValue(refs.GetRefSettingArray(), value)) return false;

    std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>> products;
    std::vector<CCfgSettingCategoryBase*> targets;
    products.reserve(refs.GetRefSettingArray().size());
    for (CCfgSettingCategoryRef* ref : refs.GetRefSettingArray()) {
        OS::CAutoObjPtr<CCfgSettingCategoryBase> product;
        CreateEmbeddedSetting(name, product, ref->GetRefKey().m_strSubjectID.c_str());
        if (!product) return false;
        targets.push_back(product.get());
        products.push_back(std::move(product));
    }
    const bool copied = refs.GetSettingByFieldRef(targets, refs.GetRefSettingArray());
    for (auto& product : products) out.push_back(std::move(product));
    return copied;
}

bool CCfgSettingCategoryBase::SetEmbeddedSettingArray(
    const x_wstring& name, std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>>& settings) {
    bool stored = false;
    try {
        std::vector<CCfgSettingCategoryBase*> raw;
        raw.reserve(settings.size());
        for (auto& setting : settings) raw.push_back(setting.get());
        CCfgMVSettingCategoryRef refs;
        if (refs.GetFieldRefBySetting(refs.GetRefSettingArray(), raw)) {
            CVar value;
            if (refs.GetValueByFieldRef(value, refs.GetRefSettingArray(), true)) {
                stored = AddFieldValue(name, value);
            }
        }
    } catch (...) {
        m_bDirty = true;
        throw;
    }
    m_bDirty = true;
    return stored;
}

void CCfgSettingCategoryBase::EraseField(const x_wstring& name) {
    m_mapFields.erase(name);
}

// Embedded values that cannot be parsed, or whose category this object cannot create, are
// copied as they stand: applying defaults never fails as a whole.
void CCfgSettingCategoryBase::ResetToDefault(const CCfgSettingCategoryBase& defaults) {
    // Applying an object to itself walks a snapshot, since the walk writes fields.
    FieldMap snapshot;
    if (&defaults == this) snapshot = m_mapFields;
    const FieldMap& fields = (&defaults == this) ? snapshot : defaults.m_mapFields;

    for (const auto& [name, stored] : fields) {
        CVar value = stored;
        if (IsCfgSettingField(name)) {
            CCfgSettingCategoryRef ref;
            bool parsed = false;
            try {
                parsed = ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), value);
            } catch (const CIPCMsgBufferException&) {
                parsed = false;
            }
            if (parsed) {
                OS::CAutoObjPtr<CCfgSettingCategoryBase> product;
                CreateEmbeddedSetting(name, product, nullptr);
                if (product) {
                    product->ResetToDefault(*ref.GetRefValue().m_pSetting);
                    AddFieldValue(name, *product);
                    continue;
                }
            }
        } else if (IsCfgSettingMVField(name)) {
            CCfgMVSettingCategoryRef refs;
            if (refs.GetFieldRefByValue(refs.GetRefSettingArray(), value)) {
                std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>> products;
                for (CCfgSettingCategoryRef* ref : refs.GetRefSettingArray()) {
                    OS::CAutoObjPtr<CCfgSettingCategoryBase> product;
                    CreateEmbeddedSetting(name, product, nullptr);
                    if (!product) continue;
                    product->ResetToDefault(*ref->GetRefValue().m_pSetting);
                    products.push_back(std::move(product));
                }
                SetEmbeddedSettingArray(name, products);
                continue;
            }
        }
        m_mapFields.insert_or_assign(name, std::move(value));
    }
    m_bDirty = true;
}
