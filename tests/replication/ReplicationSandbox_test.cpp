// The sandbox-analysis rule (which servers take the sandbox setting, what the servers are
// asked, the engine and address fields left behind) and the mail-server 2013 erasures.
#include <gtest/gtest.h>

#include <optional>

#include "ReplicationTestSupport.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "tests/support/Caught.h"
#include "tests/support/RuntimeDir.h"

using namespace repltest;

namespace {

// Stands for this computer's master: keeps each sandbox registration it receives.
class CRegistrationSink : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{102004};
        *count = 1;
        return true;
    }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer&) override {
        received.emplace_back(request.GetBuffer(), request.GetBuffer() + request.BytesUsed());
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    std::vector<std::vector<unsigned char>> received;
};

}  // namespace

TEST(ReplicationSandbox, TheSandboxSettingGoesOnlyWhereTheScanEngineCanUseIt) {
    const Fields voka = {
        {L"VOKA_CLIENT_UUID", L"u"}, {L"VOKA_ADDRESS_TYPE", 1}, {L"VOKA_OTHER", 1}};
    const Texts other = {{L"VOKA_OTHER", L"3:1"}},
                address = {{L"VOKA_ADDRESS_TYPE", L"3:1"}, {L"VOKA_OTHER", L"3:1"}};
    // clang-format off
    const struct { long source, target; double targetEx; std::map<x_wstring, int> engines; int type; const wchar_t* reason; size_t queries; std::optional<Texts> kept; } cases[] = {
        {kMailbox, kHub, 2010.1, {}, 0, L"VKN filter: mailbox only filter", 0, std::nullopt},
        {kHub, 0x104, 2010.1, {}, 0, L"VKN filter: mailbox only filter", 0, std::nullopt},
        {kHub, kHub, 2003.0, {}, 0, L"VKN filter: Exchange 2k3 filter", 0, std::nullopt},
        {kHub, kHub, 2007.0, {{L"S", 1}, {L"T", 0}}, 0, L"VKN filter: source RUMB disable filter", 1, std::nullopt},
        {kHub, kHub, 2007.0, {{L"T", 1}}, 0, L"VKN filter: target RUMB disable filter", 2, std::nullopt},
        {kHub, kHub, 2010.1, {{L"S", 0}, {L"T", 0}}, 2, L"VKN filter: register", 2, other},
        {kHub, kHub, 2010.1, {}, 0, L"VKN filter: register", 2, address},
        {kEdge | kHub, kHub, 2010.1, {}, 0, L"VKN filter : edge", 2, other}};
    // clang-format on
    for (const auto& c : cases) {
        CTestFilter f;
        f.engineByServer = c.engines;
        auto s = MakeSetting(L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA", voka);
        DBG::CCaptureLog log;
        EXPECT_EQ(f.Sandbox(c.source, c.target, c.targetEx, *s, c.type), !c.kept) << c.reason;
        EXPECT_TRUE(log.Contains(c.reason, DBG::LVL_INFO)) << c.reason;
        EXPECT_EQ(f.queries.size(), c.queries) << c.reason;
        EXPECT_EQ(f.registered, c.kept ? V{L"QV_VOKA:ZOLT_SUB_CFG_VOKA"} : V{}) << c.reason;
        EXPECT_EQ(FieldTexts(*s), c.kept.value_or(FieldTexts(*MakeSetting(L"Q", L"S", voka))));
    }
    // The source is asked through its remote component, the target through this computer's.
    CTestFilter f;
    f.engineByServer = {{L"T", 4}};
    DBG::CCaptureLog log;
    f.Sandbox(kHub, kHub, 2010.1, *MakeSetting(L"qv_voka", L"zolt_sub_cfg_voka"), 0);
    EXPECT_EQ(f.queries, (V{L"ID_ZOLT_REMOTE_CFG S S QV_VirusScan:ZOLT_SUB_CFG_VS_RS",
                            L"ID_ZOLT_MASTER T - QV_VirusScan:ZOLT_SUB_CFG_VS_RS"}));
    EXPECT_TRUE(log.Contains(L"CCfgReplicationFilter::DoVOKAFilter QueryConfigurationSettings fail",
                             DBG::LVL_ERROR));

    // The registration goes to this computer's master as 102004 and the serialized setting; when
    // the master cannot be reached, the RPC layer's exception leaves Filter.
    testsupport::CRuntimeDir runtime;
    CTestFilter sender;
    sender.sendRegistration = true;
    const auto sandbox = MakeSetting(L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA", voka);
    EXPECT_EQ(
        testsupport::CaughtCode<CRPCException>([&] { sender.Run(kHub, 2010.1, *sandbox, 0); }),
        CRPCException::UNREACHABLE);
    CRegistrationSink sink;
    CRPCServerHelper master(CComponentID(L"ID_ZOLT_MASTER"), CRPCServerParameter(L"ncalrpc"));
    master.RegisterHandler(sink);
    auto kept = MakeSetting(L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA", voka);
    CIPCMsgBuffer serialized;
    *kept >> serialized;
    EXPECT_FALSE(sender.Run(kHub, 2010.1, *kept, 0));
    EXPECT_EQ(sink.received,
              (std::vector<std::vector<unsigned char>>{std::vector<unsigned char>(
                  serialized.GetBuffer(), serialized.GetBuffer() + serialized.BytesUsed())}));
    EXPECT_EQ(FieldTexts(*kept), address);
    master.UnRegisterHandler(sink);
}

TEST(ReplicationSandbox, EngineChoicesStayOnTheSource) {
    // clang-format off
    const struct { long source, target; int action; size_t engineFields; std::wstring actionAfter; } cases[] = {
        {kAllRoles, kHub, 10, 0, L""}, {kHub, kAllRoles, 9, 0, L""}, {kHub, kHub, 10, 2, L"3:109"},
        {kHub, kHub, 9, 2, L"3:109"}, {kHub, 0x6, 10, 2, L"3:109"}, {kHub, kMailbox, 10, 2, L"3:10"},
        {kHub, kHub, 8, 2, L"3:8"}, {kHub, kHub, 11, 2, L"3:11"}};
    // clang-format on
    for (const auto& c : cases) {
        auto s = MakeSetting(L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS",
                             {{L"VS_ENGINE_TYPE", 1}, {L"VS_APT_NOTIFY_TYPE", 1}, {L"VS_X", 1}});
        s->AddFieldValue(x_wstring(L"VS_APT_ACTION_TYPE"), CVar(c.action));
        EXPECT_FALSE(CTestFilter().Sandbox(c.source, c.target, 2010.1, *s, 0));
        Texts after = FieldTexts(*s);
        EXPECT_EQ(after.count(L"VS_ENGINE_TYPE") + after.count(L"VS_APT_NOTIFY_TYPE"),
                  c.engineFields);
        EXPECT_EQ(after[L"VS_X"], L"3:1");
        EXPECT_EQ(after[L"VS_APT_ACTION_TYPE"], c.actionAfter) << c.source << c.target << c.action;
    }
    // Virus-scan settings embedded in manual scans and scheduled-scan tasks lose the engine type.
    auto scan = MakeSetting(L"QV_VirusScan", L"E", {{L"VS_ENGINE_TYPE", 1}, {L"VS_X", 2}});
    auto stripped = MakeSetting(L"QV_VirusScan", L"E", {{L"VS_X", 2}});
    auto holders = [](const wchar_t* field, CCfgSettingCategoryBase& embedded) {
        auto s = MakeSetting(L"QV_ManualScan", L"ZOLT_SUB_CFG_MS");
        s->AddFieldValue(x_wstring(field), embedded);
        return s;
    };
    auto manual = holders(L"MS_VIRUS_SCAN_CFGSETTING", *scan);
    auto task = holders(L"SS_TASK_VIRUS_SCAN_CFGSETTING", *scan);
    auto scheduled = MakeSetting(L"QV_ScheduledScan", L"SS",
                                 {{L"SS_TASK_LIST_CFGSETTING_MV", MakeList({task.get()})}});
    EXPECT_FALSE(CTestFilter().Sandbox(kHub, kHub, 2010.1, *manual, 0));
    EXPECT_FALSE(CTestFilter().Sandbox(kHub, kHub, 2010.1, *scheduled, 0));
    EXPECT_EQ(FieldTexts(*manual), FieldTexts(*holders(L"MS_VIRUS_SCAN_CFGSETTING", *stripped)));
    EXPECT_EQ(
        ListTexts(*scheduled, L"SS_TASK_LIST_CFGSETTING_MV"),
        std::vector<Texts>{FieldTexts(*holders(L"SS_TASK_VIRUS_SCAN_CFGSETTING", *stripped))});
    DBG::CCaptureLog log;
    CTestFilter().Sandbox(kHub, kHub, 2010.1, *MakeSetting(L"QV_ManualScan", L"M"), 0);
    EXPECT_TRUE(log.Contains(L"field (MS_VIRUS_SCAN_CFGSETTING) is not found", DBG::LVL_WARNING));
}

TEST(ReplicationSandbox, AddressSelectionsAndOldMailServersAtTheirBounds) {
    const struct {
        std::optional<int> address, whitelist;
        size_t left;
    } va[] = {{0, 2, 4}, {1, 2, 2}, {0, 0, 2}, {1, 3, 0}, {std::nullopt, std::nullopt, 1}};
    for (const auto& c : va) {
        auto s = MakeSetting(L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA",
                             {{L"VOKA_SPECIFIED_ADDRESS_OBJECTS", L"a"},
                              {L"VOKA_SENDERWL_SPECIFIED_ADDRESS_OBJECTS", L"w"}});
        if (c.address) s->AddFieldValue(x_wstring(L"VOKA_ADDRESS_TYPE"), CVar(*c.address));
        if (c.whitelist)
            s->AddFieldValue(x_wstring(L"VOKA_SENDERWL_ADDRESS_TYPE"), CVar(*c.whitelist));
        CTestFilter().EraseAdIntegratedForVA(*s);
        EXPECT_EQ(FieldTexts(*s).size(), c.left);
    }
    for (double targetEx : {2003.0, 2007.0}) {
        auto alert = MakeSetting(L"QV_Alert", L"ZOLT_SUB_CFG_AL_VOKA_SERVICE_STATUS");
        EXPECT_EQ(CTestFilter().Sandbox(kHub, kHub, targetEx, *alert, 0), targetEx < 2007.0);
    }
    // clang-format off
    const struct { double sourceEx, targetEx; const wchar_t *category, *subject, *field; bool erased; } e15[] = {
        {2013.0, 2010.1, L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS", L"VS_ENABLE_VIRUSSCAN", true},
        {2010.1, 2013.0, L"qv_fileblocking", L"zolt_sub_cfg_ab_rs", L"FB_ENABLED", true},
        {2013.0, 2013.0, L"QV_ContentFilter", L"ZOLT_SUB_CFG_CF_RS", L"CF_ENABLED", true},
        {2013.1, 2012.9, L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS", L"VS_ENABLE_VIRUSSCAN", false},
        {2013.0, 2013.0, L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_OTHER", L"VS_ENABLE_VIRUSSCAN", false},
        {2013.0, 2013.0, L"QV_ContentFilter", L"ZOLT_SUB_CFG_CF_RS", L"FB_ENABLED", false}};
    // clang-format on
    for (const auto& c : e15) {
        auto s = MakeSetting(c.category, c.subject, {{c.field, 1}, {L"KEEP", 1}});
        CTestFilter().DoExchange2013Filter(c.sourceEx, c.targetEx, *s);
        EXPECT_EQ(FieldTexts(*s).size(), c.erased ? 1u : 2u) << c.field << L" " << c.sourceEx;
    }
}
