// The single-setting handlers against a scripted store: exact replies, the store calls they make,
// their log texts, their answers to truncated, lying and unknown requests, and what an observer
// subscribed to the service's publisher receives for each: exactly the listed notifications, in
// order, with the flag set only for the virtual-server environment.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/log/DebugLog.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/LogText.h"

using namespace servicetest;

namespace {

const wchar_t kComponent[] = L"ID_TEST_HANDLERS";
const wchar_t kEnv[] = L"ZOLT_SUB_CFG_VRS_ENV";
using Seen = std::vector<OS::x_wstring>;

class ServiceHandlers : public ::testing::Test {
  protected:
    ServiceHandlers()
        : m_store(new CScriptedStore),
          m_service(kComponent, m_store),
          m_observers(CComponentID(L"ID_TEST_OBSERVER")) {
        m_observers.Subscribe(CComponentID(kComponent), m_observer);
    }
    ~ServiceHandlers() override { m_observers.Unsubscribe(CComponentID(kComponent), m_observer); }

    CIPCMsgBuffer Call(int id, const CIPCMsgBuffer& body) {
        return CallService(m_service, id, body);
    }
    // What the observer received for the calls since the last Notified().
    Seen Notified() {
        Call(317, KeyBody(Key(L"SRV", L"P", kSentinel)));
        return m_observer.TakeUntilSentinel(++m_sentinels);
    }

    CRuntimeDir m_runtime;
    CScriptedStore* m_store;  // owned by the service
    CCfgControl m_service;
    CRecordingObserver m_observer{{L"A", L"B", L"C", L"S1", L"X", kEnv}};
    CObserverServerHelper m_observers;
    int m_sentinels = 0;
};

}  // namespace

// Reads and resets answer the placeholder as the store filled it, modifies the store's result,
// delete 0 whatever the store did; a refusal answers -1 with the handler's warning.
TEST_F(ServiceHandlers, EachSettingHandlerCallsItsStoreOperationAndAnswersItsResult) {
    m_store->fill = {{L"VS_ENABLE", CVar(true)}, {L"VS_NAME", CVar(L"scan")}};
    const CCfgSettingCategoryFake filled = Setting(L"QV_VirusScan", m_store->fill);
    const CCfgSettingCategoryFake setting =
        Setting(L"QV_VirusScan", {{L"VS_LEVEL", CVar(3)}, {L"VS_NAME", CVar(L"x")}});
    const int action = 2 | 8 | 0x100;  // unknown bits are carried along
    const auto modify = ModifyBody(Key(), setting, action, true);
    const OS::x_wstring at = L"server =SRV, category = QV_VirusScan, subject = ZOLT_SUB_CFG_VS_RS";
    const struct {
        int id;
        CIPCMsgBuffer body;
        const char* op;
        bool answersSetting;
        OS::x_wstring warning;  // empty: the handler never refuses
    } cases[] = {
        {301, KeyBody(Key()), "Get", true, L"m_pDB->GetConfiguration(), " + at},
        {343, KeyBody(Key()), "GetBulk", true, L"m_pDB->GetBulkConfiguration(), " + at},
        {339, KeyBody(Key()), "GetExist", true, L"m_pDB->GetExistConfiguration(), " + at},
        {311, KeyBody(Key()), "Reset", true,
         L"m_pDB->GetConfiguration(), server = SRV, category = QV_VirusScan, subject = "
         L"ZOLT_SUB_CFG_VS_RS"},
        {303, modify, "Set", false, L"m_pDB->SetConfiguration(), " + at},
        {345, modify, "SetBulk", false, L"m_pDB->SetBulkConfiguration(), " + at},
        {305, KeyBody(Key()), "Remove", false, L""},
    };
    CIPCMsgBuffer sent;
    setting >> sent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        m_store->calls.clear();
        m_store->result = true;
        CIPCMsgBuffer expected = ResultReply(c.id + 1, 0);
        if (c.answersSetting) filled >> expected;
        EXPECT_EQ(Bytes(Call(c.id, c.body)), Bytes(expected));
        ASSERT_EQ(m_store->calls.size(), 1u);
        const CStoreCall& call = m_store->calls[0];
        EXPECT_EQ(std::tuple(call.op, call.server, call.index, call.category),
                  std::tuple(c.op, L"SRV", L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS", L"QV_VirusScan"));
        const bool modifies = c.id == 303 || c.id == 345;
        EXPECT_TRUE(!modifies ||
                    std::pair(call.action, Bytes(call.setting)) == std::pair(action, Bytes(sent)));

        DBG::CCaptureLog log;
        m_store->result = false;
        EXPECT_EQ(Bytes(Call(c.id, c.body)),
                  Bytes(ResultReply(c.id + 1, c.warning.empty() ? 0 : -1)));
        EXPECT_TRUE(c.warning.empty() || log.Contains(c.warning, DBG::LVL_WARNING));
    }
}

TEST_F(ServiceHandlers, ApplyAllAndQueryAllUseTheCategoryWideOperations) {
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    applyAll.AddFieldValue(L"VS_LEVEL", CVar(9));
    const CIPCMsgBuffer body = ApplyAllBody(applyAll, true);
    EXPECT_EQ(Bytes(Call(313, body)), Bytes(ResultReply(314, 0)));
    ASSERT_EQ(m_store->calls.size(), 1u);
    CIPCMsgBuffer sent;
    applyAll >> sent;
    const CStoreCall& call = m_store->calls[0];
    EXPECT_EQ(std::tuple(call.op, call.server, call.category, Bytes(call.setting)),
              std::tuple("ApplyAll", L"SRV", L"QV_VirusScan", Bytes(sent)));
    // The rows the store reports before it fails were written: each is announced with its own
    // policy, the flag false even for the environment subject; without the notify flag, none.
    m_store->applyAllRows = {
        CCfgIndex(L"SRV", {CSubjectID(L"P1"), CSubjectID(L"S1")}),
        CCfgIndex(L"SRV", {CSubjectID(L"P2"), CSubjectID(kEnv)}),
    };
    DBG::CCaptureLog log;
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(313, body)), Bytes(ResultReply(314, -1)));
    EXPECT_TRUE(log.Contains(L"m_pDB->SetConfiguration()", DBG::LVL_WARNING));
    EXPECT_EQ(Notified(), (Seen{L"S1/P1/SRV/3/0", L"ZOLT_SUB_CFG_VRS_ENV/P2/SRV/3/0"}));
    Call(313, ApplyAllBody(applyAll, false));
    EXPECT_EQ(Notified(), Seen{});

    // Query-all: the subject list goes to the store; its buffer comes back as one nested item.
    m_store->calls.clear();
    m_store->result = true;
    m_store->queryAllBytes = {1, 2, 3};
    CIPCMsgBuffer queryAll;
    queryAll << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << 2
             << OS::x_wstring(L"VS_LEVEL") << OS::x_wstring(L"VS_NAME");
    CIPCMsgBuffer nested;
    nested.Put(m_store->queryAllBytes.data(), 3);
    EXPECT_EQ(Bytes(Call(315, queryAll)), Bytes(ResultReply(316, 0) << nested));
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_EQ(m_store->calls[0].fields, (std::vector<OS::x_wstring>{L"VS_LEVEL", L"VS_NAME"}));
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(315, queryAll)), Bytes(ResultReply(316, -1)));
    EXPECT_TRUE(log.Contains(L"m_pDB->GetConfiguration()", DBG::LVL_WARNING));
}

TEST_F(ServiceHandlers, TruncatedRequestsAnswerMinusOneAndNeverReachTheStore) {
    const CCfgSettingCategoryFake setting = Setting(L"QV_VirusScan", {{L"A", CVar(L"text")}});
    CCfgSettingApplyAll all(L"QV_VirusScan");
    all.AddFieldValue(L"A", CVar(1));
    const CIPCMsgBuffer applyAllBody = ApplyAllBody(all, true);
    CIPCMsgBuffer queryAllBody;
    queryAllBody << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << 1
                 << OS::x_wstring(L"A");
    struct Case {
        int id;
        CIPCMsgBuffer body;
        const wchar_t* error;  // the handler's error log, up to its code
    } cases[] = {
        {301, KeyBody(Key()), L"DoQuerySettings error coce("},
        {343, KeyBody(Key()), L"DoQueryBulkSettings error coce("},
        {339, KeyBody(Key()), L"DoQueryExistSettings error coce("},
        {303, ModifyBody(Key(), setting, 0, true), L"DoModifySettings error coce("},
        {345, ModifyBody(Key(), setting, 0, true), L"DoModifyBulkSettings error coce("},
        {305, KeyBody(Key()), L"DoDelSettings error coce("},
        {311, KeyBody(Key()), L"DoResetToDefault error coce("},
        {313, applyAllBody, L"DoModifyApplyAll error coce="},
        {315, queryAllBody, L"DoQueryAll error coce="},
        {317, KeyBody(Key()), L"DoLoadSettings error coce("},
        {319, KeyBody(Key()), L"DoUnloadSettings error coce("},
    };
    for (auto& c : cases) {
        const auto whole = Bytes(c.body);
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << c.id << " cut at " << cut);
            m_store->calls.clear();
            DBG::CCaptureLog log;
            const CIPCMsgBuffer truncated = CIPCMsgBuffer::FromBytes(whole.data(), cut);
            EXPECT_EQ(Bytes(Call(c.id, truncated)), Bytes(ResultReply(c.id + 1, -1)));
            EXPECT_TRUE(m_store->calls.empty());
            EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_ERROR, c.error));
        }
    }
}

TEST_F(ServiceHandlers, TrailingBytesUnknownIdsAndAReplayOfNoServer) {
    // Bytes behind a complete request are not read: the answer is the normal one.
    CIPCMsgBuffer trailing = KeyBody(Key());
    trailing << 12345 << OS::x_wstring(L"junk");
    EXPECT_EQ(Bytes(Call(317, trailing)), Bytes(ResultReply(318, 0)));

    // Ids outside the served table, the file ids and the relay ids: an empty reply, no handler.
    for (int id : {0,   -1,  300, 302, 321,  323,  351,  999,  325,  327,
                   329, 331, 333, 335, 2032, 2033, 2034, 2035, 2013, 801}) {
        EXPECT_EQ(Call(id, KeyBody(Key())).BytesUsed(), 0u) << id;
    }

    // A replay that names no server, or is cut short, never reaches the store.
    DBG::CCaptureLog log;
    CIPCMsgBuffer unnamed;
    unnamed << CClusterVirtualServerInfo();
    EXPECT_EQ(Bytes(Call(337, unnamed)), Bytes(ResultReply(338, -1)));
    EXPECT_TRUE(log.Contains(L"DoReplayClusterStatuse empty strVirtualServerName", DBG::LVL_ERROR));
    EXPECT_EQ(Bytes(Call(337, CIPCMsgBuffer() << true)), Bytes(ResultReply(338, -1)));
    EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_ERROR, L"DoReplayClusterStatuse error coce(1)"));
    EXPECT_TRUE(m_store->calls.empty());
}

TEST_F(ServiceHandlers, WritesNotifyEachReportedSubjectOnlyWithTheNotifyFlag) {
    const auto setting = Setting(L"QV_VirusScan", {{L"VS_LEVEL", CVar(2)}});
    m_store->reported = {L"A", kEnv, L"A"};  // duplicates are announced as reported

    for (int id : {303, 345}) {
        SCOPED_TRACE(id);
        Call(id, ModifyBody(Key(L"SRV", L"POL"), setting, 0, false));
        EXPECT_EQ(Notified(), Seen{});
        Call(id, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
        EXPECT_EQ(Notified(),
                  (Seen{L"A/POL/SRV/3/0", L"ZOLT_SUB_CFG_VRS_ENV/POL/SRV/3/1", L"A/POL/SRV/3/0"}));
    }

    // A refused write announces nothing.
    m_store->result = false;
    Call(303, ModifyBody(Key(L"SRV", L"POL"), setting, 0, true));
    EXPECT_EQ(Notified(), Seen{});
}

TEST_F(ServiceHandlers, DeleteResetLoadAndUnloadAlwaysNotify) {
    m_store->reported = {L"B", kEnv};
    Call(305, KeyBody(Key(L"SRV2", L"P7", L"whatever")));
    EXPECT_EQ(Notified(), (Seen{L"B/P7/SRV2/4/0", L"ZOLT_SUB_CFG_VRS_ENV/P7/SRV2/4/1"}));

    m_store->reported = {L"C"};
    Call(311, KeyBody(Key(L"SRV", L"P8", L"C")));
    EXPECT_EQ(Notified(), (Seen{L"C/P8/SRV/3/0"}));

    m_store->reported = {};
    Call(305, KeyBody(Key()));
    EXPECT_EQ(Notified(), Seen{});

    // Load and unload announce the request's own subject.
    Call(317, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(319, KeyBody(Key(L"SRV", L"P", L"X")));
    Call(317, KeyBody(Key(L"SRV", L"P", kEnv)));
    EXPECT_EQ(Notified(),
              (Seen{L"X/P/SRV/5/0", L"X/P/SRV/6/0", L"ZOLT_SUB_CFG_VRS_ENV/P/SRV/5/0"}));
    // Reads publish nothing.
    Call(301, KeyBody(Key(L"SRV", L"P", L"X")));
    EXPECT_EQ(Notified(), Seen{});
}
