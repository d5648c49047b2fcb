// CCfgSettingInMemory: the in-memory category "QV_INMEMORY" with its one string field.
// Thread rule: one thread at a time per object.
#include "cfg_Setting.h"

namespace {

struct SFieldDecl {
    unsigned int id;
    OS::x_wstring name;
    CVar def;
};

const std::vector<SFieldDecl>& Declaration() {
    static const std::vector<SFieldDecl> table = {
        {CCfgSettingInMemory::INM_VAIRANT, L"INM_VAIRANT", CVar(L"")},
    };
    return table;
}

}  // namespace

CCfgSettingInMemory::CCfgSettingInMemory(const x_wstring& subjectId) : m_strSubjectID(subjectId) {}

CCfgSettingInMemory::CCfgSettingInMemory(const CCfgSettingInMemory& other)
    : CCfgSettingCategoryBase(other), m_strSubjectID(other.m_strSubjectID) {}

CCfgSettingInMemory& CCfgSettingInMemory::operator=(const CCfgSettingInMemory& other) {
    CCfgSettingCategoryBase::operator=(other);
    m_strSubjectID = other.m_strSubjectID;
    return *this;
}

CCfgSettingInMemory::~CCfgSettingInMemory() = default;

CCfgSettingInMemory::x_wstring CCfgSettingInMemory::GetCategroyName() {
    return L"QV_INMEMORY";
}

CSubjectID CCfgSettingInMemory::GetSubjectID() {
    return CSubjectID(m_strSubjectID);
}

CCfgSettingCategoryBase* CCfgSettingInMemory::New() const {
    return new CCfgSettingInMemory(L"ZOLT_SUB_CFG_INM_PR");
}

void CCfgSettingInMemory::Delete(CCfgSettingCategoryBase* p) {
    delete p;
}

void CCfgSettingInMemory::SetSubjectID(const x_wstring& subjectId) {
    m_strSubjectID = subjectId;
}

void CCfgSettingInMemory::EnumerateFieldInfo(CFieldInfoCallback& cb) const {
    for (const auto& f : Declaration()) {
        if (!cb(f.id, f.name, f.def)) break;
    }
}

CCfgSettingInMemory::x_wstring CCfgSettingInMemory::GetVariantFieldValue() {
    const CVar v = ReadFieldValue(INM_VAIRANT);
    if (v.IsString()) return v.GetString();
    return v.ChangeType(VT_BSTR).GetString();
}

void CCfgSettingInMemory::SetVariantFieldValue(const x_wstring& value) {
    WriteFieldValue(INM_VAIRANT, CVar(value));
}
