// The rewriting rules: role fields moved or erased at the feature boundaries, scan servers,
// directory-bound DLP rules and reports, the mail-server 2013 erasures and the sandbox rule
// with its server queries, each compared as the whole field map after the rule.
#include <gtest/gtest.h>

#include "ReplicationTestSupport.h"
#include "outside/log/DebugLog.h"
#include "outside/xml/CXMLParser.h"

using namespace repltest;
using Texts = std::map<std::wstring, std::wstring>;
using V = std::vector<OS::x_wstring>;

TEST(ReplicationFieldRules, RoleFieldsAreCopiedForEveryRoleTargetsAndErasedOtherwise) {
    const Fields vs = {{L"VS_ENABLE_VIRUSSCAN", CVar(1)},
                       {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", CVar(0)},
                       {L"AS_JUNK_EMAIL_FOLDER_INTEGRATION", CVar(1)}};
    const Fields ms = {{L"MS_LOWER_DELIVERY_TIME_LIMIT", CVar(1)},
                       {L"MS_SCAN_UNSCANNED_MAILS", CVar(1)},
                       {L"MS_OTHER", CVar(1)}};
    const struct {
        long source, target;
        const wchar_t* category;
        Fields fields;
        Texts after;
    } cases[] = {
        {kMailbox,
         kAllRoles,
         L"QV_VirusScan",
         vs,
         {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:1"}}},
        {kMailbox, kMailbox, L"QV_VirusScan", vs, {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}}},
        {kHub,
         kAllRoles,
         L"QV_VirusScan",
         vs,
         {{L"VS_ENABLE_VIRUSSCAN", L"3:0"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:0"}}},
        {kAllRoles,
         kAllRoles,
         L"QV_VirusScan",
         vs,
         {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:0"}}},
        {kMailbox, kAllRoles, L"qv_fileblocking", {}, {{L"FB_TRANSPORT_ENABLED", L"empty"}}},
        {kMailbox,
         kAllRoles,
         L"QV_ScanMethod",
         {{L"SM_PELQ_MODE", CVar(1)}, {L"SM_WTP_SCAN_METHOD", CVar(1)}},
         {}},
        {0x104, kMailbox, L"QV_ManualScan", ms, {{L"MS_OTHER", L"3:1"}}},
        {kMailbox, kMailbox, L"QV_ManualScan", ms,
         Texts{{L"MS_LOWER_DELIVERY_TIME_LIMIT", L"3:1"},
               {L"MS_SCAN_UNSCANNED_MAILS", L"3:1"},
               {L"MS_OTHER", L"3:1"}}},
        {kEveryRole,
         kEveryRole,
         L"QV_Anything",
         {{L"AS_JUNK_EMAIL_FOLDER_INTEGRATION", CVar(1)}},
         {}},
    };
    for (const auto& c : cases) {
        auto s = MakeSetting(c.category, L"S", c.fields);
        CTestFilter().DoFieldFilter(c.source, c.target, *s);
        EXPECT_EQ(FieldTexts(*s), c.after) << c.category << L" " << c.source << L"->" << c.target;
    }
    DBG::CCaptureLog log;
    CTestFilter().DoFieldFilter(kMailbox, kAllRoles, *MakeSetting(L"QV_VirusScan", L"S", vs));
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, *MakeSetting(L"QV_VirusScan", L"S", vs));
    EXPECT_EQ(log.Messages(DBG::LVL_INFO)[3],
              L"CCfgReplicationFilter::DoFieldFilter(), field: VS_ENABLE_VIRUSSCAN sync to: "
              L"VS_ENABLE_TRANSPORT_VIRUSSCAN");
    EXPECT_EQ(
        log.Messages(DBG::LVL_INFO)[7],
        L"CCfgReplicationFilter::DoFieldFilter(), field erase: VS_ENABLE_TRANSPORT_VIRUSSCAN");
}

namespace {
// Refuses to erase one field, as a category with rules of its own might.
class CRefusingSetting : public CCfgSettingCategoryFake {
  public:
    CRefusingSetting() : CCfgSettingCategoryFake(L"QV_ContentFilter") {}
    void EraseField(const x_wstring& name) override {
        if (name == L"CF_TRANSPORT_ENABLED") throw OS::CException(7, L"refusing.cpp", 3, L"no");
        CCfgSettingCategoryFake::EraseField(name);
    }
};
}  // namespace

TEST(ReplicationFieldRules, AFailingRowIsLoggedAndTheWalkGoesOn) {
    CRefusingSetting s;
    s.AddFieldValue(x_wstring(L"CF_TRANSPORT_ENABLED"), CVar(1));
    s.AddFieldValue(x_wstring(L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV"), CVar(1));
    DBG::CCaptureLog log;
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, s);
    EXPECT_EQ(FieldTexts(s), (Texts{{L"CF_TRANSPORT_ENABLED", L"3:1"}}));
    EXPECT_EQ(log.Messages(DBG::LVL_WARNING),
              (V{L"CCfgReplicationFilter::DoFieldFilter(), " +
                 OS::CException(7, L"refusing.cpp", 3, L"no").GetErrorMsgEx()}));
}

TEST(ReplicationFieldRules, ScanServersLoseTheirSmartScanPart) {
    auto keep = MakeSetting(L"QV_ScanServer", L"A",
                            {{L"SSI_SERVICE_TYPE", CVar(2)}, {L"SSI_SERVER_PELQ_PORT", CVar(1)}});
    auto smart = MakeSetting(L"QV_ScanServer", L"B",
                             {{L"SSI_SERVICE_TYPE", CVar(3)}, {L"SSI_SERVER_PELQ_PORT", CVar(2)}});
    auto other =
        MakeSetting(L"QV_ScanServer", L"C",
                    {{L"SSI_SERVICE_TYPE", CVar(L"5")}, {L"SSI_SERVER_PELQ_PORT", CVar(3)}});
    const CVar list = MakeList({keep.get(), smart.get(), other.get()});
    const std::vector<Texts> converted = {
        {{L"SSI_SERVICE_TYPE", L"3:2"}, {L"SSI_SERVER_PELQ_PORT", L"3:1"}},
        {{L"SSI_SERVICE_TYPE", L"3:0"}},
        {{L"SSI_SERVICE_TYPE", L"8:5"}}};
    for (long role : {kMailbox, 0x6L}) {  // only when a server lacks the transport features
        auto s =
            MakeSetting(L"QV_ScanMethod", L"S", {{L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV", list}});
        CTestFilter().DoFieldFilter(role, role, *s);
        EXPECT_EQ(*ListTexts(*s, L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV"),
                  role == kMailbox ? converted
                                   : *ListTexts(*MakeSetting(L"Q", L"S", {{L"L", list}}), L"L"));
    }
    // A list of references holds no copies: each is reported and the list stays as it was.
    auto refs = MakeSetting(
        L"QV_ScanMethod", L"S",
        {{L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV", CVar(L"QV_ScanServer:A:QV_ScanServer:B")}});
    DBG::CCaptureLog log;
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, *refs);
    EXPECT_EQ(FieldTexts(*refs).at(L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV"),
              L"8:QV_ScanServer:A:QV_ScanServer:B");
    EXPECT_EQ(log.Messages(DBG::LVL_ERROR),
              V(2, L"CCfgReplicationFilter::DoFieldModifyForSmarScan(), fail to get pcfgSetting"));
}

TEST(ReplicationFieldRules, PolicyChangesDropDirectoryBoundDlpRulesAndRebindReports) {
    auto open = MakeSetting(L"QV_DLPRule", L"R1",
                            {{L"DLP_SENDER_SET", CVar(L"")}, {L"NAME", CVar(L"open")}});
    auto recipients = MakeSetting(L"QV_DLPRule", L"R2", {{L"DLP_RECIPIENT_SET", CVar(L"cn=x")}});
    auto exceptions =
        MakeSetting(L"QV_DLPRule", L"R3", {{L"DLP_SENDER_EXCEPTION_SET", CVar(L"cn=y")}});
    const CVar rules = MakeList({open.get(), recipients.get(), exceptions.get()});
    auto report = [](const wchar_t* servers) {
        return MakeSetting(L"QV_ScheduledReport", L"P",
                           {{L"RPT_TEMPLATE_CONTENT",
                             CVar(x_wstring(L"<report_template><name>n</name><server_list>") +
                                  servers + L"</server_list></report_template>")}});
    };
    auto third = report(L"OTHER"), source = report(L"src01"), none = report(L"");
    auto bare = MakeSetting(L"QV_ScheduledReport", L"P",
                            {{L"RPT_TEMPLATE_CONTENT", CVar(L"<report_template/>")}});
    const CVar reports = MakeList({third.get(), source.get(), none.get(), bare.get()});
    for (int type : {0, 2}) {
        auto dlp = MakeSetting(L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS",
                               {{L"DLP_RULE_SETTING_LIST_CFGSETTING_MV", rules}});
        auto rpt = MakeSetting(L"QV_Report", L"ZOLT_SUB_CFG_RPT",
                               {{L"RPT_SCHEDULED_REPORT_LIST_CFGSETTING_MV", reports}});
        DBG::CCaptureLog log;
        EXPECT_FALSE(CTestFilter().Filter(L"SRC01", L"TGT01", kEveryRole, kEveryRole, 11.0, 0,
                                          2010.1, 2010.1, *dlp, type));
        EXPECT_FALSE(CTestFilter().Filter(L"SRC01", L"TGT01", kEveryRole, kEveryRole, 11.0, 0,
                                          2010.1, 2010.1, *rpt, type));
        const auto dlpAfter = *ListTexts(*dlp, L"DLP_RULE_SETTING_LIST_CFGSETTING_MV");
        const auto rptAfter = *ListTexts(*rpt, L"RPT_SCHEDULED_REPORT_LIST_CFGSETTING_MV");
        if (type != 2) {
            EXPECT_EQ(dlpAfter.size(), 3u);
            EXPECT_EQ(rptAfter.size(), 4u);
            continue;
        }
        EXPECT_EQ(dlpAfter, std::vector<Texts>{FieldTexts(*open)});
        ASSERT_EQ(rptAfter.size(), 3u);
        EXPECT_EQ(rptAfter[1], FieldTexts(*none));
        EXPECT_EQ(rptAfter[2], FieldTexts(*bare));
        const x_wstring rebound = rptAfter[0].at(L"RPT_TEMPLATE_CONTENT").substr(2);
        CXMLParser xml;
        xml.LoadXML(rebound);
        EXPECT_EQ(xml.XPathSelectSingleNode(L"/report_template/server_list").GetText(), L"TGT01");
        EXPECT_EQ(xml.XPathSelectSingleNode(L"/report_template/name").GetText(), L"n");
        const auto templateLine = [](const CCfgSettingCategoryFake& r) {
            return L"CCfgReplicationFilter::ErasedADIntegrateReport()" +
                   FieldTexts(r).at(L"RPT_TEMPLATE_CONTENT").substr(2) + L":";
        };
        EXPECT_EQ(log.Messages(DBG::LVL_ERROR),
                  (V{L"CCfgReplicationFilter::EraseAdIntegratedDlpRule(), erase rule",
                     L"CCfgReplicationFilter::EraseAdIntegratedDlpRule(), erase rule",
                     templateLine(*third),
                     L"CCfgReplicationFilter::ErasedADIntegrateReport(), erase report template.",
                     templateLine(*source), templateLine(*none), templateLine(*bare)}));
        EXPECT_TRUE(
            log.Contains(L"Original Server List src01, source server:SRC01, target "
                         L"server:TGT01.",
                         DBG::LVL_INFO));
    }
}
