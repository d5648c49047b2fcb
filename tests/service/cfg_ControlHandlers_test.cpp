// The single-setting handlers against a scripted store: exact replies, the store calls they make,
// their log texts, and their answers to truncated, lying and unknown requests.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include "outside/log/DebugLog.h"
#include "tests/service/ServiceTestSupport.h"

using namespace servicetest;

namespace {

class ServiceHandlers : public ::testing::Test {
  protected:
    ServiceHandlers() : m_store(new CScriptedStore), m_service(L"ID_TEST_HANDLERS", m_store) {}

    CIPCMsgBuffer Call(int id, const CIPCMsgBuffer& body) {
        CIPCMsgBuffer reply;
        body.Rewind();
        m_service(id, body, reply);
        return reply;
    }

    CRuntimeDir m_runtime;
    CScriptedStore* m_store;  // owned by the service
    CCfgControl m_service;
};

CIPCMsgBuffer ReplyWithSetting(int replyId, const CCfgSettingCategoryBase& setting) {
    CIPCMsgBuffer b = Reply(replyId);
    b << 0;
    setting >> b;
    return b;
}

}  // namespace

TEST_F(ServiceHandlers, ReadsAnswerTheStoredSettingOrMinusOne) {
    m_store->fill = {{L"VS_ENABLE", CVar(true)}, {L"VS_NAME", CVar(L"scan")}};
    const CCfgSettingCategoryFake expected =
        Setting(L"QV_VirusScan", {{L"VS_ENABLE", CVar(true)}, {L"VS_NAME", CVar(L"scan")}});
    struct Case {
        int id;
        const char* op;
        const wchar_t* warning;
    } cases[] = {
        {301, "Get",
         L"m_pDB->GetConfiguration(), server =SRV, category = QV_VirusScan, subject = "
         L"ZOLT_SUB_CFG_VS_RS"},
        {343, "GetBulk",
         L"m_pDB->GetBulkConfiguration(), server =SRV, category = QV_VirusScan, subject = "
         L"ZOLT_SUB_CFG_VS_RS"},
        {339, "GetExist",
         L"m_pDB->GetExistConfiguration(), server =SRV, category = QV_VirusScan, subject = "
         L"ZOLT_SUB_CFG_VS_RS"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        m_store->calls.clear();
        m_store->result = true;
        // The placeholder the store fills starts clean; what it holds afterwards is answered.
        CCfgSettingCategoryFake filled(L"QV_VirusScan");
        for (const auto& [n, v] : m_store->fill) filled.AddFieldValue(n, v);
        filled.ResetDirtyFlag(expected.IsDirty());
        EXPECT_EQ(Bytes(Call(c.id, KeyBody(Key()))), Bytes(ReplyWithSetting(c.id + 1, filled)));
        ASSERT_EQ(m_store->calls.size(), 1u);
        EXPECT_EQ(m_store->calls[0].op, c.op);
        EXPECT_EQ(m_store->calls[0].server, L"SRV");
        EXPECT_EQ(m_store->calls[0].index, L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS");
        EXPECT_EQ(m_store->calls[0].category, L"QV_VirusScan");

        DBG::CCaptureLog log;
        m_store->result = false;
        EXPECT_EQ(Bytes(Call(c.id, KeyBody(Key()))), Bytes(ResultReply(c.id + 1, -1)));
        EXPECT_EQ(log.Messages(DBG::LVL_WARNING), std::vector<OS::x_wstring>{c.warning});
    }
}

TEST_F(ServiceHandlers, ModifiesPassSettingAndActionAndAnswerTheStoreResult) {
    const CCfgSettingCategoryFake setting =
        Setting(L"QV_VirusScan", {{L"VS_LEVEL", CVar(3)}, {L"VS_NAME", CVar(L"x")}});
    for (int id : {303, 345}) {
        SCOPED_TRACE(id);
        m_store->calls.clear();
        m_store->result = true;
        EXPECT_EQ(Bytes(Call(id, ModifyBody(Key(), setting, 2 | 8 | 0x100, true))),
                  Bytes(ResultReply(id + 1, 0)));
        ASSERT_EQ(m_store->calls.size(), 1u);
        EXPECT_EQ(m_store->calls[0].op, id == 303 ? "Set" : "SetBulk");
        EXPECT_EQ(m_store->calls[0].index, L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS");
        EXPECT_EQ(m_store->calls[0].action, 2 | 8 | 0x100);  // unknown bits are carried along
        CIPCMsgBuffer sent;
        setting >> sent;
        EXPECT_EQ(Bytes(m_store->calls[0].setting), Bytes(sent));

        DBG::CCaptureLog log;
        m_store->result = false;
        EXPECT_EQ(Bytes(Call(id, ModifyBody(Key(), setting, 0, true))),
                  Bytes(ResultReply(id + 1, -1)));
        EXPECT_EQ(log.Messages(DBG::LVL_WARNING),
                  std::vector<OS::x_wstring>{
                      id == 303 ? L"m_pDB->SetConfiguration(), server =SRV, category = "
                                  L"QV_VirusScan, subject = ZOLT_SUB_CFG_VS_RS"
                                : L"m_pDB->SetBulkConfiguration(), server =SRV, category = "
                                  L"QV_VirusScan, subject = ZOLT_SUB_CFG_VS_RS"});
    }
}

TEST_F(ServiceHandlers, DeleteAnswersZeroWhateverTheStoreDid) {
    m_store->reported = {};
    EXPECT_EQ(Bytes(Call(305, KeyBody(Key(L"SRV", L"P1", L"S1", L"QV_X")))),
              Bytes(ResultReply(306, 0)));
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_EQ(m_store->calls[0].op, "Remove");
    EXPECT_EQ(m_store->calls[0].index, L"P1:S1");
    EXPECT_EQ(m_store->calls[0].category, L"QV_X");
}

TEST_F(ServiceHandlers, ResetAnswersThePlaceholderAsTheStoreLeftIt) {
    m_store->fill = {{L"VS_LEVEL", CVar(1)}};
    CCfgSettingCategoryFake defaults(L"QV_VirusScan");
    defaults.AddFieldValue(L"VS_LEVEL", CVar(1));
    EXPECT_EQ(Bytes(Call(311, KeyBody(Key()))), Bytes(ReplyWithSetting(312, defaults)));
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_EQ(m_store->calls[0].op, "Reset");

    DBG::CCaptureLog log;
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(311, KeyBody(Key()))), Bytes(ResultReply(312, -1)));
    EXPECT_TRUE(
        log.Contains(L"m_pDB->GetConfiguration(), server = SRV, category = QV_VirusScan, "
                     L"subject = ZOLT_SUB_CFG_VS_RS",
                     DBG::LVL_WARNING));
}

TEST_F(ServiceHandlers, ApplyAllAndQueryAllUseTheCategoryWideOperations) {
    CCfgSettingApplyAll applyAll(L"QV_VirusScan");
    applyAll.AddFieldValue(L"VS_LEVEL", CVar(9));
    CIPCMsgBuffer request;
    P::WriteApplyAllRequest(request, L"SRV", L"QV_VirusScan", true, applyAll);
    unsigned int id = 0;
    request >> id;
    CIPCMsgBuffer body =
        CIPCMsgBuffer::FromBytes(request.GetCurrentBuffer(), request.GetCurrentSize());
    EXPECT_EQ(Bytes(Call(313, body)), Bytes(ResultReply(314, 0)));
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_EQ(m_store->calls[0].op, "ApplyAll");
    EXPECT_EQ(m_store->calls[0].server, L"SRV");
    EXPECT_EQ(m_store->calls[0].category, L"QV_VirusScan");
    CIPCMsgBuffer sent;
    applyAll >> sent;
    EXPECT_EQ(Bytes(m_store->calls[0].setting), Bytes(sent));

    {
        DBG::CCaptureLog log;
        m_store->result = false;
        EXPECT_EQ(Bytes(Call(313, body)), Bytes(ResultReply(314, -1)));
        EXPECT_TRUE(log.Contains(L"m_pDB->SetConfiguration()", DBG::LVL_WARNING));
    }

    // Query-all: the subject list goes to the store; its buffer comes back as one nested item.
    m_store->calls.clear();
    m_store->result = true;
    m_store->queryAllBytes = {1, 2, 3};
    CIPCMsgBuffer queryAll;
    queryAll << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << 2
             << OS::x_wstring(L"VS_LEVEL") << OS::x_wstring(L"VS_NAME");
    CIPCMsgBuffer expected = Reply(316);
    expected << 0;
    CIPCMsgBuffer nested;
    nested.Put(m_store->queryAllBytes.data(), 3);
    expected << nested;
    EXPECT_EQ(Bytes(Call(315, queryAll)), Bytes(expected));
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_EQ(m_store->calls[0].fields, (std::vector<OS::x_wstring>{L"VS_LEVEL", L"VS_NAME"}));

    m_store->calls.clear();
    CIPCMsgBuffer none;
    none << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << 0;
    Call(315, none);
    ASSERT_EQ(m_store->calls.size(), 1u);
    EXPECT_TRUE(m_store->calls[0].fields.empty());

    DBG::CCaptureLog log;
    m_store->result = false;
    EXPECT_EQ(Bytes(Call(315, none)), Bytes(ResultReply(316, -1)));
    EXPECT_TRUE(log.Contains(L"m_pDB->GetConfiguration()", DBG::LVL_WARNING));
}

TEST_F(ServiceHandlers, LoadUnloadAndStatusNeedNoStore) {
    EXPECT_EQ(Bytes(Call(317, KeyBody(Key()))), Bytes(ResultReply(318, 0)));
    EXPECT_EQ(Bytes(Call(319, KeyBody(Key()))), Bytes(ResultReply(320, 0)));
    EXPECT_TRUE(m_store->calls.empty());

    DBG::CCaptureLog log;
    EXPECT_EQ(Bytes(Call(341, CIPCMsgBuffer())), Bytes(ResultReply(342, 1)));
    EXPECT_EQ(log.Messages(DBG::LVL_ENTRY),
              (std::vector<OS::x_wstring>{L"CCfgControl::operator(), msgID: 341",
                                          L"CCfgControl::DoQueryDBConnectionStatus"}));
    EXPECT_EQ(log.Messages(DBG::LVL_EXIT),
              (std::vector<OS::x_wstring>{L"CCfgControl::DoQueryDBConnectionStatus, 1",
                                          L"CCfgControl::operator()"}));
}

TEST_F(ServiceHandlers, TruncatedRequestsAnswerMinusOneAndNeverReachTheStore) {
    const CCfgSettingCategoryFake setting = Setting(L"QV_VirusScan", {{L"A", CVar(L"text")}});
    CIPCMsgBuffer applyAllBody;
    {
        CCfgSettingApplyAll all(L"QV_VirusScan");
        all.AddFieldValue(L"A", CVar(1));
        applyAllBody << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << true;
        all >> applyAllBody;
    }
    CIPCMsgBuffer queryAllBody;
    queryAllBody << OS::x_wstring(L"SRV") << OS::x_wstring(L"QV_VirusScan") << 1
                 << OS::x_wstring(L"A");
    struct Case {
        int id;
        CIPCMsgBuffer body;
        const wchar_t* error;  // the handler's error log, up to the code
    } cases[] = {
        {301, KeyBody(Key()), L"DoQuerySettings error coce(%d), %ls"},
        {343, KeyBody(Key()), L"DoQueryBulkSettings error coce(%d), %ls"},
        {339, KeyBody(Key()), L"DoQueryExistSettings error coce(%d), %ls"},
        {303, ModifyBody(Key(), setting, 0, true), L"DoModifySettings error coce(%d), %ls"},
        {345, ModifyBody(Key(), setting, 0, true), L"DoModifyBulkSettings error coce(%d), %ls"},
        {305, KeyBody(Key()), L"DoDelSettings error coce(%d), %ls"},
        {311, KeyBody(Key()), L"DoResetToDefault error coce(%d), %ls"},
        {313, applyAllBody, L"DoModifyApplyAll error coce=%d, %ls"},
        {315, queryAllBody, L"DoQueryAll error coce=%d, %ls"},
        {317, KeyBody(Key()), L"DoLoadSettings error coce(%d), %ls"},
        {319, KeyBody(Key()), L"DoUnloadSettings error coce(%d), %ls"},
    };
    const OS::x_wstring pastEnd =
        CIPCMsgBufferException(CIPCMsgBufferException::READ_PAST_END, L"", 0).GetErrorMsg();
    const OS::x_wstring badLength =
        CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, L"", 0).GetErrorMsg();
    for (auto& c : cases) {
        const auto whole = Bytes(c.body);
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << c.id << " cut at " << cut);
            m_store->calls.clear();
            DBG::CCaptureLog log;
            const CIPCMsgBuffer truncated = CIPCMsgBuffer::FromBytes(whole.data(), cut);
            EXPECT_EQ(Bytes(Call(c.id, truncated)), Bytes(ResultReply(c.id + 1, -1)));
            EXPECT_TRUE(m_store->calls.empty());
            const auto errors = log.Messages(DBG::LVL_ERROR);
            ASSERT_EQ(errors.size(), 1u);
            OS::x_wstring a, b;
            a.Format(c.error, 1, pastEnd.c_str());
            b.Format(c.error, 2, badLength.c_str());
            // The buffer's message goes on with the byte counts.
            EXPECT_TRUE(errors[0].rfind(a, 0) == 0 || errors[0].rfind(b, 0) == 0)
                << errors[0].ToUtf8();
        }
    }
}

TEST_F(ServiceHandlers, LyingLengthsTrailingBytesAndUnknownIds) {
    // A server name whose count claims more bytes than the request holds.
    CIPCMsgBuffer lying;
    lying << 1000u;
    lying.Put(reinterpret_cast<const unsigned char*>("SRV"), 3);
    EXPECT_EQ(Bytes(Call(301, lying)), Bytes(ResultReply(302, -1)));

    // A query-all whose count claims 2^31-1 subjects.
    CIPCMsgBuffer hugeCount;
    hugeCount << OS::x_wstring(L"SRV") << OS::x_wstring(L"C") << 0x7fffffff;
    EXPECT_EQ(Bytes(Call(315, hugeCount)), Bytes(ResultReply(316, -1)));
    CIPCMsgBuffer negativeCount;
    negativeCount << OS::x_wstring(L"SRV") << OS::x_wstring(L"C") << -5;
    EXPECT_EQ(Bytes(Call(315, negativeCount)), Bytes(ResultReply(316, -1)));
    EXPECT_TRUE(m_store->calls.empty());

    // Bytes behind a complete request are not read: the answer is the normal one.
    CIPCMsgBuffer trailing = KeyBody(Key());
    trailing << 12345 << OS::x_wstring(L"junk");
    EXPECT_EQ(Bytes(Call(317, trailing)), Bytes(ResultReply(318, 0)));

    // Ids outside the served table, the file ids and the relay ids: an empty reply, no handler.
    for (int id : {0,   -1,  300, 302, 321,  323,  351,  999,  325,  327,
                   329, 331, 333, 335, 2032, 2033, 2034, 2035, 2013, 801}) {
        SCOPED_TRACE(id);
        DBG::CCaptureLog log;
        EXPECT_EQ(Call(id, KeyBody(Key())).BytesUsed(), 0u);
        OS::x_wstring entry;
        entry.Format(L"CCfgControl::operator(), msgID: %d", id);
        EXPECT_EQ(log.Messages(DBG::LVL_ENTRY), std::vector<OS::x_wstring>{entry});
    }
    EXPECT_TRUE(m_store->calls.empty());
}

TEST_F(ServiceHandlers, HandlersNotAvailableYetAnswerMinusOneAndSaySo) {
    for (auto [id, name] :
         std::vector<std::pair<int, const wchar_t*>>{{307, L"DoBatchModifySettings"},
                                                     {309, L"DoBatchQuerySettings"},
                                                     {347, L"DoBatchQueryBulkSettings"},
                                                     {349, L"DoBatchModifyBulkSettings"},
                                                     {337, L"DoReplayClusterStatus"}}) {
        SCOPED_TRACE(id);
        DBG::CCaptureLog log;
        CIPCMsgBuffer body;
        body << 0;
        EXPECT_EQ(Bytes(Call(id, body)), Bytes(ResultReply(id + 1, -1)));
        OS::x_wstring text;
        text.Format(L"CCfgControl::%ls() is not available yet", name);
        EXPECT_EQ(log.Messages(DBG::LVL_WARNING), std::vector<OS::x_wstring>{text});
    }
    EXPECT_TRUE(m_store->calls.empty());
}
