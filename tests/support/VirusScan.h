// CVirusScan: a typed category shaped like the sample home's QV_VirusScan table, declared the way
// a program that uses the library declares its settings. The client and service tests read and
// write it through every layer.
// Thread rule: a value type, one owner.
#pragma once

#include "cfg_Setting.h"

namespace testsupport {

// Field ids: the low word is the value kind (0x1F text, 0x0B boolean, 0x02 short, 0x03 int).
constexpr unsigned int kEnable = 0x0001000B;    // VS_ENABLE_VIRUSSCAN, true
constexpr unsigned int kAction = 0x00020002;    // VS_ACTION, 1
constexpr unsigned int kMaxSize = 0x00030003;   // VS_MAX_SIZE, 10240
constexpr unsigned int kArchives = 0x0004000B;  // VS_SCAN_ARCHIVES, true
constexpr unsigned int kFolder = 0x0005001F;    // VS_QUARANTINE_FOLDER, "quarantine"
constexpr unsigned int kExcluded = 0x0006001F;  // VS_EXCLUDED_EXTENSIONS, ""

class CVirusScan : public CCfgSettingCategoryBase {
  public:
    explicit CVirusScan(const x_wstring& subject = L"ZOLT_SUB_CFG_VS_RS")
        : m_strSubjectID(subject) {}
    CVirusScan(const CVirusScan&) = default;
    CVirusScan& operator=(const CVirusScan& other) {
        CCfgSettingCategoryBase::operator=(other);
        m_strSubjectID = other.m_strSubjectID;
        return *this;
    }

    x_wstring GetCategroyName() override { return L"QV_VirusScan"; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_strSubjectID); }
    CCfgSettingCategoryBase* New() const override { return new CVirusScan(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring& s) override { m_strSubjectID = s; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        static const struct {
            unsigned int id;
            const wchar_t* name;
            CVar def;
        } kTable[] = {
            {kEnable, L"VS_ENABLE_VIRUSSCAN", CVar(true)},
            {kAction, L"VS_ACTION", CVar(static_cast<short>(1))},
            {kMaxSize, L"VS_MAX_SIZE", CVar(10240)},
            {kArchives, L"VS_SCAN_ARCHIVES", CVar(true)},
            {kFolder, L"VS_QUARANTINE_FOLDER", CVar(L"quarantine")},
            {kExcluded, L"VS_EXCLUDED_EXTENSIONS", CVar(L"")},
        };
        for (const auto& f : kTable)
            if (!cb(f.id, f.name, f.def)) return;
    }
    // VS_MAX_SIZE as stored, -1 when the setting holds none.
    int MaxSize() const {
        CVar v;
        return GetFieldValue(L"VS_MAX_SIZE", v) ? static_cast<int>(v.GetInt64()) : -1;
    }

  private:
    x_wstring m_strSubjectID;
};

}  // namespace testsupport
