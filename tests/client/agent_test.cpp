// The agent against a scripted component: the request id of every operation, how each reply is
// judged, what is read back, which operations catch and which throw when the service is absent
// or answers short (a silent one is the same transport failure, after the timeout), the
// per-entry query walk, and the system-watcher agent.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "cfg_Client.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCException.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/Caught.h"
#include "tests/support/FreePort.h"
#include "tests/support/TestCerts.h"

using namespace agenttest;
using OS::x_wstring;
using Script = CScriptedComponent::Script;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;
using testsupport::CaughtCode;

namespace {

const wchar_t kMaster[] = L"ID_ZOLT_MASTER";
const x_wstring kServer = L"SRV1";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kModifyAction = static_cast<CCfgSettingDBBase::ModifyAction>(3);

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
    s.AddFieldValue(kAction, static_cast<short>(5));
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
    // The notify flag is the last item of a modify; an apply-all's is all that tells the loud
    // request from the quiet one.
    EXPECT_EQ(received[1].body.back(), 1);
    EXPECT_EQ(received[2].body.back(), 0);
    EXPECT_NE(received[5].body, received[6].body);
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

        // A failure result with a setting behind: false, nothing is read.
        ResetToBefore(s);
        master.Then(ReplyWith(q.replyId, -1, &stored));
        EXPECT_FALSE((agent.*q.query)(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Fields(s), kBeforeFields);

        // A setting cut short, and an empty reply: caught and logged; the fields read before
        // the cut stay.
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
    master.Then(ReplyWith(304, -1));
    EXPECT_FALSE(
        agent.ModifyBulkConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction));

    // Reset reads the defaults sent back; a reply cut inside the setting reaches the caller.
    master.Then(ReplyWith(312, 0, &stored));
    EXPECT_TRUE(agent.ResetToDefault(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Fields(s), kBeforePlusStored);
    master.Then(ReplyWith(312, 0, &stored, 28));
    EXPECT_EQ(CaughtCode<CIPCMsgBufferException>(
                  [&] { agent.ResetToDefault(kServer, kPolicy, s, nullptr); }),
              CIPCMsgBufferException::READ_PAST_END);

    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    master.Then(ReplyWith(316, 0));
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, applyAll, nullptr));
    EXPECT_TRUE(log.Contains(L"ModifyConfigurationSettings fail, reply msg=316, error code=0",
                             DBG::LVL_ERROR));

    // Query list: the nested buffer replaces the caller's; a failure leaves it alone.
    CIPCMsgBuffer out, nested;
    nested << 1 << x_wstring(L"row");
    master.Then([&](int, CIPCMsgBuffer& r) { r << 316 << 0 << nested; });
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    master.Then(ReplyWith(316, -1));
    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr));
    EXPECT_EQ(Bytes(out), Bytes(nested));

    // The database status is any non-zero status of the master, whatever the agent's component.
    CCfgAgent other(L"ID_SOMEONE_ELSE", false);
    master.Then(ReplyWith(342, 7));
    EXPECT_TRUE(other.IsDBStatusOK());
    master.Then(ReplyWith(342, 0));
    EXPECT_FALSE(other.IsDBStatusOK());
}

TEST_F(Agent, AnAbsentServiceMakesQueriesFalseAndEveryOtherOperationThrow) {
    // No component serves this runtime folder.
    CCfgAgent agent;
    CVirusScan s = Before();
    DBG::CCaptureLog log;

    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_FALSE(agent.IsDBStatusOK());
    EXPECT_EQ(Fields(s), kBeforeFields);
    EXPECT_TRUE(log.Contains(L"CCfgAgent::QueryConfigurationSettings exception. ErrCode=0x4",
                             DBG::LVL_WARNING));

    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    CIPCMsgBuffer out;
    const std::vector<std::pair<const char*, std::function<void()>>> throwing = {
        {"modify",
         [&] { agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr, kModifyAction); }},
        {"apply all", [&] { agent.ModifyConfigurationSettings(kServer, applyAll, nullptr); }},
        {"query all",
         [&] { agent.QueryConfigurationSettings(kServer, L"QV_VirusScan", {}, out, nullptr); }},
    };
    for (const auto& [name, call] : throwing)
        EXPECT_EQ(CaughtCode<CRPCException>(call), CRPCException::UNREACHABLE) << name;
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
    CVirusScan a(L"SUB_A"), b(L"SUB_B");
    // Entries without both pointers, or refused, are skipped; the last query run decides.
    const struct {
        std::vector<CEntries::Entry> entries;
        std::vector<int> results;  // scripted, one per query expected
        bool result;
    } cases[] = {
        {{}, {}, false},
        {{{true, &p2, &b}}, {0}, true},
        {{{true, &p1, nullptr}, {true, &p2, &b}, {false, &p1, &a}}, {0}, true},
        {{{true, &p1, &a}, {true, &p1, &b}, {true, nullptr, &b}}, {0, -1}, false},
        {{{false, &p1, &a}}, {}, false},
    };
    for (const auto& c : cases) {
        master.Clear();
        for (int r : c.results) master.Then(ReplyWith(302, r, &stored));
        CEntries entries(c.entries);
        EXPECT_EQ(agent.QueryConfigurationSettingsEx(kServer, entries, nullptr), c.result);
        EXPECT_EQ(master.Received().size(), c.results.size());
        EXPECT_EQ(entries.asked.size(), c.entries.size());
    }
    EXPECT_EQ(Fields(b), (Fieldset{{L"VS_MAX_SIZE", L"777"}, {L"VS_QUARANTINE_FOLDER", L"q2"}}));
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
    EXPECT_EQ(watcher.Received().size(), 3u);
    EXPECT_TRUE(master.Received().empty());
}

TEST_F(Agent, BackupGoesToTheComputerTheServerNames) {
    testsupport::CScopedEnv port("ZOLTCFG_RPC_PORT_ID_TEST_BACKUP",
                                 std::to_string(testsupport::FreeTcpPort()));
    testsupport::CScopedTls tls;  // another computer is reached over TLS only
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
}
