// The filter's decision chain: role features, the drop tables at their bounds, the registry
// switch for spam maintenance, and the order Filter runs its steps in.
#include <gtest/gtest.h>

#include <optional>

#include "ReplicationTestSupport.h"
#include "outside/registry/CRegKey.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using namespace repltest;

TEST(ReplicationFeatures, RolesGiveFeaturesAndTheSkipSetIsWhatEitherLacks) {
    CTestFilter f;
    // clang-format off
    const struct { long role; uint32_t features; } roles[] = {
        {kEveryRole, 0xFFFFFDFF}, {0xFFFFFFFFL, 0xFFFFFDFF}, {kAllRoles, 0xFFFFFDFF}, {kMailbox, 0x201},
        {kEdge, 0x210}, {kHub, 0x210}, {0x6, 0x211}, {0x104, 0x1}, {0x10E, 0x11}, {0, 0x200}};
    const struct { long source, target; uint32_t skip; } pairs[] = {
        {kEveryRole, kEveryRole, 0x200}, {kEdge, kMailbox, 0xFFFFFDFF},
        {kAllRoles, kMailbox, 0xFFFFFFFE}, {0x104, kMailbox, 0xFFFFFFFE}, {0x6, 0x6, 0xFFFFFDEE}};
    // clang-format on
    for (const auto& r : roles)
        EXPECT_EQ(uint32_t(f.GetRoleFeatures(r.role)), r.features) << r.role;
    for (const auto& p : pairs) {
        EXPECT_EQ(uint32_t(f.GetSkipFeature(p.source, p.target)), p.skip) << p.source << p.target;
    }
}

TEST(ReplicationDropRules, SubjectSkipRowsApplyOnlyWhenAServerLacksTheirFeature) {
    // clang-format off
    const struct { long source, target; const wchar_t *category, *subject; bool dropped; } cases[] = {
        {kEveryRole, kEveryRole, L"QV_AntiSpam", L"ZOLT_SUB_CFG_AS_RS", false},
        {kMailbox, kMailbox, L"QV_AntiSpam", L"ZOLT_SUB_CFG_AS_RS", true},
        {kEdge, kMailbox, L"QV_RealTimeScan", L"ANY", true},
        {0x6, 0x6, L"QV_RealTimeScan", L"ANY", false},
        {kMailbox, kMailbox, L"qv_fileblocking", L"zolt_sub_cfg_ab_exception_item_7", true},
        {kMailbox, kMailbox, L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_EXCEPTION_ITE", false},
        {0x6, 0x6, L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_EXCEPTION_ITEM_7", false},
        {kMailbox, kMailbox, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_QUEUE_SIZE2", false},
        {kMailbox, kMailbox, L"QV_WebThreatProtection", L"ZOLT_SUB_CFG_AS_RS", false}};
    // clang-format on
    for (const auto& c : cases) {
        auto s = MakeSetting(c.category, c.subject);
        EXPECT_EQ(CTestFilter().DoSubjectFilter(c.source, c.target, *s), c.dropped) << c.subject;
    }
}

TEST(ReplicationDropRules, SpamMaintenanceFollowsTheRegistryValue) {
    testsupport::CTempDir tmp;
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    const x_wstring line = L"[PLOZR-264591][CCfgReplicationFilter::DoSubjectFilter] ";
    const x_wstring removed = line + L"subject ZOLT_SUB_CFG_SPAM_MAINTENANCE is removed.";
    // clang-format off
    const struct { std::optional<unsigned long> value; bool dropped; x_wstring line; } cases[] = {
        {std::nullopt, true, removed}, {0, true, removed},
        {1, false, line + L"replicate the subject ZOLT_SUB_CFG_SPAM_MAINTENANCE by registry ReplicateSpamMaintenance."}};
    // clang-format on
    for (const auto& c : cases) {
        OS::CRegKey key;
        key.Create(HKEY_LOCAL_MACHINE,
                   L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion");
        if (c.value) key.SetValue(*c.value, L"ReplicateSpamMaintenance");
        DBG::CCaptureLog log;
        auto s = MakeSetting(L"QV_SpamMaintenance", L"ZOLT_SUB_CFG_SPAM_MAINTENANCE");
        EXPECT_EQ(CTestFilter().DoSubjectFilter(kEveryRole, kMailbox, *s), c.dropped);
        EXPECT_TRUE(log.Contains(c.line, DBG::LVL_INFO)) << c.line.c_str();
    }
}

TEST(ReplicationDropRules, VersionAndSearchAndDestroyTablesAtTheirBounds) {
    // clang-format off
    const struct { double version; int pack; const wchar_t* category; bool dropped; size_t left; } versions[] = {
        {10.2, 0, L"QV_DLPFilter", true, 2}, {10.2, 0, L"qv_dlpfiltertemplatemgr", true, 2},
        {10.2, 1, L"QV_DLPFilter", false, 2}, {10.3, 0, L"QV_DLPFilter", false, 2},
        {10.2, 0, L"QV_ManualScan", false, 1}, {10.2, 1, L"QV_ManualScan", false, 2}};
    // clang-format on
    for (const auto& c : versions) {
        auto s = MakeSetting(c.category, L"S", {{L"MS_DLP_FILTER_CFGSETTING", 1}, {L"X", 2}});
        EXPECT_EQ(CTestFilter().DoZOLTVersionFilter(c.version, c.pack, *s), c.dropped);
        EXPECT_EQ(FieldTexts(*s).size(), c.left) << c.category << c.pack;
    }
    const wchar_t* const kTask = L"ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS";
    // clang-format off
    const struct { long source, target; double sourceEx, targetEx; int type; const wchar_t *category, *subject; bool dropped; } cases[] = {
        {kMailbox, kMailbox, 2010.1, 2010.1, 0, L"QV_Alert", kTask, false},
        {kMailbox, kMailbox, 2010.1, 2010.0, 0, L"QV_Alert", kTask, true},
        {kMailbox, kMailbox, 2010.0, 2010.1, 0, L"QV_Alert", kTask, false},
        {kMailbox, kMailbox, 2010.0, 2010.1, 3, L"qv_alert", kTask, true},
        {kHub, kMailbox, 2013.0, 2013.0, 0, L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SD", true},
        {kMailbox, kHub, 2013.0, 2013.0, 0, L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SO", true},
        {kEveryRole, kEveryRole, 2013.0, 2013.0, 0, L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_DISK", true},
        {kHub, kHub, 2003.0, 2003.0, 3, L"QV_Alert", L"ZOLT_SUB_CFG_AL_OTHER", false}};
    // clang-format on
    for (const auto& c : cases) {
        auto s = MakeSetting(c.category, c.subject);
        EXPECT_EQ(CTestFilter().DoSearchDestroyFilter(c.source, c.target, c.sourceEx, c.targetEx,
                                                      *s, c.type),
                  c.dropped)
            << c.subject << L" " << c.sourceEx << L" " << c.targetEx;
    }
}

namespace {
// A content-filter rule whose class declares the four rule fields (ids 0x04C8001F and on).
class CContentFilterRule : public CCfgSettingCategoryFake {
  public:
    CContentFilterRule() : CCfgSettingCategoryFake(L"QV_ContentFilterRule") {}
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        for (unsigned int i = 0; i < 4; ++i)
            cb(0x04C8001F + (i << 16), L"CFR_" + x_wstring(1, L'A' + i), L"");
    }
};
}  // namespace

TEST(ReplicationChain, PolicyRulesAndTheOrderOfTheSteps) {
    // clang-format off
    const struct { long role; const wchar_t *field, *value; bool dropped, droppedForPolicyChange; } cases[] = {
        {kMailbox, L"CFR_D", L"x", true, true}, {0x6, L"CFR_A", L"x", false, true},
        {kMailbox, L"CFR_B", L"", false, false}, {kMailbox, L"OTHER", L"x", false, false}};
    // clang-format on
    for (const auto& c : cases) {
        CContentFilterRule rule;
        rule.AddFieldValue(x_wstring(c.field), CVar(c.value));
        EXPECT_EQ(CTestFilter().DoPolicyFilter(c.role, c.role, rule), c.dropped) << c.field;
        EXPECT_EQ(CTestFilter().Run(c.role, 2010.1, rule, 2), c.droppedForPolicyChange) << c.field;
    }
    // A generic object declares no rule fields: its values are not looked at.
    EXPECT_FALSE(CTestFilter().DoPolicyFilterForCF(
        *MakeSetting(L"QV_ContentFilterRule", L"S", {{L"CFR_A", L"x"}})));

    // Dropped by the version rule, the first of the chain.
    auto dlp = MakeSetting(L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS");
    EXPECT_TRUE(CTestFilter().Filter(L"S", L"T", -1, -1, 10.2, 0, 2010.1, 2010.1, *dlp, 0));

    // Kept: the policy list goes only with policy changes; mail-server 2013 erases CF_ENABLED.
    for (int type : {0, 2}) {
        auto cf =
            MakeSetting(L"QV_ContentFilter", L"ZOLT_SUB_CFG_CF_RS",
                        {{L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV", L""}, {L"CF_ENABLED", 1}});
        EXPECT_FALSE(CTestFilter().Run(0x6, 2013.0, *cf, type));
        EXPECT_EQ(FieldTexts(*cf).size(), type == 2 ? 0u : 1u);
    }
}
