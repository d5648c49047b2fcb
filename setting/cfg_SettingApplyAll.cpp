// CCfgSettingApplyAll: changes meant for every subject of a category, named by its category
// alone; it declares no fields, so its fields are set and read by name only.
// Thread rule: one thread at a time per object.
#include "cfg_Setting.h"

CCfgSettingApplyAll::CCfgSettingApplyAll(const x_wstring& categoryName)
    : m_strCategoryName(categoryName) {}

CCfgSettingApplyAll::CCfgSettingApplyAll(const CCfgSettingApplyAll& other)
    : CCfgSettingCategoryBase(other), m_strCategoryName(other.m_strCategoryName) {}

CCfgSettingApplyAll& CCfgSettingApplyAll::operator=(const CCfgSettingApplyAll& other) {
    CCfgSettingCategoryBase::operator=(other);
    m_strCategoryName = other.m_strCategoryName;
    return *this;
}

CCfgSettingApplyAll::~CCfgSettingApplyAll() = default;

CCfgSettingApplyAll::x_wstring CCfgSettingApplyAll::GetCategroyName() {
    return m_strCategoryName;
}

CSubjectID CCfgSettingApplyAll::GetSubjectID() {
    return CSubjectID(L"ZOLT_SUB_NULL");
}

CCfgSettingCategoryBase* CCfgSettingApplyAll::New() const {
    return nullptr;
}

void CCfgSettingApplyAll::Delete(CCfgSettingCategoryBase* /*p*/) {}

void CCfgSettingApplyAll::EnumerateFieldInfo(CFieldInfoCallback& /*cb*/) const {}
