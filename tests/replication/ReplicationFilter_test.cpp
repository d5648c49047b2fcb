// The filter's decision chain: role features, the drop rules' tables at their boundaries, the
// registry switch for spam maintenance, and the order Filter runs its steps in.
#include <gtest/gtest.h>

#include "ReplicationTestSupport.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "tests/support/LogText.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using namespace repltest;
using V = std::vector<OS::x_wstring>;

TEST(ReplicationFeatures, RolesGiveFeaturesAndTheSkipSetIsWhatEitherLacks) {
    CTestFilter f;
    const struct {
        long role;
        uint32_t features;
    } roles[] = {{kEveryRole, 0xFFFFFDFF},
                 {0xFFFFFFFFL, 0xFFFFFDFF},
                 {kAllRoles, 0xFFFFFDFF},
                 {kMailbox, 0x201},
                 {kEdge, 0x210},
                 {kHub, 0x210},
                 {kMailbox | kHub, 0x211},
                 {0x104, 0x1},
                 {0x10E, 0x11},
                 {0, 0x200}};
    for (const auto& r : roles)
        EXPECT_EQ(uint32_t(f.GetRoleFeatures(r.role)), r.features) << r.role;

    const struct {
        long source, target;
        uint32_t skip;
    } pairs[] = {{kEveryRole, kEveryRole, 0x200},
                 {kEdge, kMailbox, 0xFFFFFDFF},
                 {kAllRoles, kMailbox, 0xFFFFFFFE},
                 {0x104, kMailbox, 0xFFFFFFFE},
                 {0x6, 0x6, 0xFFFFFDEE}};
    for (const auto& p : pairs) {
        EXPECT_EQ(uint32_t(f.GetSkipFeature(p.source, p.target)), p.skip) << p.source << p.target;
    }
    DBG::CCaptureLog log;
    f.GetSkipFeature(kEdge, kMailbox);
    EXPECT_EQ(log.Messages(DBG::LVL_INFO),
              (V{L"GetSkipFeature(), source=0x210", L"GetSkipFeature(), target=0x201",
                 L"GetSkipFeature(), skip=0xfffffdff"}));
}

TEST(ReplicationDropRules, SubjectSkipRowsApplyOnlyWhenAServerLacksTheirFeature) {
    const struct {
        long source, target;
        const wchar_t *category, *subject;
        bool dropped;
    } cases[] = {
        {kEveryRole, kEveryRole, L"QV_AntiSpam", L"ZOLT_SUB_CFG_AS_RS", false},
        {kMailbox, kMailbox, L"QV_AntiSpam", L"ZOLT_SUB_CFG_AS_RS", true},
        {kHub, kHub, L"qv_antispam", L"zolt_sub_cfg_as_rs", false},
        {kEdge, kMailbox, L"QV_RealTimeScan", L"ANY", true},
        {0x6, 0x6, L"QV_RealTimeScan", L"ANY", false},
        {kHub, kHub, L"QV_ScheduledScan_Task", L"T1", true},
        {kMailbox, kMailbox, L"qv_fileblocking", L"zolt_sub_cfg_ab_exception_item_7", true},
        {kMailbox, kMailbox, L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_EXCEPTION_ITE", false},
        {0x6, 0x6, L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_EXCEPTION_ITEM_7", false},
        {kMailbox, kMailbox, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_QUEUE_SIZE", true},
        {kMailbox, kMailbox, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_QUEUE_SIZE2", false},
        {kMailbox, kMailbox, L"QV_WebThreatProtection", L"ZOLT_SUB_CFG_AS_RS", false},
    };
    for (const auto& c : cases) {
        CTestFilter f;
        EXPECT_EQ(f.DoSubjectFilter(c.source, c.target, *MakeSetting(c.category, c.subject)),
                  c.dropped)
            << c.category << L" " << c.subject;
    }
    DBG::CCaptureLog log;
    CTestFilter().DoSubjectFilter(kEdge, kMailbox, *MakeSetting(L"QV_RealTimeScan", L"S"));
    EXPECT_EQ(log.Messages(DBG::LVL_INFO),
              (V{L"GetSkipFeature(), source=0x210", L"GetSkipFeature(), target=0x201",
                 L"GetSkipFeature(), skip=0xfffffdff",
                 L"DoSubjectFilter() SkipFeature=0xfffffdff, category=QV_RealTimeScan, subject=S.",
                 L"DoSubjectFilter() skip this subject (match all)",
                 L"CCfgReplicationFilter::DoSubjectFilter(), 1"}));
}

TEST(ReplicationDropRules, SpamMaintenanceFollowsTheRegistryValue) {
    testsupport::CTempDir tmp;
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    const wchar_t kKey[] = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";
    const struct {
        std::optional<unsigned long> value;
        bool dropped;
        const wchar_t* line;
    } cases[] = {
        {std::nullopt, true,
         L"[PLOZR-264591][CCfgReplicationFilter::DoSubjectFilter] subject "
         L"ZOLT_SUB_CFG_SPAM_MAINTENANCE is removed."},
        {0, true, nullptr},
        {1, false,
         L"[PLOZR-264591][CCfgReplicationFilter::DoSubjectFilter] replicate the subject "
         L"ZOLT_SUB_CFG_SPAM_MAINTENANCE by registry ReplicateSpamMaintenance."},
    };
    for (const auto& c : cases) {
        if (c.value) {
            OS::CRegKey key;
            ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
            ASSERT_EQ(key.SetValue(*c.value, L"ReplicateSpamMaintenance"), ERROR_SUCCESS);
        }
        DBG::CCaptureLog log;
        auto s = MakeSetting(L"QV_SpamMaintenance", L"ZOLT_SUB_CFG_SPAM_MAINTENANCE");
        EXPECT_EQ(CTestFilter().DoSubjectFilter(kEveryRole, kMailbox, *s), c.dropped);
        if (c.line) {
            EXPECT_TRUE(log.Contains(c.line, DBG::LVL_INFO)) << c.line;
        }
    }
}

TEST(ReplicationDropRules, VersionAndSearchAndDestroyTablesAtTheirBounds) {
    const struct {
        double version;
        int pack;
        const wchar_t* category;
        bool dropped, fieldLeft;
    } versions[] = {{10.2, 0, L"QV_DLPFilter", true, true},
                    {10.2, 0, L"qv_dlpfiltertemplatemgr", true, true},
                    {10.2, 1, L"QV_DLPFilter", false, true},
                    {10.3, 0, L"QV_DLPFilter", false, true},
                    {10.2, 0, L"QV_ManualScan", false, false},
                    {10.2, 1, L"QV_ManualScan", false, true}};
    for (const auto& c : versions) {
        auto s = MakeSetting(c.category, L"S",
                             {{L"MS_DLP_FILTER_CFGSETTING", CVar(1)}, {L"X", CVar(2)}});
        EXPECT_EQ(CTestFilter().DoZOLTVersionFilter(c.version, c.pack, *s), c.dropped)
            << c.category;
        EXPECT_EQ(FieldTexts(*s).count(L"MS_DLP_FILTER_CFGSETTING"), c.fieldLeft ? 1u : 0u);
        EXPECT_EQ(FieldTexts(*s).count(L"X"), 1u);
    }

    const wchar_t* const kTask = L"ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS";
    const struct {
        long source, target;
        double sourceEx, targetEx;
        int type;
        const wchar_t *category, *subject;
        bool dropped;
    } sd[] = {
        {kMailbox, kMailbox, 2010.1, 2010.1, 0, L"QV_Alert", kTask, false},
        {kMailbox, kMailbox, 2010.1, 2010.0, 0, L"QV_Alert", kTask, true},
        {kMailbox, kMailbox, 2010.0, 2010.1, 0, L"QV_Alert", kTask, false},
        {kMailbox, kMailbox, 2010.0, 2010.1, 3, L"QV_Alert", kTask, true},
        {kMailbox, kMailbox, 2010.1, 2013.0, 3, L"qv_alert", kTask, false},
        {kHub, kMailbox, 2013.0, 2013.0, 0, L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SD", true},
        {kMailbox, kHub, 2013.0, 2013.0, 0, L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SO", true},
        {kEveryRole, kEveryRole, 2013.0, 2013.0, 0, L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_DISK",
         true},
        {kEveryRole, kEveryRole, 2013.0, 2013.0, 0, L"QV_Alert",
         L"ZOLT_SUB_CFG_AL_QUARANTINE_AND_SD_DISK", false},
        {kHub, kHub, 2003.0, 2003.0, 3, L"QV_Alert", L"ZOLT_SUB_CFG_AL_OTHER", false},
    };
    for (const auto& c : sd) {
        EXPECT_EQ(CTestFilter().DoSearchDestroyFilter(c.source, c.target, c.sourceEx, c.targetEx,
                                                      *MakeSetting(c.category, c.subject), c.type),
                  c.dropped)
            << c.subject << L" " << c.sourceEx << L" " << c.targetEx;
    }
    DBG::CCaptureLog log;
    CTestFilter().DoSearchDestroyFilter(kMailbox, kMailbox, 2010.1, 2010.0,
                                        *MakeSetting(L"QV_Alert", kTask), 0);
    EXPECT_EQ(testsupport::LogText(log),
              (V{L"110 cfg_ReplicationFilter CCfgReplicationFilter::DoSearchDestroyFilter(), "
                 L"strSubject = ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS",
                 L"102 cfg_ReplicationFilter SrcFeature: 513  TargetFeature: 513",
                 L"102 cfg_ReplicationFilter CCfgReplicationFilter::DoSearchDestroyFilter() "
                 L"ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS, match",
                 L"111 cfg_ReplicationFilter CCfgReplicationFilter::DoSearchDestroyFilter() "
                 L"removed: 1"}));
}

namespace {
// A content-filter rule whose class declares the four rule fields.
class CContentFilterRule : public CCfgSettingCategoryFake {
  public:
    CContentFilterRule() : CCfgSettingCategoryFake(L"QV_ContentFilterRule") {}
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        const wchar_t* names[] = {L"CFR_A", L"CFR_B", L"CFR_C", L"CFR_D"};
        for (unsigned int i = 0; i < 4; ++i) {
            if (!cb(0x04C8001F + (i << 16), names[i], CVar(L""))) return;
        }
    }
};
}  // namespace

TEST(ReplicationDropRules, PolicyRuleDropsRulesWithAnyRuleFieldSet) {
    const struct {
        long role;
        const wchar_t* field;
        const wchar_t* value;
        bool dropped, droppedForCF;
    } cases[] = {{kMailbox, L"CFR_D", L"x", true, true},
                 {0x6, L"CFR_A", L"x", false, true},
                 {kMailbox, L"CFR_B", L"", false, false},
                 {kMailbox, L"OTHER", L"x", false, false}};
    for (const auto& c : cases) {
        CContentFilterRule rule;
        rule.AddFieldValue(x_wstring(c.field), CVar(c.value));
        EXPECT_EQ(CTestFilter().DoPolicyFilter(c.role, c.role, rule), c.dropped) << c.field;
        EXPECT_EQ(CTestFilter().DoPolicyFilterForCF(rule), c.droppedForCF) << c.field;
    }
    // A generic object declares no rule fields: its values are not looked at.
    auto generic = MakeSetting(L"QV_ContentFilterRule", L"S", {{L"CFR_A", CVar(L"x")}});
    EXPECT_FALSE(CTestFilter().DoPolicyFilterForCF(*generic));
}

TEST(ReplicationChain, FilterStopsAtTheFirstDropAndRunsThePolicyStepBySourceType) {
    {  // dropped by the version rule: no later rule looks at the setting
        DBG::CCaptureLog log;
        auto s = MakeSetting(L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS");
        EXPECT_TRUE(CTestFilter().Filter(L"S", L"T", kEveryRole, kEveryRole, 10.2, 0, 2010.1,
                                         2010.1, *s, 0));
        const V lines = testsupport::LogText(log);
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0],
                  L"110 cfg_ReplicationFilter CCfgReplicationFilter::Filter(), source "
                  L"server = S, target server = T, source role = 0xffffffff, target "
                  L"role = 0xffffffff, source version = 10.2, service pack = 0, source "
                  L"mail-server version = 2010.1, target mail-server version = 2010.1, "
                  L"source type = 0");
        EXPECT_EQ(
            lines[1],
            L"102 cfg_ReplicationFilter CCfgReplicationFilter::Filter category = QV_DLPFilter");
        EXPECT_EQ(lines[4],
                  L"111 cfg_ReplicationFilter CCfgReplicationFilter::Filter(), result: 1");
    }
    for (int type : {0, 2}) {  // policy changes drop rules whatever the roles
        CContentFilterRule rule;
        rule.AddFieldValue(x_wstring(L"CFR_C"), CVar(L"x"));
        EXPECT_EQ(CTestFilter().Filter(L"S", L"T", 0x6, 0x6, 11.0, 0, 2010.1, 2010.1, rule, type),
                  type == 2);
    }
    for (int type : {0, 2}) {  // and lose the content-filter policy list
        auto cf = MakeSetting(
            L"QV_ContentFilter", L"ZOLT_SUB_CFG_CF_RS",
            {{L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV", CVar(L"")}, {L"CF_ENABLED", CVar(1)}});
        EXPECT_FALSE(
            CTestFilter().Filter(L"S", L"T", 0x6, 0x6, 11.0, 0, 2010.1, 2013.0, *cf, type));
        // mail-server 2013 on the target erases CF_ENABLED in both cases
        EXPECT_EQ(FieldTexts(*cf).size(), type == 2 ? 0u : 1u);
    }
}
