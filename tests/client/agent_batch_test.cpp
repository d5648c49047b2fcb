// The agent's batch requests: what it sends and how it judges the reply (against a scripted
// component) and its replication checks against other computers' registries.
#include <gtest/gtest.h>

#include <filesystem>

#include "cfg_Client.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/Caught.h"

namespace fs = std::filesystem;
using namespace agenttest;
using OS::x_wstring;
namespace P = NS_CfgProtocol;

namespace {

const wchar_t kProductKey[] = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kNoAction = CCfgSettingDBBase::MA_NONE;

void SetText(const fs::path& file, const wchar_t* name, const wchar_t* value) {
    OS::CRegKey k;
    ASSERT_EQ(k.OpenInFile(file.string(), HKEY_LOCAL_MACHINE, kProductKey, KEY_ALL_ACCESS, true),
              0);
    ASSERT_EQ(k.SetValue(name, value), 0);
}

// An item of a batch body with result 0: key and a one-field setting of `category`.
void WriteItem(CIPCMsgBuffer& b, const wchar_t* category, const wchar_t* subject) {
    b << 0;
    P::WriteKey(b, L"SRC", kPolicy, CSubjectID(subject), category);
    CCfgSettingCategoryFake s(category);
    s.AddFieldValue(x_wstring(L"F"), CVar(1));
    P::WriteSetting(b, s);
}

// A registry for this computer and files standing for the computers "OLD", "NEW" and "TGT".
class AgentBatch : public ::testing::Test {
  protected:
    AgentBatch()
        : m_tmp("zoltcfg-agent-batch"),
          m_registry("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()),
          m_home("ZOLTCFG_HOME", (m_tmp / "home").string()) {
        SetText(m_tmp / "registry", L"PatchBuild", L"1400");
        for (const wchar_t* host : {L"OLD", L"NEW", L"TGT"})
            CRegUtil::MapRemoteHost(host, x_wstring::FromUtf8((m_tmp.Path() / host).string()));
    }
    ~AgentBatch() override { CRegUtil::ClearRemoteHosts(); }
    void SetRemote(const wchar_t* host, const wchar_t* name, const wchar_t* value) {
        SetText(m_tmp.Path() / host, name, value);
    }

    CRuntimeDir m_runtime;
    testsupport::CTempDir m_tmp;
    testsupport::CScopedEnv m_registry;
    testsupport::CScopedEnv m_home;
};

}  // namespace

// The query sends the well-formed entries of the selection as keys in entry order, and appends
// the reply behind its id to what `out` holds; a wrong reply id leaves `out` as it was.
TEST_F(AgentBatch, BatchQuerySendsOneKeyPerEntryAndAppendsTheReplyBody) {
    CScriptedComponent component(L"ID_TEST_BATCH_COMPONENT");
    CCfgAgent agent(L"ID_TEST_BATCH_COMPONENT");
    for (int id : {309, 347}) {
        SCOPED_TRACE(id);
        component.Clear();
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 1 << 1 << -1; });
        component.Then([](int, CIPCMsgBuffer& r) { r << 999 << 0; });
        DBG::CCaptureLog log;
        CIPCMsgBuffer out;
        out << 77;
        const x_wstring selection = L"SUB_A:QV_VirusScan:extra;bad;;SUB_B:QV_Alert;";
        const auto query = id == 309 ? &CCfgAgent::QueryBatchConfigurationSettings
                                     : &CCfgAgent::QueryBatchBulkConfigurationSettings;
        EXPECT_TRUE((agent.*query)(L"SRV", kPolicy, selection, out, nullptr));
        CIPCMsgBuffer expectedOut;
        expectedOut << 77 << 1 << -1;
        EXPECT_EQ(Bytes(out), Bytes(expectedOut));
        EXPECT_FALSE((agent.*query)(L"SRV", kPolicy, selection, out, nullptr));
        EXPECT_EQ(Bytes(out), Bytes(expectedOut));

        CIPCMsgBuffer keys;
        keys << 2;
        P::WriteKey(keys, L"SRV", kPolicy, CSubjectID(L"SUB_A"), L"QV_VirusScan");
        P::WriteKey(keys, L"SRV", kPolicy, CSubjectID(L"SUB_B"), L"QV_Alert");
        const auto received = component.Received();
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].id, id);
        EXPECT_EQ(received[0].body, Bytes(keys));
        EXPECT_TRUE(log.Contains(L"selection list is wrong formatted.", DBG::LVL_ERROR));
    }
}

// The modify sends its header and the caller's buffer unchanged (source types other than 2 and
// 3) and judges the reply by its id, its count and the first item's result only.
TEST_F(AgentBatch, BatchModifySendsTheHeaderAndTheBodyAndJudgesTheFirstItem) {
    CScriptedComponent component(L"ID_TEST_BATCH_COMPONENT");
    CCfgAgent agent(L"ID_TEST_BATCH_COMPONENT", false);
    CIPCMsgBuffer settings;
    settings << 2;
    WriteItem(settings, L"QV_VirusScan", L"SUB_A");
    settings << -1;
    for (int id : {307, 349}) {
        SCOPED_TRACE(id);
        component.Clear();
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 1 << 0; });
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 1 << 2 << -1 << 0; });
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 1 << 2 << 0 << -1; });
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 1 << 2; });  // all filtered out
        component.Then([id](int, CIPCMsgBuffer& r) { r << id + 2 << 0; });
        const auto modify = id == 307 ? &CCfgAgent::ModifyBatchConfigurationSettings
                                      : &CCfgAgent::ModifyBatchBulkConfigurationSettings;
        DBG::CCaptureLog log;
        std::vector<bool> results;
        CIPCMsgBuffer reply;
        for (int i = 0; i < 5; ++i)
            results.push_back((agent.*modify)(L"TGT", 0x10F, settings, reply, nullptr,
                                              CCfgSettingDBBase::MA_WRITE_CLEAN, L"SRC", L"admin",
                                              ST_LOCAL));
        EXPECT_EQ(results, (std::vector<bool>{true, false, true, true, false}));
        EXPECT_EQ(reply.GetCurrentSize(), 4u);  // the caller may read on behind what was judged

        CIPCMsgBuffer expected;
        expected << 1 << x_wstring(L"TGT") << x_wstring(L"SRC") << x_wstring(L"admin") << 1 << 0x10F
                 << false;
        expected.Put(settings.GetBuffer(), static_cast<unsigned int>(settings.BytesUsed()));
        const auto received = component.Received();
        ASSERT_EQ(received.size(), 5u);
        EXPECT_EQ(received[0].id, id);
        EXPECT_EQ(received[0].body, Bytes(expected));
        EXPECT_TRUE(log.Contains(
            L"Reply id is wrong (" + x_wstring::FromUtf8(std::to_string(id + 2)) + L")",
            DBG::LVL_ERROR));
    }
}

// Replication (source type 3) drops from the caller's buffer, before sending, the failed items
// and the settings the target's product is too old for; policy deployment (source type 2) sends
// nothing when the product versions do not fit.
TEST_F(AgentBatch, ReplicationChecksReadTheOtherComputersProductKey) {
    CScriptedComponent component(L"ID_TEST_BATCH_COMPONENT");
    CCfgAgent agent(L"ID_TEST_BATCH_COMPONENT");
    SetRemote(L"OLD", L"Version", L"10.2");
    SetRemote(L"OLD", L"ServicePack", L"1");
    SetRemote(L"NEW", L"Version", L"10.2");
    SetRemote(L"NEW", L"ServicePack", L"2");
    const auto batch = [] {
        CIPCMsgBuffer b;
        b << 4 << -1;
        WriteItem(b, L"qv_voka", L"ZOLT_SUB_CFG_VOKA");
        WriteItem(b, L"QV_ADMIN_GROUP", L"zolt_sub_cfg_rba_group_sd");
        WriteItem(b, L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS");
        return b;
    };
    const auto kept = [](std::vector<std::pair<const wchar_t*, const wchar_t*>> items) {
        CIPCMsgBuffer b;
        b << static_cast<int>(items.size());
        for (auto [category, subject] : items) WriteItem(b, category, subject);
        return Bytes(b);
    };
    // A computer that cannot be read counts as version 0: every listed setting is dropped.
    for (auto [host, expected, match] :
         {std::tuple{L"OLD", kept({{L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS"}}), L"OLD 10.2 1"},
          std::tuple{L"NEW",
                     kept({{L"qv_voka", L"ZOLT_SUB_CFG_VOKA"},
                           {L"QV_ADMIN_GROUP", L"zolt_sub_cfg_rba_group_sd"},
                           {L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS"}}),
                     L"NEW 10.2 2"},
          std::tuple{L"NOWHERE", kept({{L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS"}}),
                     L"NOWHERE 0 0"}}) {
        SCOPED_TRACE(x_wstring(host).ToUtf8());
        component.Clear();
        DBG::CCaptureLog matches;
        CIPCMsgBuffer settings = batch(), reply;
        EXPECT_TRUE(agent.ModifyBatchConfigurationSettings(
            host, 0, settings, reply, nullptr, kNoAction, L"SRC", L"admin", ST_REPLICATION));
        EXPECT_EQ(Bytes(settings), expected);  // the caller sees the rewritten buffer
        EXPECT_TRUE(matches.Contains(L"Search & Destroy filter match : " + x_wstring(match),
                                     DBG::LVL_INFO));
    }
    // Version check: below 12 always fits; 12 needs a local patch build at least the other's.
    SetRemote(L"OLD", L"Version", L"11.5");
    SetRemote(L"OLD", L"PatchBuild", L"9999");
    SetRemote(L"NEW", L"Version", L"12.0");
    SetRemote(L"NEW", L"PatchBuild", L"1500");
    SetRemote(L"TGT", L"Version", L"13.0");
    component.Clear();
    DBG::CCaptureLog log;
    std::vector<bool> results;
    for (const wchar_t* host : {L"OLD", L"NEW", L"TGT", L"NOWHERE"}) {
        CIPCMsgBuffer settings = batch(), reply;
        results.push_back(agent.ModifyBatchConfigurationSettings(
            host, 0, settings, reply, nullptr, kNoAction, L"SRC", L"admin", ST_POLICY_DEPLOYMENT));
    }
    EXPECT_EQ(results, (std::vector<bool>{true, false, false, false}));
    EXPECT_EQ(component.Received().size(), 1u);  // only the batch that fits was sent
    EXPECT_TRUE(log.Contains(L"Can not open remote server:NOWHERE registry.", DBG::LVL_ERROR));

    // At 12, a local patch build equal to or above the other's fits; one that cannot be read
    // counts as 0.
    for (auto [remote, local, fits] :
         {std::tuple{L"1400", L"1400", true}, std::tuple{L"1300", L"1400", true},
          std::tuple{L"1300", L"", false}}) {
        SetRemote(L"NEW", L"PatchBuild", remote);
        SetText(m_tmp / "registry", L"PatchBuild", local);
        CIPCMsgBuffer settings = batch(), reply;
        EXPECT_EQ(
            agent.ModifyBatchConfigurationSettings(L"NEW", 0, settings, reply, nullptr, kNoAction,
                                                   L"SRC", L"admin", ST_POLICY_DEPLOYMENT),
            fits)
            << x_wstring(remote).ToUtf8() << " " << x_wstring(local).ToUtf8();
    }
    EXPECT_TRUE(log.Contains(L"Can not query registry PatchBuild, GetLastError:2", DBG::LVL_ERROR));
}
