// The agent against a scripted component: the exact items of every request, how each reply is
// judged, what is read back, which operations catch and which throw when the service is absent,
// silent or answers short, the per-entry query walk, and the system-watcher agent.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

#include "cfg_Client.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCException.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/FreePort.h"

using namespace agenttest;
using OS::x_wstring;
using Script = CScriptedComponent::Script;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;

namespace {

const wchar_t kMaster[] = L"ID_ZOLT_MASTER";
const x_wstring kServer = L"SRV1";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kModifyAction = static_cast<CCfgSettingDBBase::ModifyAction>(3);

template <class... Items>
std::vector<unsigned char> ItemBytes(const Items&... items) {
    CIPCMsgBuffer b;
    (b << ... << items);
    return Bytes(b);
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

// Puts `s` back to the setting a caller holds before a query (assignment merges fields, so the
// fields are erased first).
void ResetToBefore(CVirusScan& s) {
    for (const auto& [name, value] : Fields(s)) s.EraseField(name);
    s.AddFieldValue(agenttest::kAction, static_cast<short>(5));
    s.ResetDirtyFlag(true);
}

CVirusScan Before() {
    CVirusScan s;
    ResetToBefore(s);
    return s;
}

const Fieldset kBeforeFields = {{L"VS_ACTION", L"5"}};
const Fieldset kBeforePlusStored = {
    {L"VS_ACTION", L"5"}, {L"VS_MAX_SIZE", L"777"}, {L"VS_QUARANTINE_FOLDER", L"q2"}};

// `call` throws an E with error code `code`.
template <class E>
void ExpectThrowCode(const std::function<void()>& call, int code, const char* what = "") {
    try {
        call();
        ADD_FAILURE() << what << ": no exception";
    } catch (const E& e) {
        EXPECT_EQ(e.GetErrorCode(), code) << what;
    }
}

}  // namespace

class Agent : public ::testing::Test {
  protected:
    CRuntimeDir m_runtime;
};

TEST_F(Agent, EveryRequestCarriesItsIdAndNotifyFlagAndSucceedsOnItsOwnReplyId) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;  // ("ID_ZOLT_MASTER", notify)
    CCfgAgent quiet(kMaster, false);
    CVirusScan setting(L"ZOLT_SUB_CFG_VS_RS");
    setting.AddFieldValue(kMaxSize, 1);
    setting.ResetDirtyFlag(true);
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    applyAll.AddFieldValue(x_wstring(L"VS_ACTION"), CVar(static_cast<short>(2)));
    CIPCMsgBuffer out;
    const auto stored = Serialized(Stored());
    CVirusScan target(L"ZOLT_SUB_CFG_VS_RS");
    // Every request is answered with its own reply id and success (status 1 for the database
    // status), a setting behind for those that read one, an empty list for the query-all.
    for (int i = 0; i < 14; ++i)
        master.Then([&](int id, CIPCMsgBuffer& r) {
            r << id + 1 << (id == 341 ? 1 : 0);
            if (id == 301 || id == 311 || id == 339 || id == 343)
                r.Put(stored.data(), static_cast<unsigned int>(stored.size()));
            if (id == 315) r << CIPCMsgBuffer();
        });
    // (A braced list evaluates its items in order.)
    const std::vector<bool> results = {
        agent.QueryConfigurationSettings(kServer, kPolicy, target, nullptr),
        agent.ModifyConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction),
        quiet.ModifyConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction),
        agent.DelConfigurationSettings(kServer, kPolicy, setting, nullptr),
        agent.ResetToDefault(kServer, kPolicy, target, nullptr),
        agent.ModifyConfigurationSettings(kServer, applyAll, nullptr),
        quiet.ModifyConfigurationSettings(kServer, applyAll, nullptr),
        agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {L"A:B", L"C"}, out, nullptr),
        agent.LoadConfigurationSettings(kServer, kPolicy, setting, nullptr),
        agent.UnloadConfigurationSettings(kServer, kPolicy, setting, nullptr),
        agent.QueryExistConfigurationSettings(kServer, kPolicy, target, nullptr),
        agent.IsDBStatusOK(),
        agent.QueryBulkConfigurationSettings(kServer, kPolicy, target, nullptr),
        quiet.ModifyBulkConfigurationSettings(kServer, kPolicy, setting, nullptr, kModifyAction),
    };
    EXPECT_EQ(results, std::vector<bool>(14, true));

    // (The items of each request are pinned by the request writers' own tests.)
    const auto received = master.Received();
    std::vector<int> ids;
    for (const auto& r : received) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<int>{301, 303, 303, 305, 311, 313, 313, 315, 317, 319, 339, 341,
                                     343, 345}));
    // The notify flag is the last item of a modify.
    EXPECT_EQ(received[1].body.back(), 1);
    EXPECT_EQ(received[2].body.back(), 0);
}

TEST_F(Agent, CatchingQueriesJudgeIdAndResultAndReadTheSettingOnlyOnSuccess) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    using Query = bool (CCfgAgent::*)(const x_wstring&, const CSubjectID&, CCfgSettingCategoryBase&,
                                      const wchar_t*);
    const struct {
        int replyId;
        const wchar_t* name;
        Query query;
    } queries[] = {
        {302, L"QueryConfigurationSettings",
         static_cast<Query>(&CCfgAgent::QueryConfigurationSettings)},
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
        EXPECT_TRUE(AgentLines(log, DBG::LVL_WARNING).empty());

        // The right id with a failure result and a setting behind: false, nothing is read.
        ResetToBefore(s);
        master.Then(ReplyWith(q.replyId, -1, &stored));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), kBeforeFields);
        EXPECT_TRUE(s.IsDirty());

        // A setting cut short, and an empty reply (nothing answered the id): caught, logged with
        // the buffer's code; the fields read before the cut stay.
        log.Clear();
        master.Then(ReplyWith(q.replyId, 0, &stored, 28));
        master.Then(EmptyReply());
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), (Fieldset{{L"VS_ACTION", L"5"}, {L"VS_MAX_SIZE", L"777"}}));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_TRUE(log.Contains(prefix + L" exception. ErrCode=0x1", DBG::LVL_WARNING));
    }
}

TEST_F(Agent, OtherOperationsJudgeTheirRepliesAndLetShortRepliesThrow) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    DBG::CCaptureLog log;

    CVirusScan s = Before();
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
    master.Then(ReplyWith(304, -1));
    EXPECT_FALSE(
        agent.ModifyBulkConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr));

    // Reset: the defaults the service sends back are read into the setting; a reply cut inside
    // the setting reaches the caller.
    master.Then(ReplyWith(312, 0, &stored));
    EXPECT_TRUE(agent.ResetToDefault(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Fields(s), kBeforePlusStored);
    master.Then(ReplyWith(312, 0, &stored, 28));
    ExpectThrowCode<CIPCMsgBufferException>(
        [&] { agent.ResetToDefault(kServer, kPolicy, s, nullptr); },
        CIPCMsgBufferException::READ_PAST_END);

    // Load succeeds without touching the setting, even with a setting behind the result.
    ResetToBefore(s);
    master.Then(ReplyWith(318, 0, &stored));
    EXPECT_TRUE(agent.LoadConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Fields(s), kBeforeFields);
    EXPECT_TRUE(s.IsDirty());
    master.Then(ReplyWith(320, -1));
    EXPECT_FALSE(agent.UnloadConfigurationSettings(kServer, kPolicy, s, nullptr));

    // Apply-all: a failure is logged as an error with the reply id and code.
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    master.Then(ReplyWith(314, -1));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    master.Then(ReplyWith(316, 0));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    for (const wchar_t* error : {L"reply msg=314, error code=-1", L"reply msg=316, error code=0"})
        EXPECT_TRUE(
            log.Contains(L"ModifyConfigurationSettings fail, " + x_wstring(error), DBG::LVL_ERROR));

    // Query list: the nested buffer replaces the caller's; a failure leaves it alone.
    CIPCMsgBuffer out, nested;
    out << 99;
    nested << 1 << x_wstring(L"row");
    master.ThenReply([&](CIPCMsgBuffer& r) { r << 316 << 0 << nested; });
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    EXPECT_EQ(Bytes(out), Bytes(nested));
    master.Then(ReplyWith(316, -1));
    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    EXPECT_EQ(Bytes(out), Bytes(nested));
}

TEST_F(Agent, DatabaseStatusIsAnyNonZeroStatusOfTheMasterAndACaughtFault) {
    CScriptedComponent master(kMaster);
    // The status request ignores the agent's own component.
    CCfgAgent agent(L"ID_SOMEONE_ELSE", false);
    DBG::CCaptureLog log;
    master.Then(ReplyWith(342, 7));
    EXPECT_TRUE(agent.IsDBStatusOK());
    master.Then(ReplyWith(342, 0));
    EXPECT_FALSE(agent.IsDBStatusOK());
    master.Then(EmptyReply());
    EXPECT_FALSE(agent.IsDBStatusOK());
    EXPECT_TRUE(AnyContains(AgentLines(log, DBG::LVL_WARNING), L"CCfgAgent::IsDBStatusOK: 0x1, "));
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
    for (const wchar_t* warning :
         {L"QueryConfigurationSettings exception. ErrCode=0x4",
          L"QueryBulkConfigurationSettings exception. ErrCode=0x4",
          L"QueryExistConfigurationSettings exception. ErrCode=0x4", L"IsDBStatusOK: 0x4, "})
        EXPECT_TRUE(AnyContains(AgentLines(log, DBG::LVL_WARNING), warning)) << warning;

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
    for (const auto& [name, call] : throwing)
        ExpectThrowCode<CRPCException>(call, CRPCException::UNREACHABLE, name);
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
    EXPECT_TRUE(log.Contains(L"CCfgAgent::QueryConfigurationSettings exception. ErrCode=0x5",
                             DBG::LVL_WARNING));
    ExpectThrowCode<CRPCException>(
        [&] { agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction); },
        CRPCException::TIMEOUT);
    CRPCClientHelper::SetDefaultTimeout(previous);
    master.Release();
    // The held requests did reach the component; the agent did not wait for them.
    master.WaitArrived(2);
    // The service answers again on the next call, with a fresh connection.
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
}

namespace {
// Yields the entries it was built with (refusals and null pointers as given).
struct CEntries : CCfgAgent::CInterateCfgSettingCallback {
    using Entry = std::tuple<bool, CSubjectID*, CCfgSettingCategoryBase*>;
    explicit CEntries(std::vector<Entry> e) : entries(std::move(e)) {}
    int GetSettingCount() override { return static_cast<int>(entries.size()); }
    bool GetSettingAt(int index, CSubjectID*& subject, CCfgSettingCategoryBase*& setting) override {
        asked.push_back(index);
        EXPECT_TRUE(!subject && !setting);
        std::tie(std::ignore, subject, setting) = entries[index];
        return std::get<0>(entries[index]);
    }
    std::vector<Entry> entries;
    std::vector<int> asked;
};
}  // namespace

TEST_F(Agent, QueryExQueriesEachYieldedEntryAndReturnsTheLastResult) {
    CScriptedComponent master(kMaster);
    CCfgAgent agent;
    const CVirusScan stored = Stored();
    CSubjectID p1(L"ZOLT_PLC_P1"), p2(L"ZOLT_PLC_P2");
    CVirusScan a(L"SUB_A"), b(L"SUB_B"), c(L"SUB_C");

    CEntries none({});
    EXPECT_FALSE(agent.QueryConfigurationSettingsEx(kServer, none, nullptr));
    EXPECT_TRUE(none.asked.empty());

    // Only entry 1 yields both pointers: one request, and its result.
    CEntries one({{true, &p1, nullptr}, {true, &p2, &b}, {false, &p1, &c}});
    master.Then(ReplyWith(302, 0, &stored));
    EXPECT_TRUE(agent.QueryConfigurationSettingsEx(kServer, one, nullptr));
    EXPECT_EQ(one.asked, (std::vector<int>{0, 1, 2}));
    const auto received = master.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].body, ItemBytes(kServer, x_wstring(L"ZOLT_PLC_P2"), x_wstring(L"SUB_B"),
                                          x_wstring(L"QV_VirusScan")));
    EXPECT_EQ(Fields(b), (Fieldset{{L"VS_MAX_SIZE", L"777"}, {L"VS_QUARANTINE_FOLDER", L"q2"}}));

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

TEST_F(Agent, SystemWatcherAgentAddressesItsOwnComponentAndCopiesKeepIt) {
    CScriptedComponent master(kMaster);
    CScriptedComponent watcher(L"ID_ZOLT_SYSTEM_WATCHER");
    CCfgAgentSW agent;
    CCfgAgent copy(agent);
    CCfgAgent assigned(kMaster, false);
    assigned = agent;
    CVirusScan s;
    for (CCfgAgent* a : {static_cast<CCfgAgent*>(&agent), &copy, &assigned}) {
        EXPECT_TRUE(a->ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));
        EXPECT_TRUE(a->GetNotifyFlag());
    }
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr));
    const auto received = watcher.Received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].id, 303);
    EXPECT_EQ(received[0].body.back(), 1);  // the notify flag, last item of a modify
    EXPECT_EQ(received[3].id, 305);
    EXPECT_TRUE(master.Received().empty());
}

TEST_F(Agent, BackupGoesToTheComputerTheServerNames) {
    testsupport::CScopedEnv port("ZOLTCFG_RPC_PORT_ID_TEST_BACKUP",
                                 std::to_string(testsupport::FreeTcpPort()));
    CCfgAgent agent(L"ID_TEST_BACKUP");
    // Nobody serves the component there yet: the transport's error reaches the caller.
    EXPECT_THROW(agent.BackupStorage(L"127.0.0.1", L"/var/backup"), CRPCException);

    CScriptedComponent backup(L"ID_TEST_BACKUP", L"ncacn_np");
    EXPECT_TRUE(agent.BackupStorage(L"127.0.0.1", L"/var/backup"));
    backup.Then(ReplyWith(322, 3));
    EXPECT_FALSE(agent.BackupStorage(L"127.0.0.1", L"/var/backup"));
    const auto received = backup.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].id, 321);
    EXPECT_EQ(received[0].body, ItemBytes(x_wstring(L"127.0.0.1"), x_wstring(L"/var/backup")));
}
