// The rewriting rules: role fields moved or erased at the feature bounds, scan servers,
// directory-bound DLP rules and reports, each compared as the whole field map after the rule.
#include <gtest/gtest.h>

#include "ReplicationTestSupport.h"
#include "outside/xml/CXMLParser.h"

using namespace repltest;

TEST(ReplicationFieldRules, RoleFieldsAreCopiedForEveryRoleTargetsAndErasedOtherwise) {
    const Fields vs = {{L"VS_ENABLE_VIRUSSCAN", 1},
                       {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", 0},
                       {L"AS_JUNK_EMAIL_FOLDER_INTEGRATION", 1}};
    const Fields ms = {{L"MS_LOWER_DELIVERY_TIME_LIMIT", 1}, {L"MS_OTHER", 1}};
    // clang-format off
    const struct { long source, target; const wchar_t* category; Fields fields; Texts after; } cases[] = {
        {kMailbox, kAllRoles, L"QV_VirusScan", vs, {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:1"}}},
        {kMailbox, kMailbox, L"QV_VirusScan", vs, {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}}},
        {kHub, kAllRoles, L"QV_VirusScan", vs, {{L"VS_ENABLE_VIRUSSCAN", L"3:0"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:0"}}},
        {kAllRoles, kAllRoles, L"QV_VirusScan", vs, {{L"VS_ENABLE_VIRUSSCAN", L"3:1"}, {L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"3:0"}}},
        {kMailbox, kAllRoles, L"qv_fileblocking", {}, {{L"FB_TRANSPORT_ENABLED", L"empty"}}},
        {kMailbox, kAllRoles, L"QV_ScanMethod", {{L"SM_PELQ_MODE", 1}, {L"SM_WTP_SCAN_METHOD", 1}}, {}},
        {0x104, kMailbox, L"QV_ManualScan", ms, {{L"MS_OTHER", L"3:1"}}},
        {kMailbox, kMailbox, L"QV_ManualScan", ms, {{L"MS_LOWER_DELIVERY_TIME_LIMIT", L"3:1"}, {L"MS_OTHER", L"3:1"}}},
        {kEveryRole, kEveryRole, L"QV_Any", {{L"AS_JUNK_EMAIL_FOLDER_INTEGRATION", 1}}, {}}};
    // clang-format on
    for (const auto& c : cases) {
        auto s = MakeSetting(c.category, L"S", c.fields);
        CTestFilter().DoFieldFilter(c.source, c.target, *s);
        EXPECT_EQ(FieldTexts(*s), c.after) << c.category << L" " << c.source << L"->" << c.target;
    }
    DBG::CCaptureLog log;
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, *MakeSetting(L"QV_VirusScan", L"S", vs));
    EXPECT_TRUE(
        log.Contains(L"CCfgReplicationFilter::DoFieldFilter(), field erase: "
                     L"VS_ENABLE_TRANSPORT_VIRUSSCAN",
                     DBG::LVL_INFO));

    // A row that fails is logged and the walk goes on with the next row.
    struct CRefusing : CCfgSettingCategoryFake {
        CRefusing() : CCfgSettingCategoryFake(L"QV_ContentFilter") {}
        void EraseField(const x_wstring& name) override {
            if (name == L"CF_TRANSPORT_ENABLED") throw OS::CException(7, L"r.cpp", 3, L"no");
            CCfgSettingCategoryFake::EraseField(name);
        }
    } refusing;
    refusing.AddFieldValue(x_wstring(L"CF_TRANSPORT_ENABLED"), CVar(1));
    refusing.AddFieldValue(x_wstring(L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV"), CVar(1));
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, refusing);
    EXPECT_EQ(FieldTexts(refusing), (Texts{{L"CF_TRANSPORT_ENABLED", L"3:1"}}));
    EXPECT_TRUE(log.Contains(L"CCfgReplicationFilter::DoFieldFilter(), " +
                                 OS::CException(7, L"r.cpp", 3, L"no").GetErrorMsgEx(),
                             DBG::LVL_WARNING));
}

TEST(ReplicationFieldRules, ScanServersLoseTheirSmartScanPart) {
    auto keep =
        MakeSetting(L"QV_SSI", L"A", {{L"SSI_SERVICE_TYPE", 2}, {L"SSI_SERVER_PELQ_PORT", 1}});
    auto smart =
        MakeSetting(L"QV_SSI", L"B", {{L"SSI_SERVICE_TYPE", 3}, {L"SSI_SERVER_PELQ_PORT", 2}});
    auto other =
        MakeSetting(L"QV_SSI", L"C", {{L"SSI_SERVICE_TYPE", L"5"}, {L"SSI_SERVER_PELQ_PORT", 3}});
    const CVar list = MakeList({keep.get(), smart.get(), other.get()});
    const std::vector<Texts> before = {FieldTexts(*keep), FieldTexts(*smart), FieldTexts(*other)};
    const std::vector<Texts> after = {
        FieldTexts(*keep), {{L"SSI_SERVICE_TYPE", L"3:0"}}, {{L"SSI_SERVICE_TYPE", L"8:5"}}};
    for (long role : {kMailbox, 0x6L}) {  // only when a server lacks the transport features
        auto s =
            MakeSetting(L"QV_ScanMethod", L"S", {{L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV", list}});
        CTestFilter().DoFieldFilter(role, role, *s);
        EXPECT_EQ(ListTexts(*s, L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV"),
                  role == kMailbox ? after : before);
    }
    // A list of references holds no copies: each is reported and the list keeps its form.
    const CVar refs(L"QV_SSI:A:QV_SSI:B");
    auto s = MakeSetting(L"QV_ScanMethod", L"S", {{L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV", refs}});
    DBG::CCaptureLog log;
    CTestFilter().DoFieldFilter(kMailbox, kMailbox, *s);
    EXPECT_EQ(FieldTexts(*s),
              (Texts{{L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV", L"8:" + refs.GetString()}}));
    EXPECT_TRUE(
        log.Contains(L"CCfgReplicationFilter::DoFieldModifyForSmarScan(), fail to get pcfgSetting",
                     DBG::LVL_ERROR));
}

TEST(ReplicationFieldRules, PolicyChangesDropDirectoryBoundDlpRulesAndRebindReports) {
    auto open = MakeSetting(L"QV_DLPRule", L"R1", {{L"DLP_SENDER_SET", L""}, {L"NAME", L"open"}});
    auto bound = MakeSetting(L"QV_DLPRule", L"R2", {{L"DLP_RECIPIENT_SET", L"cn=x"}});
    auto except = MakeSetting(L"QV_DLPRule", L"R3", {{L"DLP_SENDER_EXCEPTION_SET", L"cn=y"}});
    auto report = [](const x_wstring& content) {
        return MakeSetting(L"QV_SR", L"P", {{L"RPT_TEMPLATE_CONTENT", content}});
    };
    auto listing = [&](const wchar_t* servers) {
        return report(L"<report_template><name>n</name><server_list>" + x_wstring(servers) +
                      L"</server_list></report_template>");
    };
    auto third = listing(L"OTHER"), source = listing(L"s"), none = listing(L""),
         bare = report(L"<report_template/>");
    for (int type : {0, 2}) {
        auto dlp = MakeSetting(L"QV_DLPFilter", L"D",
                               {{L"DLP_RULE_SETTING_LIST_CFGSETTING_MV",
                                 MakeList({open.get(), bound.get(), except.get()})}});
        auto rpt = MakeSetting(L"QV_Report", L"R",
                               {{L"RPT_SCHEDULED_REPORT_LIST_CFGSETTING_MV",
                                 MakeList({third.get(), source.get(), none.get(), bare.get()})}});
        DBG::CCaptureLog log;
        EXPECT_FALSE(CTestFilter().Run(kEveryRole, 2010.1, *dlp, type));
        EXPECT_FALSE(CTestFilter().Run(kEveryRole, 2010.1, *rpt, type));
        const auto rules = ListTexts(*dlp, L"DLP_RULE_SETTING_LIST_CFGSETTING_MV");
        const auto reports = ListTexts(*rpt, L"RPT_SCHEDULED_REPORT_LIST_CFGSETTING_MV");
        if (type != 2) {
            EXPECT_EQ(std::make_pair(rules.size(), reports.size()),
                      (std::pair<size_t, size_t>{3, 4}));
            continue;
        }
        EXPECT_EQ(rules, std::vector<Texts>{FieldTexts(*open)});
        ASSERT_EQ(reports.size(), 3u);
        EXPECT_EQ(reports[1], FieldTexts(*none));
        EXPECT_EQ(reports[2], FieldTexts(*bare));
        CXMLParser xml;
        xml.LoadXML(reports[0].at(L"RPT_TEMPLATE_CONTENT").substr(2));
        EXPECT_EQ(xml.XPathSelectSingleNode(L"/report_template/server_list").GetText(), L"T");
        for (const wchar_t* line :
             {L"CCfgReplicationFilter::EraseAdIntegratedDlpRule(), erase rule",
              L"CCfgReplicationFilter::ErasedADIntegrateReport(), erase report template."})
            EXPECT_TRUE(log.Contains(line, DBG::LVL_ERROR)) << x_wstring(line).ToUtf8();
    }
}
