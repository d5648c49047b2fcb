// Test categories for the embedded-setting tests: a policy that holds one rule and an array of
// rules, a rule that holds a schedule, and helpers that print a setting's exact state.
// Thread rule: test code, one thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cfg_Setting.h"
#include "tests/setting/SettingTestCategory.h"
#include "tests/support/Bytes.h"

namespace embedded_test {

using OS::x_wstring;

// Field ids of the test categories (number in the high half, a type code in the low half).
constexpr unsigned int POLICY_NAME = 0x0001001F;
constexpr unsigned int POLICY_RULE = 0x0002000D;
constexpr unsigned int POLICY_RULES = 0x0003000D;
constexpr unsigned int RULE_NAME = 0x0001001F;
constexpr unsigned int RULE_LEVEL = 0x00020003;
constexpr unsigned int RULE_SCHEDULE = 0x0003000D;
constexpr unsigned int SCHEDULE_HOUR = 0x00010003;

// One category, chosen by name: "QV_Policy", "QV_Rule" or "QV_Schedule". A policy creates rules
// for RULE_CFGSETTING and RULES_CFGSETTING_MV, a rule creates schedules for SCHEDULE_CFGSETTING;
// with `factory` false the category creates nothing, like a category without embedded fields.
class CTestSetting : public CCfgSettingCategoryBase {
  public:
    explicit CTestSetting(const x_wstring& category, const x_wstring& subject = L"",
                          bool factory = true)
        : m_category(category),
          m_subject(subject.empty() ? DefaultSubject(category) : subject),
          m_factory(factory) {}

    static x_wstring DefaultSubject(const x_wstring& category) {
        return L"ZOLT_SUB_DEFAULT_" + category;
    }

    x_wstring GetCategroyName() override { return m_category; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_subject); }
    CCfgSettingCategoryBase* New() const override { return new CTestSetting(m_category); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring& subject) override { m_subject = subject; }

    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        struct Decl {
            unsigned int id;
            const wchar_t* name;
            CVar value;
        };
        std::vector<Decl> table;
        if (m_category == L"QV_Policy") {
            table = {{POLICY_NAME, L"NAME", CVar(L"policy")},
                     {POLICY_RULE, L"RULE_CFGSETTING", CVar()},
                     {POLICY_RULES, L"RULES_CFGSETTING_MV", CVar()}};
        } else if (m_category == L"QV_Rule") {
            table = {{RULE_NAME, L"RULE_NAME", CVar(L"rule")},
                     {RULE_LEVEL, L"RULE_LEVEL", CVar(1)},
                     {RULE_SCHEDULE, L"SCHEDULE_CFGSETTING", CVar()}};
        } else if (m_category == L"QV_Schedule") {
            table = {{SCHEDULE_HOUR, L"HOUR", CVar(3)}};
        }
        for (const Decl& d : table) {
            if (!cb(d.id, d.name, d.value)) return;
        }
    }

    // The protected array operations, opened for the tests.
    using CCfgSettingCategoryBase::GetEmbeddedSettingArray;
    using CCfgSettingCategoryBase::SetEmbeddedSettingArray;

    mutable int m_created = 0;  // products made by CreateEmbeddedSetting

  protected:
    void CreateEmbeddedSetting(const x_wstring& fieldName,
                               OS::CAutoObjPtr<CCfgSettingCategoryBase>& product,
                               const wchar_t* subjectId) const override {
        if (!m_factory) return;
        x_wstring category;
        if (m_category == L"QV_Policy" &&
            (fieldName == L"RULE_CFGSETTING" || fieldName == L"RULES_CFGSETTING_MV")) {
            category = L"QV_Rule";
        } else if (m_category == L"QV_Rule" && fieldName == L"SCHEDULE_CFGSETTING") {
            category = L"QV_Schedule";
        } else {
            return;
        }
        product = new CTestSetting(category, subjectId ? subjectId : L"");
        ++m_created;
    }

  private:
    x_wstring m_category;
    x_wstring m_subject;
    bool m_factory;
};

// A value as "tag:payload" (bytes in hex).
inline std::wstring DumpValue(const CVar& v) {
    std::wstring out = std::to_wstring(v.vt()) + L":";
    if (v.IsString()) {
        out += L"'" + v.GetString() + L"'";
    } else if (v.IsByteArray()) {
        for (uint8_t b : v.GetBytes()) {
            wchar_t hex[3];
            std::swprintf(hex, 3, L"%02x", static_cast<unsigned>(b));
            out += hex;
        }
    } else if (v.vt() == VT_I2 || v.vt() == VT_I4 || v.vt() == VT_BOOL) {
        out += std::to_wstring(v.GetInt64());
    }
    return out;
}

// Every stored field of a setting, in map order, as "NAME=tag:payload;...".
inline std::wstring DumpFields(const CCfgSettingCategoryBase& s) {
    std::wstring text;
    for (const auto& [name, value] : settingtest::Fields(s))
        text += name + L"=" + DumpValue(value) + L";";
    return text;
}

// Subject, dirty flag and fields.
inline std::wstring DumpSetting(CCfgSettingCategoryBase& s) {
    return s.GetSubjectID().ToString() + (s.IsDirty() ? L" dirty " : L" clean ") + DumpFields(s);
}

using testsupport::Bytes;
using testsupport::FromHex;

}  // namespace embedded_test
