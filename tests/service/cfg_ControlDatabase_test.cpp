// The service over this machine's own SQLite database in a temporary home: writes, reads,
// deletes, resets and column dumps end to end, the server-name rule, the off-line rule of the
// modifies, and several clients at once through the transport.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "service/cfg_VirtualServerDB.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/SampleHome.h"

using namespace servicetest;

namespace {

class ServiceDatabase : public ::testing::Test {
  protected:
    ServiceDatabase()
        : m_tmp("zoltcfg-svc-db"),
          m_registry("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()),
          m_host(CCfgLocalServerDB::DefaultServerNames().front()) {
        testsupport::CreateSampleHome(m_tmp / "home");
        testsupport::WriteSampleRegistry(m_tmp / "registry", m_tmp / "home");
        CDBFaultInjector::Reset();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(0));
        m_service = std::make_unique<CCfgControl>(L"ID_TEST_DB");
    }
    ~ServiceDatabase() override {
        m_service.reset();
        CDBFaultInjector::Reset();
        CGenericDatabase::ProbeLostConnections();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(2000));
    }

    CIPCMsgBuffer Call(int id, const CIPCMsgBuffer& body) {
        return CallService(*m_service, id, body);
    }
    P::CKey HostKey(const wchar_t* subject = L"ZOLT_SUB_CFG_VS_RS") {
        return Key(m_host.c_str(), L"ZOLT_PLC_NULL", subject, L"QV_VirusScan");
    }
    // Reads the setting of a 302/312-style reply; false when the reply says -1.
    static bool ReadSettingReply(const CIPCMsgBuffer& reply, int replyId,
                                 CCfgSettingCategoryFake& out) {
        reply.Rewind();
        if (!P::ReadReplyOk(reply, replyId)) return false;
        P::ReadSetting(reply, out);
        return reply.GetCurrentSize() == 0;
    }
    static CVar Field(const CCfgSettingCategoryFake& s, const wchar_t* name) {
        CVar v;
        EXPECT_TRUE(s.GetFieldValue(name, v)) << OS::x_wstring(name).ToUtf8();
        return v;
    }

    testsupport::CTempDir m_tmp;
    testsupport::CScopedEnv m_registry;
    CRuntimeDir m_runtime;
    OS::x_wstring m_host;
    std::unique_ptr<CCfgControl> m_service;
};

}  // namespace

TEST_F(ServiceDatabase, WriteReadDeleteAndColumnDumpEndToEnd) {
    const auto setting = Setting(
        L"QV_VirusScan", {{L"VS_ACTION", CVar(short(2))}, {L"VS_QUARANTINE_FOLDER", CVar(L"q2")}});
    EXPECT_EQ(Bytes(Call(303, ModifyBody(HostKey(), setting, 0, true))),
              Bytes(ResultReply(304, 0)));

    for (int id : {301, 339, 343}) {
        SCOPED_TRACE(id);
        CCfgSettingCategoryFake read(L"QV_VirusScan");
        ASSERT_TRUE(ReadSettingReply(Call(id, KeyBody(HostKey())), id + 1, read));
        EXPECT_EQ(Field(read, L"VS_ACTION").ChangeType(VT_I4).GetI4(), 2);
        EXPECT_EQ(Field(read, L"VS_QUARANTINE_FOLDER").GetString(), L"q2");
    }

    // This machine answers to its names in any letter case and to "localhost"; another name
    // finds no database.
    for (const OS::x_wstring& name : CCfgLocalServerDB::DefaultServerNames()) {
        CCfgSettingCategoryFake read(L"QV_VirusScan");
        OS::x_wstring upper = name;
        for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
        EXPECT_TRUE(ReadSettingReply(
            Call(301, KeyBody(Key(upper.c_str(), L"ZOLT_PLC_NULL", L"ZOLT_SUB_CFG_VS_RS"))), 302,
            read))
            << name.ToUtf8();
    }
    {
        DBG::CCaptureLog log;
        EXPECT_EQ(Bytes(Call(301, KeyBody(Key(L"OTHER-SERVER")))), Bytes(ResultReply(302, -1)));
        EXPECT_TRUE(log.Contains(L"GetDatabase fail, virtual server=OTHER-SERVER", DBG::LVL_INFO));
        EXPECT_EQ(Bytes(Call(303, ModifyBody(Key(L"OTHER-SERVER"), setting, 0, true))),
                  Bytes(ResultReply(304, -1)));
    }

    // The column dump of one field over every row of the table.
    CIPCMsgBuffer dump;
    dump << m_host << OS::x_wstring(L"QV_VirusScan") << 1 << OS::x_wstring(L"VS_ACTION");
    CIPCMsgBuffer reply = Call(315, dump);
    ASSERT_TRUE(P::ReadReplyOk(reply, 316));
    CIPCMsgBuffer nested;
    reply >> nested;
    EXPECT_EQ(reply.GetCurrentSize(), 0u);
    OS::x_wstring column;
    unsigned int rows = 0;
    nested >> column >> rows;
    EXPECT_EQ(std::pair(column, rows), std::pair(OS::x_wstring(L"VS_ACTION"), 1u));
    CVar value;
    CCfgSettingCategoryBase::CVarFromBuffer(value, nested);
    EXPECT_EQ(value.ChangeType(VT_I4).GetI4(), 2);

    EXPECT_EQ(Bytes(Call(305, KeyBody(HostKey()))), Bytes(ResultReply(306, 0)));
    // (A plain read of a missing row would create it with the table's defaults.)
    EXPECT_EQ(Bytes(Call(339, KeyBody(HostKey()))), Bytes(ResultReply(340, -1)));
    // Deleting what is not there still answers 0.
    EXPECT_EQ(Bytes(Call(305, KeyBody(HostKey()))), Bytes(ResultReply(306, 0)));
}

TEST_F(ServiceDatabase, ResetAnswersTheDefaultsTheNextReadReturns) {
    // The table's default row, then a setting that differs from it.
    const auto defaults = Setting(L"QV_VirusScan", {{L"VS_ACTION", CVar(short(7))}});
    ASSERT_EQ(Bytes(Call(303, ModifyBody(HostKey(L"ZOLT_SUB_CFG_VS_DEFAULT"), defaults, 0, true))),
              Bytes(ResultReply(304, 0)));
    const auto own = Setting(L"QV_VirusScan", {{L"VS_ACTION", CVar(short(3))}});
    ASSERT_EQ(Bytes(Call(303, ModifyBody(HostKey(), own, 0, true))), Bytes(ResultReply(304, 0)));

    for (int id : {311, 301}) {  // the reset, then a read
        CCfgSettingCategoryFake read(L"QV_VirusScan");
        ASSERT_TRUE(ReadSettingReply(Call(id, KeyBody(HostKey())), id + 1, read));
        EXPECT_EQ(Field(read, L"VS_ACTION").ChangeType(VT_I4).GetI4(), 7) << id;
    }
}

TEST_F(ServiceDatabase, ModifiesRefuseWithoutReadingWhileTheDatabaseIsOffline) {
    const auto setting = Setting(L"QV_VirusScan", {{L"VS_ACTION", CVar(short(5))}});
    ASSERT_EQ(Bytes(Call(303, ModifyBody(HostKey(), setting, 0, false))),
              Bytes(ResultReply(304, 0)));
    CDBFaultInjector::LoseAllConnections();
    ASSERT_FALSE(IsDBStatusOK());

    for (int id : {303, 345}) {
        SCOPED_TRACE(id);
        DBG::CCaptureLog log;
        const CIPCMsgBuffer body = ModifyBody(HostKey(), setting, 0, true);
        CIPCMsgBuffer reply;
        (*m_service)(id, body, reply);
        EXPECT_EQ(Bytes(reply), Bytes(ResultReply(id + 1, -1)));
        EXPECT_EQ(body.GetCurrentSize(), body.BytesUsed());  // nothing of the request was read
        EXPECT_TRUE(log.Contains(
            id == 303 ? L"CCfgControl::DoModifySettings(),db is offline,this round!!"
                      : L"CCfgControl::DoModifyBulkSettings(),db is offline,this round!!",
            DBG::LVL_WARNING));
    }
    EXPECT_EQ(Bytes(Call(341, CIPCMsgBuffer())), Bytes(ResultReply(342, 0)));
    // Load and unload need no database.
    EXPECT_EQ(Bytes(Call(317, KeyBody(HostKey()))), Bytes(ResultReply(318, 0)));
    EXPECT_EQ(Bytes(Call(319, KeyBody(HostKey()))), Bytes(ResultReply(320, 0)));

    ASSERT_TRUE(CGenericDatabase::ProbeLostConnections());
    EXPECT_EQ(Bytes(Call(341, CIPCMsgBuffer())), Bytes(ResultReply(342, 1)));
    EXPECT_EQ(Bytes(Call(303, ModifyBody(HostKey(), setting, 0, true))),
              Bytes(ResultReply(304, 0)));
}

TEST_F(ServiceDatabase, ConcurrentClientsEachReadBackTheirOwnWrites) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 15;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CRPCClientHelper client(CComponentID(L"ID_TEST_DB"), nullptr);
            OS::x_wstring subject;
            subject.Format(L"ZOLT_SUB_TEST_%d", t);
            const P::CKey key = HostKey(subject.c_str());
            for (int round = 0; round < kRounds; ++round) {
                CIPCMsgBuffer write, written;
                P::WriteModifyRequest(
                    write, P::kMsgModify, key,
                    Setting(L"QV_VirusScan", {{L"VS_MAX_SIZE", CVar(t * 1000 + round)}}), 0, true);
                client.SendRequest(write, written);
                CIPCMsgBuffer read, answer;
                P::WriteKeyRequest(read, P::kMsgQuery, key);
                client.SendRequest(read, answer);
                CCfgSettingCategoryFake got(L"QV_VirusScan");
                CVar v;
                if (!P::ReadReplyOk(written, 304) || !ReadSettingReply(answer, 302, got) ||
                    !got.GetFieldValue(L"VS_MAX_SIZE", v) ||
                    v.ChangeType(VT_I4).GetI4() != t * 1000 + round)
                    ++failures[t];
            }
            CRPCClientHelper::CloseThreadConnections();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}
