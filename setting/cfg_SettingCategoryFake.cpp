// CCfgSettingCategoryFake: the placeholder category known only by its name; its declaration is
// whatever it holds.
// Thread rule: one thread at a time per object.
#include "setting/cfg_SettingCategoryFake.h"

CCfgSettingCategoryFake::CCfgSettingCategoryFake(const x_wstring& categoryName)
    : m_strCategoryName(categoryName), m_strSubjectID(L"ZOLT_SUB_NULL") {}

CCfgSettingCategoryFake::CCfgSettingCategoryFake(const CCfgSettingCategoryFake& other)
    : CCfgSettingCategoryBase(other),
      m_strCategoryName(other.m_strCategoryName),
      m_strSubjectID(other.m_strSubjectID) {}

CCfgSettingCategoryFake& CCfgSettingCategoryFake::operator=(const CCfgSettingCategoryFake& other) {
    CCfgSettingCategoryBase::operator=(other);
    m_strCategoryName = other.m_strCategoryName;
    m_strSubjectID = other.m_strSubjectID;
    return *this;
}

CCfgSettingCategoryFake::~CCfgSettingCategoryFake() = default;

CCfgSettingCategoryFake::x_wstring CCfgSettingCategoryFake::GetCategroyName() {
    return m_strCategoryName;
}

CSubjectID CCfgSettingCategoryFake::GetSubjectID() {
    return CSubjectID(m_strSubjectID);
}

CCfgSettingCategoryBase* CCfgSettingCategoryFake::New() const {
    return nullptr;
}

void CCfgSettingCategoryFake::Delete(CCfgSettingCategoryBase* p) {
    delete p;
}

void CCfgSettingCategoryFake::SetSubjectID(const x_wstring& subjectId) {
    m_strSubjectID = subjectId;
}

void CCfgSettingCategoryFake::EnumerateFieldInfo(CFieldInfoCallback& cb) const {
    EnumerateFieldValue(cb);
}
