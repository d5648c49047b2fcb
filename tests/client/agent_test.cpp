// The agent against a scripted component: the exact items of every request, how each reply is
// judged, what is read back, which operations catch and which throw when the service is absent,
// silent or answers short, the per-entry query walk, and the system-watcher agent.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "cfg_Client.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCException.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/FreePort.h"

using namespace agenttest;
using OS::x_wstring;
using Script = CScriptedComponent::Script;

namespace {

const wchar_t kMaster[] = L"ID_ZOLT_MASTER";
const x_wstring kServer = L"SRV1";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kModifyAction = static_cast<CCfgSettingDBBase::ModifyAction>(3);

// A key header written item by item, the way the service reads it.
std::vector<unsigned char> KeyItems(const x_wstring& subject) {
    CIPCMsgBuffer b;
    b << kServer << x_wstring(L"ZOLT_PLC_P1") << subject << x_wstring(L"QV_VirusScan");
    return Bytes(b);
}

std::vector<unsigned char> Concat(std::vector<unsigned char> a,
                                  const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<unsigned char> Serialized(const CCfgSettingCategoryBase& s) {
    CIPCMsgBuffer b;
    s >> b;
    return Bytes(b);
}

// A stored virus-scan setting as a service sends it back.
CVirusScan Stored() {
    CVirusScan s(L"ZOLT_SUB_IGNORED");
    s.AddFieldValue(kMaxSize, 777);
    s.AddFieldValue(kFolder, L"q2");
    s.ResetDirtyFlag(false);
    return s;
}

// A reply of the reply id, the result and, when given, the setting's serialized form (cut to
// `keep` bytes when keep >= 0).
Script ReplyWith(int replyId, int result, const CCfgSettingCategoryBase* setting = nullptr,
                 int keep = -1) {
    std::vector<unsigned char> body = setting ? Serialized(*setting) : std::vector<unsigned char>{};
    if (keep >= 0) body.resize(static_cast<size_t>(keep));
    return [=](int, CIPCMsgBuffer& reply) {
        reply << replyId << result;
        if (!body.empty()) reply.Put(body.data(), static_cast<unsigned int>(body.size()));
    };
}

Script EmptyReply() {
    return [](int, CIPCMsgBuffer&) {};
}

// A setting the caller holds before a query.
CVirusScan Before() {
    CVirusScan s;
    s.AddFieldValue(agenttest::kAction, static_cast<short>(5));
    s.ResetDirtyFlag(true);
    return s;
}

// Puts `s` back to what Before() gives (assignment merges fields, so erase them first).
void ResetToBefore(CVirusScan& s) {
    for (const auto& [name, value] : Fields(s)) s.EraseField(name);
    s.AddFieldValue(agenttest::kAction, static_cast<short>(5));
    s.ResetDirtyFlag(true);
}

const std::vector<std::pair<x_wstring, x_wstring>> kBeforeFields = {{L"VS_ACTION", L"5"}};
const std::vector<std::pair<x_wstring, x_wstring>> kBeforePlusStored = {
    {L"VS_ACTION", L"5"}, {L"VS_MAX_SIZE", L"777"}, {L"VS_QUARANTINE_FOLDER", L"q2"}};

}  // namespace

class Agent : public ::testing::Test {
  protected:
    CRuntimeDir m_runtime;
};

TEST_F(Agent, EveryRequestCarriesItsIdAndItemsInOrder) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;  // ("ID_ZOLT_MASTER", notify)
    CCfgAgent quiet(kMaster, false);
    CVirusScan setting(L"ZOLT_SUB_CFG_VS_RS");
    setting.AddFieldValue(kMaxSize, 1);
    setting.ResetDirtyFlag(true);
    const auto key = KeyItems(L"ZOLT_SUB_CFG_VS_RS");
    const auto body = Serialized(setting);
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    applyAll.AddFieldValue(x_wstring(L"VS_ACTION"), CVar(static_cast<short>(2)));
    CIPCMsgBuffer out;
    const CVirusScan stored = Stored();

    auto tail = [](int action, bool notify) {
        CIPCMsgBuffer b;
        b << action << notify;
        return Bytes(b);
    };
    auto applyAllItems = [&](bool notify) {
        CIPCMsgBuffer b;
        b << kServer << x_wstring(L"QV_VirusScan") << notify;
        applyAll >> b;
        return Bytes(b);
    };

    CVirusScan target(L"ZOLT_SUB_CFG_VS_RS");
    master.Then(ReplyWith(302, 0, &stored));
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, target, nullptr));
    EXPECT_TRUE(
        agent.ModifyConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction));
    EXPECT_TRUE(
        quiet.ModifyConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction));
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, setting, nullptr));
    master.Then(ReplyWith(312, 0, &stored));
    EXPECT_TRUE(agent.ResetToDefault(kServer, kPolicy, target, nullptr));
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    master.ThenReply([](CIPCMsgBuffer& r) { r << 316 << 0 << CIPCMsgBuffer(); });
    EXPECT_TRUE(
        agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {L"A:B", L"C"}, out, nullptr));
    EXPECT_TRUE(agent.LoadConfigurationSettings(kServer, kPolicy, setting, nullptr));
    EXPECT_TRUE(agent.UnloadConfigurationSettings(kServer, kPolicy, setting, nullptr));
    master.Then(ReplyWith(340, 0, &stored));
    EXPECT_TRUE(agent.QueryExistConfigurationSettings(kServer, kPolicy, target, nullptr));
    master.ThenReply([](CIPCMsgBuffer& r) { r << 342 << 1; });
    EXPECT_TRUE(agent.IsDBStatusOK());
    master.Then(ReplyWith(344, 0, &stored));
    EXPECT_TRUE(agent.QueryBulkConfigurationSettings(kServer, kPolicy, target, nullptr));
    EXPECT_TRUE(
        quiet.ModifyBulkConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction));

    CIPCMsgBuffer list;
    list << kServer << x_wstring(L"QV_VirusScan") << 2 << x_wstring(L"A:B") << x_wstring(L"C");
    const std::vector<std::pair<int, std::vector<unsigned char>>> expected = {
        {301, key},
        {303, Concat(Concat(key, body), tail(3, true))},
        {303, Concat(Concat(key, body), tail(3, false))},
        {305, key},
        {311, key},
        {313, applyAllItems(true)},
        {313, applyAllItems(false)},
        {315, Bytes(list)},
        {317, key},
        {319, key},
        {339, key},
        {341, {}},
        {343, key},
        {345, Concat(Concat(key, body), tail(3, false))},
    };
    const auto received = master.Received();
    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(received[i].id, expected[i].first) << "request " << i;
        EXPECT_EQ(received[i].body, expected[i].second) << "request " << i;
    }
}

TEST_F(Agent, CatchingQueriesJudgeIdAndResultAndReadTheSettingOnlyOnSuccess) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    struct SQuery {
        int replyId;
        const wchar_t* name;
        bool (CCfgAgent::*query)(const x_wstring&, const CSubjectID&, CCfgSettingCategoryBase&,
                                 const wchar_t*);
    };
    const SQuery queries[] = {
        {302, L"QueryConfigurationSettings",
         static_cast<bool (CCfgAgent::*)(const x_wstring&, const CSubjectID&,
                                         CCfgSettingCategoryBase&, const wchar_t*)>(
             &CCfgAgent::QueryConfigurationSettings)},
        {344, L"QueryBulkConfigurationSettings", &CCfgAgent::QueryBulkConfigurationSettings},
        {340, L"QueryExistConfigurationSettings", &CCfgAgent::QueryExistConfigurationSettings},
    };
    for (const auto& q : queries) {
        SCOPED_TRACE(OS::x_wstring(q.name).ToUtf8());
        const x_wstring prefix = x_wstring(L"CCfgAgent::") + q.name;
        DBG::CCaptureLog log;

        // Success: the stored values merge into the caller's setting, the stored dirty flag too.
        CVirusScan s = Before();
        master.Then(ReplyWith(q.replyId, 0, &stored));
        EXPECT_TRUE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), kBeforePlusStored);
        EXPECT_FALSE(s.IsDirty());
        std::vector<DBG::LoggedLine> lines;
        for (const auto& line : log.Lines())
            if (line.source == L"cfg_Agent") lines.push_back(line);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].level, DBG::LVL_ENTRY);
        EXPECT_EQ(lines[0].source, L"cfg_Agent");
        EXPECT_EQ(lines[0].message, prefix + L"(), subject id = ZOLT_SUB_CFG_VS_RS");
        EXPECT_EQ(lines[1].level, DBG::LVL_EXIT);
        EXPECT_EQ(lines[1].message, prefix + L"()");

        // The right id with a failure result: false, the setting as it was.
        ResetToBefore(s);
        master.Then(ReplyWith(q.replyId, -1, &stored));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), kBeforeFields);
        EXPECT_TRUE(s.IsDirty());

        // Another id (a modify's reply) with result 0 and a setting behind: nothing is read.
        master.Then(ReplyWith(304, 0, &stored));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), kBeforeFields);

        // A setting cut short: caught, logged with the buffer's code, exit still logged; the
        // fields read before the cut stay.
        log.Clear();
        master.Then(ReplyWith(q.replyId, 0, &stored, 28));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(AgentLines(log, DBG::LVL_WARNING),
                  std::vector<x_wstring>{prefix + L" exception. ErrCode=0x1"});
        EXPECT_EQ(AgentLines(log, DBG::LVL_EXIT), std::vector<x_wstring>{prefix + L"()"});
        EXPECT_EQ(Fields(s), (std::vector<std::pair<x_wstring, x_wstring>>{
                                 {L"VS_ACTION", L"5"}, {L"VS_MAX_SIZE", L"777"}}));

        // An empty reply (nothing answered the id) is caught the same way.
        log.Clear();
        master.Then(EmptyReply());
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(AgentLines(log, DBG::LVL_WARNING),
                  std::vector<x_wstring>{prefix + L" exception. ErrCode=0x1"});
    }
}

TEST_F(Agent, OtherOperationsJudgeTheirRepliesAndLetShortRepliesThrow) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    DBG::CCaptureLog log;

    // Modify: only 304 with 0 is success; the entry and exit lines name the setting's subject.
    CVirusScan s = Before();
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
    EXPECT_EQ(AgentLines(log, DBG::LVL_ENTRY),
              std::vector<x_wstring>{
                  L"CCfgAgent::ModifyConfigurationSettings() subject id = ZOLT_SUB_CFG_VS_RS"});
    EXPECT_EQ(AgentLines(log, DBG::LVL_EXIT),
              std::vector<x_wstring>{L"CCfgAgent::ModifyConfigurationSettings()"});
    master.Then(ReplyWith(304, -1));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
    master.Then(ReplyWith(302, 0));
    EXPECT_FALSE(
        agent.ModifyBulkConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));

    // Reset: the defaults the service sends back are read into the setting.
    master.Then(ReplyWith(312, 0, &stored));
    EXPECT_TRUE(agent.ResetToDefault(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Fields(s), kBeforePlusStored);
    // A reset reply cut inside the setting reaches the caller, without the exit line.
    log.Clear();
    master.Then(ReplyWith(312, 0, &stored, 28));
    try {
        agent.ResetToDefault(kServer, kPolicy, s, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const CIPCMsgBufferException& e) {
        EXPECT_EQ(e.GetErrorCode(), CIPCMsgBufferException::READ_PAST_END);
    }
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_ENTRY),
        std::vector<x_wstring>{L"CCfgAgent::ResetToDefault(), subject id = ZOLT_SUB_CFG_VS_RS"});
    EXPECT_TRUE(AgentLines(log, DBG::LVL_EXIT).empty());

    // Load succeeds without touching the setting, even with a setting behind the result.
    ResetToBefore(s);
    log.Clear();
    master.Then(ReplyWith(318, 0, &stored));
    EXPECT_TRUE(agent.LoadConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Fields(s), kBeforeFields);
    EXPECT_TRUE(s.IsDirty());
    master.Then(ReplyWith(320, -1));
    EXPECT_FALSE(agent.UnloadConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(AgentLines(log, DBG::LVL_ENTRY),
              (std::vector<x_wstring>{
                  L"CConfigurationSetting::LoadConfigurationSettings(), subject id = "
                  L"ZOLT_SUB_CFG_VS_RS",
                  L"CConfigurationSetting::UnloadConfigurationSettings(), subject id = "
                  L"ZOLT_SUB_CFG_VS_RS"}));
    EXPECT_EQ(AgentLines(log, DBG::LVL_EXIT),
              (std::vector<x_wstring>{
                  L"CConfigurationSetting::LoadConfigurationSettings(), bResult = 1",
                  L"CConfigurationSetting::UnloadConfigurationSettings(), bResult = 0"}));

    // Delete: 306 with 0.
    master.Then(ReplyWith(306, 0));
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr));
    master.Then(ReplyWith(308, 0));
    EXPECT_FALSE(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr));

    // Apply-all: a failure is logged as an error with the reply id and code.
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    log.Clear();
    master.Then(ReplyWith(314, -1));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    master.Then(ReplyWith(316, 0));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_ERROR),
        (std::vector<x_wstring>{L"ModifyConfigurationSettings fail, reply msg=314, error code=-1",
                                L"ModifyConfigurationSettings fail, reply msg=316, error code=0"}));
    EXPECT_EQ(AgentLines(log, DBG::LVL_ENTRY),
              (std::vector<x_wstring>{L"CCfgAgent::ModifyConfigurationSettings(), apply all",
                                      L"CCfgAgent::ModifyConfigurationSettings(), apply all"}));

    // Query list: the nested buffer replaces the caller's; a failure leaves it alone.
    CIPCMsgBuffer out;
    out << 99;
    master.ThenReply([](CIPCMsgBuffer& r) {
        CIPCMsgBuffer nested;
        nested << 1 << x_wstring(L"row");
        r << 316 << 0 << nested;
    });
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    CIPCMsgBuffer expectNested;
    expectNested << 1 << x_wstring(L"row");
    EXPECT_EQ(Bytes(out), Bytes(expectNested));
    master.Then(ReplyWith(316, -1));
    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    EXPECT_EQ(Bytes(out), Bytes(expectNested));
}

TEST_F(Agent, DatabaseStatusIsTrueOnlyForReply342WithANonZeroStatus) {
    CScriptedComponent master(kMaster);
    // The status request ignores the agent's own component.
    CCfgAgent agent(L"ID_SOMEONE_ELSE", false);
    DBG::CCaptureLog log;
    master.ThenReply([](CIPCMsgBuffer& r) { r << 342 << 1; });
    EXPECT_TRUE(agent.IsDBStatusOK());
    master.ThenReply([](CIPCMsgBuffer& r) { r << 342 << 0; });
    EXPECT_FALSE(agent.IsDBStatusOK());
    master.ThenReply([](CIPCMsgBuffer& r) { r << 342 << 7; });
    EXPECT_TRUE(agent.IsDBStatusOK());
    master.ThenReply([](CIPCMsgBuffer& r) { r << 304; });
    EXPECT_FALSE(agent.IsDBStatusOK());
    master.Then(EmptyReply());
    EXPECT_FALSE(agent.IsDBStatusOK());
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_EXIT),
        (std::vector<x_wstring>{L"CCfgAgent::IsDBStatusOK(),1", L"CCfgAgent::IsDBStatusOK(),0",
                                L"CCfgAgent::IsDBStatusOK(),1", L"CCfgAgent::IsDBStatusOK(),0",
                                L"CCfgAgent::IsDBStatusOK(),0"}));
    const auto warnings = AgentLines(log, DBG::LVL_WARNING);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(L"CCfgAgent::IsDBStatusOK: 0x1, ", 0), 0u) << warnings[0].ToUtf8();
    EXPECT_EQ(master.Received().size(), 5u);
}

TEST_F(Agent, AnAbsentServiceMakesQueriesFalseAndEveryOtherOperationThrow) {
    // No component serves this runtime folder.
    CCfgAgent agent;
    CVirusScan s = Before();
    DBG::CCaptureLog log;

    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_FALSE(agent.QueryBulkConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_FALSE(agent.QueryExistConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_FALSE(agent.IsDBStatusOK());
    EXPECT_EQ(Fields(s), kBeforeFields);
    const auto warnings = AgentLines(log, DBG::LVL_WARNING);
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_EQ(warnings[0], L"CCfgAgent::QueryConfigurationSettings exception. ErrCode=0x4");
    EXPECT_EQ(warnings[1], L"CCfgAgent::QueryBulkConfigurationSettings exception. ErrCode=0x4");
    EXPECT_EQ(warnings[2], L"CCfgAgent::QueryExistConfigurationSettings exception. ErrCode=0x4");
    EXPECT_EQ(warnings[3].rfind(L"CCfgAgent::IsDBStatusOK: 0x4, ", 0), 0u);
    EXPECT_EQ(AgentLines(log, DBG::LVL_EXIT).size(), 4u);

    log.Clear();
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    CIPCMsgBuffer out;
    const std::vector<std::pair<const char*, std::function<void()>>> throwing = {
        {"modify",
         [&] { agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction); }},
        {"bulk modify",
         [&] {
             agent.ModifyBulkConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction);
         }},
        {"delete", [&] { agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr); }},
        {"reset", [&] { agent.ResetToDefault(kServer, kPolicy, s, nullptr); }},
        {"apply all", [&] { agent.ModifyConfigurationSettings(kServer, applyAll, nullptr); }},
        {"query all",
         [&] { agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr); }},
        {"load", [&] { agent.LoadConfigurationSettings(kServer, kPolicy, s, nullptr); }},
        {"unload", [&] { agent.UnloadConfigurationSettings(kServer, kPolicy, s, nullptr); }},
    };
    for (const auto& [name, call] : throwing) {
        try {
            call();
            ADD_FAILURE() << name << ": no exception";
        } catch (const CRPCException& e) {
            EXPECT_EQ(e.GetErrorCode(), CRPCException::UNREACHABLE) << name;
        }
    }
    EXPECT_EQ(AgentLines(log, DBG::LVL_ENTRY).size(), throwing.size());
    EXPECT_TRUE(AgentLines(log, DBG::LVL_EXIT).empty());
}

TEST_F(Agent, ASilentServiceIsGivenUpAfterTheTransportTimeout) {
    CScriptedComponent master(kMaster);
    const auto previous = CRPCClientHelper::GetDefaultTimeout();
    CRPCClientHelper::SetDefaultTimeout(std::chrono::milliseconds(200));
    master.Hold();
    CCfgAgent agent;
    CVirusScan s = Before();
    DBG::CCaptureLog log;
    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_WARNING),
        std::vector<x_wstring>{L"CCfgAgent::QueryConfigurationSettings exception. ErrCode=0x5"});
    try {
        agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction);
        ADD_FAILURE() << "no exception";
    } catch (const CRPCException& e) {
        EXPECT_EQ(e.GetErrorCode(), CRPCException::TIMEOUT);
    }
    CRPCClientHelper::SetDefaultTimeout(previous);
    master.Release();
    // The held requests did reach the component; the agent did not wait for them.
    master.WaitArrived(2);
    // The service answers again on the next call, with a fresh connection.
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
}

namespace {
// Yields the entries it was built with; null pointers and refusals come back as given.
class CEntries : public CCfgAgent::CInterateCfgSettingCallback {
  public:
    struct SEntry {
        bool yield;
        CSubjectID* subject;
        CCfgSettingCategoryBase* setting;
    };
    explicit CEntries(std::vector<SEntry> entries, int count = -1)
        : m_entries(std::move(entries)),
          m_count(count < 0 ? static_cast<int>(m_entries.size()) : count) {}
    int GetSettingCount() override { return m_count; }
    bool GetSettingAt(int index, CSubjectID*& subject, CCfgSettingCategoryBase*& setting) override {
        asked.push_back(index);
        EXPECT_EQ(subject, nullptr);
        EXPECT_EQ(setting, nullptr);
        subject = m_entries[index].subject;
        setting = m_entries[index].setting;
        return m_entries[index].yield;
    }
    std::vector<int> asked;

  private:
    std::vector<SEntry> m_entries;
    int m_count;
};
}  // namespace

TEST_F(Agent, QueryExQueriesEachYieldedEntryAndReturnsTheLastResult) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    CSubjectID p1(L"ZOLT_PLC_P1"), p2(L"ZOLT_PLC_P2");
    CVirusScan a(L"SUB_A"), b(L"SUB_B"), c(L"SUB_C");

    CEntries none({}, 0);
    EXPECT_FALSE(agent.QueryConfigurationSettingsEx(kServer, none, nullptr));
    EXPECT_TRUE(none.asked.empty());

    // Only entry 1 yields both pointers: one request, and its result.
    CEntries one({{true, &p1, nullptr}, {true, &p2, &b}, {false, &p1, &c}});
    master.Then(ReplyWith(302, 0, &stored));
    EXPECT_TRUE(agent.QueryConfigurationSettingsEx(kServer, one, nullptr));
    EXPECT_EQ(one.asked, (std::vector<int>{0, 1, 2}));
    auto received = master.Received();
    ASSERT_EQ(received.size(), 1u);
    CIPCMsgBuffer key;
    key << kServer << x_wstring(L"ZOLT_PLC_P2") << x_wstring(L"SUB_B")
        << x_wstring(L"QV_VirusScan");
    EXPECT_EQ(received[0].body, Bytes(key));
    EXPECT_EQ(Fields(b), (std::vector<std::pair<x_wstring, x_wstring>>{
                             {L"VS_MAX_SIZE", L"777"}, {L"VS_QUARANTINE_FOLDER", L"q2"}}));

    // Two queries run: the first succeeds, the last fails, and the last one decides; a skipped
    // entry after them changes nothing.
    master.Clear();
    CEntries two({{true, &p1, &a}, {true, &p1, &c}, {true, nullptr, &b}});
    master.Then(ReplyWith(302, 0, &stored));
    master.Then(ReplyWith(302, -1));
    EXPECT_FALSE(agent.QueryConfigurationSettingsEx(kServer, two, nullptr));
    EXPECT_EQ(master.Received().size(), 2u);

    // Nothing yielded at all: false, no request.
    master.Clear();
    CEntries refused({{false, &p1, &a}});
    EXPECT_FALSE(agent.QueryConfigurationSettingsEx(kServer, refused, nullptr));
    EXPECT_TRUE(master.Received().empty());
}

TEST_F(Agent, SystemWatcherAgentAddressesItsOwnComponent) {
    CScriptedComponent master(kMaster);
    CScriptedComponent watcher(L"ID_ZOLT_SYSTEM_WATCHER");
    CCfgAgentSW agent;
    EXPECT_EQ(agent.GetComponentID().GetIDString(), L"ID_ZOLT_SYSTEM_WATCHER");
    EXPECT_TRUE(agent.GetNotifyFlag());
    CVirusScan s;
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr));
    ASSERT_EQ(watcher.Received().size(), 2u);
    EXPECT_EQ(watcher.Received()[0].id, 303);
    EXPECT_EQ(watcher.Received()[1].id, 305);
    EXPECT_TRUE(master.Received().empty());

    // Through the base interface, and as a copy: the same component and flag.
    CCfgAgentBase& base = agent;
    const CVirusScan stored = Stored();
    watcher.Then(ReplyWith(302, 0, &stored));
    CVirusScan q;
    EXPECT_TRUE(base.QueryConfigurationSettings(kServer, kPolicy, q, nullptr));
    CCfgAgent copy(agent);
    CCfgAgent assigned(kMaster, false);
    assigned = agent;
    EXPECT_EQ(copy.GetComponentID(), agent.GetComponentID());
    EXPECT_EQ(assigned.GetComponentID().GetIDString(), L"ID_ZOLT_SYSTEM_WATCHER");
    EXPECT_TRUE(assigned.GetNotifyFlag());
    EXPECT_EQ(watcher.Received().size(), 3u);
    EXPECT_TRUE(master.Received().empty());
}

TEST_F(Agent, BackupGoesToTheComputerTheServerNames) {
    testsupport::CScopedEnv port("ZOLTCFG_RPC_PORT_ID_TEST_BACKUP",
                                 std::to_string(testsupport::FreeTcpPort()));
    CCfgAgent agent(L"ID_TEST_BACKUP");
    // Nobody serves the component there yet: the transport's error reaches the caller.
    EXPECT_THROW(agent.BackupStorage(L"127.0.0.1", L"/var/backup"), CRPCException);

    CScriptedComponent backup(L"ID_TEST_BACKUP", L"ncacn_np");
    DBG::CCaptureLog log;
    EXPECT_TRUE(agent.BackupStorage(L"127.0.0.1", L"/var/backup"));
    backup.Then(ReplyWith(322, 3));
    EXPECT_FALSE(agent.BackupStorage(L"127.0.0.1", L"/var/backup"));
    const auto received = backup.Received();
    ASSERT_EQ(received.size(), 2u);
    CIPCMsgBuffer items;
    items << x_wstring(L"127.0.0.1") << x_wstring(L"/var/backup");
    EXPECT_EQ(received[0].id, 321);
    EXPECT_EQ(received[0].body, Bytes(items));
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_ENTRY),
        (std::vector<x_wstring>{L"CConfigurationSetting::BackupStorage(), 127.0.0.1, strBackupPath",
                                L"CConfigurationSetting::BackupStorage",
                                L"CConfigurationSetting::BackupStorage(), 127.0.0.1, strBackupPath",
                                L"CConfigurationSetting::BackupStorage"}));
}
