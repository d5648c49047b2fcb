// The cluster observer behind a service given no store: this machine's own database under its
// name, and two virtual servers of this machine, each with its own root folder and database,
// going on and off line; the off-line rule of the modifies; the lazy reopen and its
// one-a-minute rule on an injected clock; a root folder that never opens; the database-service
// restart policy and restart with a fake service manager command; and requests racing a
// flapping server.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif
#include "service/cfg_CtrlClusterObserver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/CServiceManager.h"
#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"
#include "service/cfg_DatabaseServiceRestart.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/LogText.h"

using namespace servicetest;
using testsupport::CountLines;
using testsupport::HasLine;

namespace {

const wchar_t kEnv[] = L"ZOLT_SUB_CFG_VRS_ENV";
// What a read of a setting never written gives: the column's default.
const int kUnset = 10240;

// Time moves only when the code sleeps or the test says so.
class CFakeClock : public OS::CTickClock {
  public:
    std::atomic<uint64_t> now{1000000};
    uint64_t Now() override { return now; }
    void Sleep(uint32_t ms) override { now += ms; }
};

class ClusterObserver : public ::testing::Test {
  protected:
    ClusterObserver() : m_registry("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()) {
        testsupport::CreateSampleHome(m_tmp / "home");
        testsupport::WriteSampleRegistry(m_tmp / "registry", m_tmp / "home");
        for (const char* vs : {"VS1", "VS2", "BROKEN"}) {
            if (vs[0] == 'V') testsupport::CreateSampleHome(m_tmp / vs);
            OS::CRegKey key;
            key.Create(HKEY_LOCAL_MACHINE, CVirtualServerUtil::ClusterKey() +
                                               L"\\VirtualServers\\" + OS::x_wstring::FromUtf8(vs));
            key.SetValue(L"RootFolder", OS::x_wstring::FromUtf8((m_tmp / vs).string() + "/"));
            key.SetValue(L"Nodes", L"HOSTA;HOSTB");
        }
        OS::CRegKey cluster;
        cluster.Create(HKEY_LOCAL_MACHINE, CVirtualServerUtil::ClusterKey());
        cluster.SetValue(L"NodeName", L"HOSTA");
        m_observer = new CCfgCtrlClusterObserver(
            L"ID_ZOLT_MASTER", OS::GetHomeDir() + L"config/dbconf_Conf.xml", {L"HOSTA"}, m_clock);
        m_service = std::make_unique<CCfgControl>(L"ID_ZOLT_MASTER", m_observer);
    }

    // Sets a number of `key` (the product key or a key under it); a negative one deletes it.
    static void Number(const OS::x_wstring& key, const wchar_t* name, long value) {
        OS::CRegKey k;
        k.Create(HKEY_LOCAL_MACHINE, key);
        value < 0 ? k.DeleteValue(name) : k.SetValue(static_cast<unsigned long>(value), name);
    }
    // What the resource agent does: record the state, then tell the observer.
    void Move(const wchar_t* name, bool online) {
        CVirtualServerUtil::SetServerOnline(name, online);
        CClusterVirtualServerInfo info;
        ASSERT_TRUE(
            CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(name), info));
        info.m_strName = name;
        CIPCMsgBuffer body;
        body << info;
        (*m_observer)(CSubjectID(CClusterObserver::kSubject), body);
    }
    bool Write(const wchar_t* server, int level) {
        auto reply = CallService(
            *m_service, 303,
            ModifyBody(Key(server), Setting(L"QV_VirusScan", {{L"VS_MAX_SIZE", CVar(level)}}), 0,
                       true));
        reply.Rewind();
        return P::ReadReplyOk(reply, 304);
    }
    // The stored level of `server` as `service` answers read `id`, -1 when the request fails.
    int Read(const wchar_t* server) { return Read(*m_service, server); }
    static int Read(CCfgControl& service, const wchar_t* server, int id = 301) {
        auto reply = CallService(service, id, KeyBody(Key(server)));
        reply.Rewind();
        if (!P::ReadReplyOk(reply, id + 1)) return -1;
        CCfgSettingCategoryFake s(L"QV_VirusScan");
        P::ReadSetting(reply, s);
        CVar v;
        return s.GetFieldValue(L"VS_MAX_SIZE", v) ? static_cast<int>(v.GetInt64()) : 0;
    }
    bool EnvOnline(const wchar_t* server, OS::x_wstring* root = nullptr) {
        auto reply = CallService(
            *m_service, 301,
            KeyBody(Key(server, L"ZOLT_PLC_NULL", kEnv, L"QV_VirtualServerEnvironment")));
        reply.Rewind();
        if (!P::ReadReplyOk(reply, 302)) return false;
        CCfgSettingVServerEnvironment env;
        P::ReadSetting(reply, env);
        if (root) env.GetRootFolder(*root);
        return env.IsVirtualServerOn();
    }

    testsupport::CTempDir m_tmp{"zoltcfg-cluster"};
    testsupport::CScopedEnv m_registry;
    CRuntimeDir m_runtime;
    CFakeClock m_clock;
    CCfgCtrlClusterObserver* m_observer;
    std::unique_ptr<CCfgControl> m_service;
};

TEST_F(ClusterObserver, VirtualServersOpenOnLineCloseOffLineAndNeverShareADatabase) {
    DBG::CCaptureLog log;
    Move(L"VS1", true);
    Move(L"vs2", true);
    EXPECT_EQ(m_observer->OpenServers(), (std::vector<OS::x_wstring>{L"VS1", L"vs2"}));

    // Names match without regard to case; each server, and this machine under its own name,
    // keeps its own value, through each read.
    ASSERT_TRUE(Write(L"vs1", 11));
    ASSERT_TRUE(Write(L"VS2", 22));
    ASSERT_TRUE(Write(L"hosta", 3));
    EXPECT_EQ(Read(L"Vs1"), 11);
    EXPECT_EQ(Read(L"vS2"), 22);
    for (int id : {301, 339, 343}) EXPECT_EQ(Read(*m_service, L"HostA", id), 3) << id;
    // A delete answers 0, also for what is not there. (A plain read of a missing row would
    // create it with the table's defaults.)
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(Bytes(CallService(*m_service, 305, KeyBody(Key(L"HOSTA")))),
                  Bytes(ResultReply(306, 0)));
    EXPECT_EQ(Read(*m_service, L"HOSTA", 339), -1);
    OS::x_wstring root;
    EXPECT_TRUE(EnvOnline(L"VS1", &root));
    EXPECT_EQ(root, OS::x_wstring::FromUtf8((m_tmp / "VS1").string() + "/"));

    // A second on-line notification replaces the database; the stored value stays.
    Move(L"VS1", true);
    EXPECT_EQ(m_observer->OpenServers().size(), 2u);
    EXPECT_EQ(Read(L"VS1"), 11);

    // Another subject and a malformed body change nothing.
    (*m_observer)(CSubjectID(L"ZOLT_SUB_OTHER"), CIPCMsgBuffer() << false);
    (*m_observer)(CSubjectID(CClusterObserver::kSubject), CIPCMsgBuffer()
                                                              << true << OS::x_wstring(L"VS1"));
    EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, L"malformed cluster notification"));
    EXPECT_EQ(m_observer->OpenServers().size(), 2u);

    // Off line: the environment records it in the server's own database, which then closes.
    Move(L"VS1", false);
    EXPECT_TRUE(HasLine(log, DBG::LVL_INFO, L"delete configuration database,VS1"));
    EXPECT_EQ(m_observer->OpenServers(), (std::vector<OS::x_wstring>{L"vs2"}));
    EXPECT_EQ(Read(L"VS1"), -1);
    EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"VS1 server is offline"));
    EXPECT_EQ(Read(L"VS2"), 22);
    Move(L"VS1", true);
    EXPECT_TRUE(EnvOnline(L"VS1"));
}

// While the database is off line the modifies, single and batch, refuse before reading any
// setting, and the status says so until the lost connections are probed again.
TEST_F(ClusterObserver, ModifiesRefuseWithoutReadingWhileTheDatabaseIsOffline) {
    ASSERT_TRUE(Write(L"HOSTA", 5));
    CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(0));
    CDBFaultInjector::LoseAllConnections();
    const auto setting = Setting(L"QV_VirusScan", {{L"VS_MAX_SIZE", CVar(6)}});
    // A batch reads its header and answers -1 right behind the count, before any item.
    CIPCMsgBuffer batch = CIPCMsgBuffer() << 4 << OS::x_wstring(L"HOSTA") << OS::x_wstring(L"SRC")
                                          << OS::x_wstring(L"admin") << 0 << -1 << true << 1 << 0;
    const unsigned int header = batch.BytesUsed() - sizeof(int);
    P::WriteKey(batch, Key(L"HOSTA"));
    P::WriteSetting(batch, setting);
    const struct {
        int id;
        CIPCMsgBuffer body, expected;
        unsigned int read;  // what the handler reads before it refuses
        const wchar_t* warning;
    } cases[] = {
        {303, ModifyBody(Key(L"HOSTA"), setting, 0, true), ResultReply(304, -1), 0,
         L"CCfgControl::DoModifySettings(),db is offline,this round!!"},
        {345, ModifyBody(Key(L"HOSTA"), setting, 0, true), ResultReply(346, -1), 0,
         L"CCfgControl::DoModifyBulkSettings(),db is offline,this round!!"},
        {307, batch, Reply(308) << 1 << -1, header,
         L"CCfgControl::DoBatchModifySettings(), DB is offline, skip t"},
        {349, batch, Reply(350) << 1 << -1, header,
         L"CCfgControl::DoBatchModifyBulkSettings(), DB is offline, skip t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        DBG::CCaptureLog log;
        CIPCMsgBuffer reply;
        c.body.Rewind();
        (*m_service)(c.id, c.body, reply);
        EXPECT_EQ(Bytes(reply), Bytes(c.expected));
        EXPECT_EQ(c.body.GetCurrentSize(), c.body.BytesUsed() - c.read);
        EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, c.warning));
    }
    EXPECT_EQ(Bytes(CallService(*m_service, 341, CIPCMsgBuffer())), Bytes(ResultReply(342, 0)));
    EXPECT_TRUE(CGenericDatabase::ProbeLostConnections());
    CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(2000));
    EXPECT_EQ(Bytes(CallService(*m_service, 341, CIPCMsgBuffer())), Bytes(ResultReply(342, 1)));
    EXPECT_EQ(Read(L"HOSTA"), 5);
}

TEST_F(ClusterObserver, LostNotificationsReopenLazilyAtMostOncePerMinute) {
    struct Step {
        const wchar_t* online;  // recorded as on line now (no notification)
        uint64_t advanceMs;
        const wchar_t* server;
        int expected;  // the stored level read, -1: the request fails
    };
    const Step steps[] = {
        {L"VS1", 0, L"vs1", kUnset},   // opened on first use (nothing stored yet)
        {L"VS2", 1000, L"VS2", -1},    // another reopen within the minute: refused
        {nullptr, 59000, L"VS2", -1},  // exactly 60 s after the first: still refused
        {nullptr, 1, L"VS2", kUnset},  // then allowed
        {nullptr, 0, L"BROKEN", -1},   // off line in the registry
        {nullptr, 0, L"NOSUCH", -1},   // unknown
    };
    DBG::CCaptureLog log;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << s.server);
        if (s.online) CVirtualServerUtil::SetServerOnline(s.online, true);
        m_clock.now += s.advanceMs;
        EXPECT_EQ(Read(s.server), s.expected);
    }
    EXPECT_EQ(m_observer->OpenServers(), (std::vector<OS::x_wstring>{L"vs1", L"VS2"}));
    EXPECT_TRUE(HasLine(log, DBG::LVL_INFO, L"GetDatabase fail, virtual server=NOSUCH"));
}

TEST_F(ClusterObserver, ARootThatNeverOpensFailsAfterTheWindowAndOthersGoOn) {
    Move(L"VS1", true);
    DBG::CCaptureLog log;
    const uint64_t start = m_clock.now;
    Move(L"BROKEN", true);
    // Retried every 500 ms for 60 s, then the last failure ends the notification.
    EXPECT_EQ(m_clock.now - start, 60000u);
    EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"will retry later"), 121u);
    EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"DB Exception: "));
    EXPECT_EQ(m_observer->OpenServers(), (std::vector<OS::x_wstring>{L"VS1"}));
    EXPECT_TRUE(Write(L"VS1", 5));
    // Through the cluster endpoint the failure reaches whoever moved the server.
    m_observer->Init();
    CClusterVirtualServerInfo info;
    CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(L"BROKEN"), info);
    EXPECT_EQ(CClusterObserver::NotifyServer(CComponentID(L"ID_ZOLT_MASTER"), info), -1);
}

// A service manager whose unit reports the states of `states` one call at a time (the last one
// stays), and that records every call.
class DatabaseRestart : public ClusterObserver {
  protected:
    DatabaseRestart() {
        testsupport::WriteFile(m_tmp / "systemctl",
                               "#!/bin/sh\nd=$(dirname \"$0\")\necho \"$*\" >> \"$d/calls\"\n"
                               "case \"$1\" in\n"
                               "is-active) head -n1 \"$d/states\"\n"
                               "  [ $(wc -l < \"$d/states\") -gt 1 ] && sed -i 1d \"$d/states\";;\n"
                               "stop) echo inactive > \"$d/states\";;\n"
                               "start) echo active > \"$d/states\";;\nesac\nexit 0\n");
        std::filesystem::permissions(m_tmp / "systemctl", std::filesystem::perms::owner_all);
        CServiceManager::SetCommand((m_tmp / "systemctl").string());
    }
    ~DatabaseRestart() override { CServiceManager::SetCommand(""); }
    std::string Calls() { return testsupport::ReadFile(m_tmp / "calls"); }
};

TEST_F(DatabaseRestart, ModeHoldsOnlyOnASingleCopyCluster) {
    struct Row {
        long isCluster, quorum, value;
        int mode;
    } rows[] = {{0, 1, 1, 0}, {1, 0, 2, 0}, {1, 1, 2, 2}, {1, 1, -1, 0}, {1, 1, 1, 1}};
    for (const Row& r : rows) {
        Number(CVirtualServerUtil::ClusterKey(), L"IsCluster", r.isCluster);
        Number(CVirtualServerUtil::ClusterKey(), L"QuorumMode", r.quorum);
        Number(OS::kProductRegKey, L"RestartSQLServiceWhenResourceOnline", r.value);
        EXPECT_EQ(NS_DatabaseService::QueryRestartMode(), r.mode)
            << r.isCluster << r.quorum << r.value;
    }
    // Mode 1 restarts once before the first attempt of an on-line notification.
    testsupport::WriteFile(m_tmp / "states", "active\n");
    Move(L"VS1", true);
    EXPECT_THAT(Calls(), testing::HasSubstr("stop --no-block postgresql.service\n"));
    EXPECT_THAT(Calls(), testing::EndsWith("start --no-block postgresql.service\n"
                                           "is-active postgresql.service\n"
                                           "is-active postgresql.service\n"));
    EXPECT_EQ(Read(L"VS1"), kUnset);
}

TEST_F(DatabaseRestart, RestartStopsOnlyWhatRunsAndPollsPendingStatesWithinTheBudget) {
    struct Row {
        const char* states;
        const wchar_t* unit;  // the registry's "DatabaseService", if any
        uint64_t elapsedMs;
        const wchar_t *line1, *line2;
    } rows[] = {
        {"inactive\n", nullptr, 0, L"Starting service postgresql.service, timeout left:180000",
         L"[ZR-132391], service postgresql.service started."},
        {"activating\nactivating\nactivating\nactive\n", L"db.service", 1500,
         L"Waiting service db.service to enter either running/stopping state...",
         L"Stoping service db.service, timeout left:178500"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.states);
        std::filesystem::remove(m_tmp / "calls");
        testsupport::WriteFile(m_tmp / "states", r.states);
        OS::CRegKey product;
        product.Create(HKEY_LOCAL_MACHINE, OS::kProductRegKey);
        r.unit ? product.SetValue(L"DatabaseService", r.unit)
               : product.DeleteValue(L"DatabaseService");
        DBG::CCaptureLog log;
        const uint64_t before = m_clock.now;
        NS_DatabaseService::Restart(m_clock);
        EXPECT_EQ(m_clock.now - before, r.elapsedMs);
        EXPECT_TRUE(HasLine(log, 0, r.line1) && HasLine(log, 0, r.line2));
        EXPECT_EQ(Calls().find("stop") != std::string::npos, std::string(r.states) != "inactive\n");
    }
    // The command missing: logged, the restart ends (the unit is the last row's).
    CServiceManager::SetCommand((m_tmp / "missing").string());
    DBG::CCaptureLog log;
    NS_DatabaseService::Restart(m_clock);
    EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"Failed to restart db.service service, code: 127"));
}

TEST_F(ClusterObserver, RequestsRaceAServerFlappingOnAndOffLine) {
    Move(L"VS1", true);
    Move(L"VS2", true);
    ASSERT_TRUE(Write(L"VS1", 7));
    std::atomic<bool> stop{false};
    std::atomic<int> stayFailures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                if (Read(L"VS1") != 7) ++stayFailures;
                Read(L"VS2");  // answered or refused, never served by a closed database
            }
            CRPCClientHelper::CloseThreadConnections();
        });
    for (int i = 0; i < 15; ++i) {
        Move(L"VS2", false);
        Move(L"VS2", true);
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(stayFailures, 0);
    EXPECT_EQ(Read(L"VS2"), kUnset);
}

}  // namespace

TEST_F(ClusterObserver, SystemWatcherServesWhatTheMasterWritesOutsideAClusterOnly) {
    Move(L"VS1", true);
    ASSERT_TRUE(Write(L"VS1", 11));
    {
        DBG::CCaptureLog log;
        CCfgControlSW sw;
        EXPECT_TRUE(HasLine(log, DBG::LVL_INFO, L"server: VS1 online, and database is online"));
        EXPECT_EQ(Read(sw, L"vs1"), 11);
        ASSERT_TRUE(Write(L"VS1", 12));  // read again from the file, not from a cache
        EXPECT_EQ(Read(sw, L"VS1"), 12);
        EXPECT_EQ(Read(sw, L"VS2"), -1);
        EXPECT_TRUE(HasLine(log, DBG::LVL_INFO, L"Database operation fail, virtual server=VS2"));
        EXPECT_EQ(Read(sw, L"NOSUCH"), -1);
        EXPECT_TRUE(HasLine(log, DBG::LVL_INFO,
                            L"CVirtualServerUtil::QueryServerInfo, virtual server=NOSUCH"));
        EXPECT_EQ(Bytes(CallService(sw, 343, KeyBody(Key(L"VS1")))), Bytes(ResultReply(344, -1)));
        EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, L"You should not get here!!!"));
    }
    // On a cluster node nothing is opened and every request fails.
    Number(CVirtualServerUtil::ClusterKey(), L"ThirdPartyClusterType", 1);
    DBG::CCaptureLog log;
    CCfgControlSW sw;
    EXPECT_TRUE(HasLine(log, DBG::LVL_INFO,
                        L"[ZR-116002]: Skip caching connection in cluster environment"));
    EXPECT_EQ(Read(sw, L"VS1"), -1);
}

TEST(ClusterVirtualServerInfo, HasItsGoldenBytesAndRefusesWhatNoServerCanHold) {
    CClusterVirtualServerInfo info, back;
    info.m_bOnline = true;
    info.m_strName = L"V";
    info.m_strRootFolder = L"/r";
    info.SetNodes({L"N"});
    CIPCMsgBuffer b;
    b << info;
    EXPECT_EQ(Bytes(b), testsupport::FromHex("01 01000000 56 02000000 2f72 01000000 01000000 "
                                             "01000000 4e"));
    b >> back;
    EXPECT_EQ(back, info);
    // A name of 512 characters, and a negative node count, are refused on reading.
    const OS::x_wstring longName(CClusterVirtualServerInfo::kMaxText, L'x');
    for (const CIPCMsgBuffer& bad :
         {CIPCMsgBuffer() << true << longName,
          CIPCMsgBuffer() << true << OS::x_wstring(L"V") << OS::x_wstring(L"/r") << -1}) {
        bad.Rewind();
        EXPECT_THROW(bad >> back, CIPCMsgBufferException);
    }
    EXPECT_EQ(back, info);
}
