// Tests of fields that hold settings: one embedded setting, arrays of them (nested two levels)
// and applying a defaults object that holds embedded settings.
// Thread rule: test code, one thread.
#include <gtest/gtest.h>

#include "cfg_Setting.h"
#include "embedded_test_categories.h"

using namespace embedded_test;
using Products = std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>>;

namespace {

const std::wstring kRuleSubject = CTestSetting::DefaultSubject(L"QV_Rule");
const std::wstring kScheduleSubject = CTestSetting::DefaultSubject(L"QV_Schedule");

CTestSetting MakeSchedule(const wchar_t* subject, int hour) {
    CTestSetting s(L"QV_Schedule", subject);
    s.AddFieldValue(SCHEDULE_HOUR, hour);
    return s;
}

CTestSetting MakeRule(const wchar_t* subject, int level, CTestSetting* schedule = nullptr) {
    CTestSetting r(L"QV_Rule", subject);
    r.AddFieldValue(RULE_LEVEL, level);
    if (schedule) {
        EXPECT_TRUE(r.AddFieldValue(L"SCHEDULE_CFGSETTING", *schedule));
    }
    return r;
}

// The stored value of a field, as DumpValue shows it ("absent" when there is none).
std::wstring Stored(const CCfgSettingCategoryBase& s, const wchar_t* name) {
    CVar v;
    return s.GetFieldValue(name, v) ? DumpValue(v) : L"absent";
}

// The single copy form of `s`, as the references write it.
CVar CopyOf(CCfgSettingCategoryBase& s) {
    CCfgSettingCategoryRef ref;
    EXPECT_TRUE(ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), s));
    CVar v;
    EXPECT_TRUE(ref.GetValueByFieldRef(v, ref.GetRefKey(), ref.GetRefValue()));
    return v;
}

}  // namespace

TEST(EmbeddedSetting, OneSettingRoundTripsByNameAndByIdAndFailures) {
    CTestSetting schedule = MakeSchedule(L"SUB_S", 7);
    CTestSetting rule = MakeRule(L"SUB_R", 5, &schedule);
    CTestSetting policy(L"QV_Policy", L"SUB_P");
    ASSERT_FALSE(policy.IsDirty());

    ASSERT_TRUE(policy.AddFieldValue(L"RULE_CFGSETTING", rule));
    EXPECT_TRUE(policy.IsDirty());
    EXPECT_EQ(Stored(policy, L"RULE_CFGSETTING"), DumpValue(CopyOf(rule)));

    // Read back (name in another case) into a target that has a field of its own.
    CTestSetting target(L"QV_Rule", L"OLD");
    target.AddFieldValue(RULE_NAME, L"mine");
    target.ResetDirtyFlag(false);
    ASSERT_TRUE(policy.GetFieldValue(L"rule_cfgsetting", target));
    EXPECT_EQ(DumpSetting(target),
              L"SUB_R dirty RULE_LEVEL=3:5;RULE_NAME=8:'mine';SCHEDULE_CFGSETTING=" +
                  DumpValue(CopyOf(schedule)) + L";");

    // By id; a clean source gives a clean target.
    rule.ResetDirtyFlag(false);
    CTestSetting byId(L"QV_Policy");
    ASSERT_TRUE(byId.AddFieldValue(POLICY_RULE, rule));
    EXPECT_TRUE(byId.IsDirty());
    EXPECT_EQ(Stored(byId, L"RULE_CFGSETTING"), DumpValue(CopyOf(rule)));
    CTestSetting target2(L"QV_Rule");
    target2.ResetDirtyFlag(true);
    ASSERT_TRUE(byId.GetFieldValue(POLICY_RULE, target2));
    EXPECT_EQ(DumpSetting(target2), L"SUB_R clean RULE_LEVEL=3:5;SCHEDULE_CFGSETTING=" +
                                        DumpValue(CopyOf(schedule)) + L";");

    // Undeclared ids and absent fields: false, nothing changes.
    CTestSetting fresh(L"QV_Policy");
    EXPECT_FALSE(fresh.AddFieldValue(0x00990003u, rule));
    EXPECT_EQ(DumpSetting(fresh), L"ZOLT_SUB_DEFAULT_QV_Policy clean ");
    CTestSetting untouched(L"QV_Rule", L"U");
    EXPECT_FALSE(fresh.GetFieldValue(POLICY_RULE, untouched));
    EXPECT_EQ(DumpSetting(untouched), L"U clean ");

    // A truncated copy throws to the caller. (Reference strings read through embedded fields
    // are in the reference tests' tables.)
    std::vector<uint8_t> bytes = CopyOf(rule).GetBytes();
    bytes.pop_back();
    fresh.AddFieldValue(L"RULE_CFGSETTING", CVar::FromBytes(bytes));
    EXPECT_THROW(fresh.GetFieldValue(L"RULE_CFGSETTING", untouched), CIPCMsgBufferException);
}

TEST(EmbeddedSetting, ArraysRoundTripNestedTwoLevels) {
    CTestSetting schedule = MakeSchedule(L"SUB_S", 7);
    Products rules;
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_R1", 1, &schedule)));
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_R2", 2)));
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_R3", 3)));
    rules[2]->ResetDirtyFlag(false);

    CTestSetting policy(L"QV_Policy", L"SUB_P");
    ASSERT_TRUE(policy.SetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", rules));
    EXPECT_TRUE(policy.IsDirty());

    Products out;
    out.emplace_back(new CTestSetting(L"QV_Rule", L"ALREADY_THERE"));
    ASSERT_TRUE(policy.GetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", out));
    EXPECT_EQ(policy.m_created, 3);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(DumpSetting(*out[0]), L"ALREADY_THERE clean ");
    EXPECT_EQ(DumpSetting(*out[1]), L"SUB_R1 dirty RULE_LEVEL=3:1;SCHEDULE_CFGSETTING=" +
                                        DumpValue(CopyOf(schedule)) + L";");
    EXPECT_EQ(DumpSetting(*out[2]), L"SUB_R2 dirty RULE_LEVEL=3:2;");
    EXPECT_EQ(DumpSetting(*out[3]), L"SUB_R3 clean RULE_LEVEL=3:3;");
}

TEST(EmbeddedSetting, ArrayFailures) {
    Products rules;
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_R1", 1)));
    CTestSetting policy(L"QV_Policy");
    ASSERT_TRUE(policy.SetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", rules));
    const std::wstring stored = Stored(policy, L"RULES_CFGSETTING_MV");

    // A category that creates nothing cannot read a non-empty array; `out` stays as it was.
    CTestSetting noFactory(L"QV_Policy", L"", false);
    noFactory.AddFieldValue(L"RULES_CFGSETTING_MV", CVar(L"QV_Rule:A:"));
    Products out;
    out.emplace_back(new CTestSetting(L"QV_Rule", L"KEEP"));
    EXPECT_FALSE(noFactory.GetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", out));
    // Nor can one whose factory does not know the field.
    policy.AddFieldValue(L"OTHER_CFGSETTING_MV", CVar(L"QV_Rule:A:"));
    EXPECT_FALSE(policy.GetEmbeddedSettingArray(L"OTHER_CFGSETTING_MV", out));
    // Absent values (unparsable ones are in the reference tests' tables).
    EXPECT_FALSE(policy.GetEmbeddedSettingArray(L"MISSING_CFGSETTING_MV", out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(DumpSetting(*out[0]), L"KEEP clean ");

    // A missing element: false, nothing stored, but the setting is marked changed.
    rules.emplace_back();
    policy.ResetDirtyFlag(false);
    EXPECT_FALSE(policy.SetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", rules));
    EXPECT_TRUE(policy.IsDirty());
    EXPECT_EQ(Stored(policy, L"RULES_CFGSETTING_MV"), stored);  // (the array reference logs why)
}

TEST(EmbeddedSetting, ResetToDefaultResetsEmbeddedSettingsRecursively) {
    CTestSetting defaults(L"QV_Policy", L"SUB_DEF");
    defaults.AddFieldValue(POLICY_NAME, L"from defaults");
    CTestSetting schedule = MakeSchedule(L"SUB_S_DEF", 6);
    CTestSetting rule = MakeRule(L"SUB_R_DEF", 9, &schedule);
    ASSERT_TRUE(defaults.AddFieldValue(L"RULE_CFGSETTING", rule));
    CTestSetting schedule4 = MakeSchedule(L"SUB_S4", 4);
    Products rules;
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_A", 1)));
    rules.emplace_back(new CTestSetting(MakeRule(L"SUB_B", 2, &schedule4)));
    ASSERT_TRUE(defaults.SetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", rules));

    CTestSetting target(L"QV_Policy", L"SUB_T");
    target.AddFieldValue(L"KEEP", CVar(1));
    target.AddFieldValue(POLICY_NAME, L"old");
    target.ResetDirtyFlag(false);
    target.ResetToDefault(defaults);
    EXPECT_TRUE(target.IsDirty());
    EXPECT_EQ(Stored(target, L"NAME"), L"8:'from defaults'");
    EXPECT_EQ(Stored(target, L"KEEP"), L"3:1");

    // The embedded setting is rebuilt under its category's default subject, and so is the
    // schedule inside it.
    CTestSetting ruleBack(L"QV_Rule");
    ASSERT_TRUE(target.GetFieldValue(L"RULE_CFGSETTING", ruleBack));
    CTestSetting expectedSchedule(L"QV_Schedule");
    expectedSchedule.AddFieldValue(SCHEDULE_HOUR, 6);
    EXPECT_EQ(DumpSetting(ruleBack), kRuleSubject + L" dirty RULE_LEVEL=3:9;SCHEDULE_CFGSETTING=" +
                                         DumpValue(CopyOf(expectedSchedule)) + L";");

    Products out;
    ASSERT_TRUE(target.GetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(DumpSetting(*out[0]), kRuleSubject + L" dirty RULE_LEVEL=3:1;");
    CTestSetting nested(L"QV_Schedule");
    ASSERT_TRUE(out[1]->GetFieldValue(L"SCHEDULE_CFGSETTING", nested));
    EXPECT_EQ(DumpSetting(nested), kScheduleSubject + L" dirty HOUR=3:4;");

    // Applying an object to itself keeps what it holds.
    const std::wstring before = DumpFields(target);
    target.ResetToDefault(target);
    EXPECT_EQ(DumpFields(target), before);
}

TEST(EmbeddedSetting, ResetToDefaultCopiesValuesItCannotHandle) {
    CTestSetting rule = MakeRule(L"SUB_R", 5);
    std::vector<uint8_t> truncated = CopyOf(rule).GetBytes();
    truncated.resize(truncated.size() - 3);
    std::vector<uint8_t> lyingArray = Bytes({2, 0, 0, 0, 15, 0, 0, 0});

    CTestSetting defaults(L"QV_Policy");
    defaults.AddFieldValue(L"RULE_CFGSETTING", CVar(L"QV_Rule:SUB:THREE"));
    defaults.AddFieldValue(L"RULES_CFGSETTING_MV", CVar::FromBytes(lyingArray));
    defaults.AddFieldValue(L"TRUNC_CFGSETTING", CVar::FromBytes(truncated));
    defaults.AddFieldValue(L"UNKNOWN_CFGSETTING", CopyOf(rule));
    defaults.AddFieldValue(L"ODD_CFGSETTING_MV", CVar(L"A:B:C"));
    defaults.AddFieldValue(L"PLAIN", CVar(3));
    // Elements of an array whose category this object cannot create are left out.
    defaults.AddFieldValue(L"UNKNOWN_CFGSETTING_MV", CVar(L"QV_Rule:A:QV_Rule:B:"));
    CTestSetting expectedState(defaults);
    expectedState.AddFieldValue(L"UNKNOWN_CFGSETTING_MV", CVar::FromBytes(Bytes({0, 0, 0, 0})));
    const std::wstring expected = DumpFields(expectedState);

    CTestSetting target(L"QV_Policy");
    target.ResetToDefault(defaults);
    EXPECT_EQ(DumpFields(target), expected);
    EXPECT_TRUE(target.IsDirty());
    EXPECT_EQ(target.m_created, 0);
}
