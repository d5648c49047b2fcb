// The agent against a real service: a CCfgControl in this process on a sample home's SQLite
// database (modify with and without notification, apply-all, query-all, load, unload, delete
// and what observers hear of each, a batch query handed to another service's batch modify), and the
// daemon killed in the middle of a stream of modifies, after which every acknowledged modify is
// there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/db/CDBFaultInjector.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CObserverServerHelper.h"
#include "outside/rpc/CRPCException.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_VirtualServerDB.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace agenttest;
using OS::x_wstring;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;
using Texts = std::vector<x_wstring>;

namespace {

const x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kNoAction = CCfgSettingDBBase::MA_NONE;
const wchar_t kSentinel[] = L"ZOLT_SUB_TEST_SENTINEL";

// The fields a test writes (VS_MAX_SIZE, VS_QUARANTINE_FOLDER) of a setting read back; the
// others are the store's matter.
Fieldset Read(const CCfgSettingCategoryBase& setting) {
    Fieldset out;
    for (auto& field : Fields(setting))
        if (field.first == L"VS_MAX_SIZE" || field.first == L"VS_QUARANTINE_FOLDER")
            out.push_back(field);
    return out;
}

Fieldset Row(const x_wstring& maxSize, const x_wstring& folder) {
    return {{L"VS_MAX_SIZE", maxSize}, {L"VS_QUARANTINE_FOLDER", folder}};
}

CVirusScan Scan(const x_wstring& subject, int maxSize, const x_wstring& folder) {
    CVirusScan s(subject);
    s.AddFieldValue(kMaxSize, maxSize);
    s.AddFieldValue(kFolder, folder);
    s.ResetDirtyFlag(true);
    return s;
}

// Observes the master's notifications on a fixed set of subjects, each as "subject policy
// server kind". A load of the sentinel subject (which always notifies) marks the end of what a
// test step published: the publisher delivers in order, so nothing published before it can
// still be on its way.
class CRecordingObserver : public CObserverNoticeCallback {
  public:
    std::vector<CSubjectID> GetSubjectIDVector() const override {
        return {CSubjectID(L"SUB_A"), CSubjectID(L"SUB_B"), CSubjectID(kSentinel)};
    }
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override {
        NS_CfgProtocol::CNotification n;
        const bool ours = NS_CfgProtocol::ReadNotificationBody(body, n);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (subject.ToString() == kSentinel)
            ++m_sentinels;
        else
            m_seen.push_back(subject.ToString() + L" " + (ours ? n.policy.ToString() : L"?") +
                             L" " + n.server + L" " + std::to_wstring(ours ? n.changeKind : -1));
        m_cv.notify_all();
    }
    // Publishes the sentinel through `agent` and hands out what arrived before it, sorted.
    Texts TakeUntilSentinel(CCfgAgent& agent) {
        CVirusScan sentinel(kSentinel);
        EXPECT_TRUE(agent.LoadConfigurationSettings(kServer, kPolicy, sentinel, nullptr));
        std::unique_lock<std::mutex> lock(m_mutex);
        const int want = ++m_expected;
        // Bounded: a sentinel published under the wrong key never arrives.
        EXPECT_TRUE(
            m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_sentinels >= want; }));
        Texts out;
        out.swap(m_seen);
        return out;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    Texts m_seen;
    int m_sentinels = 0;
    int m_expected = 0;
};

}  // namespace

// A home with the sample schema, a registry of its own and a runtime folder of its own.
class AgentEndToEnd : public ::testing::Test {
  protected:
    AgentEndToEnd() { testsupport::CreateSampleHome(m_tmp / "home"); }
    // A service `component` on the home `home`, serving `server`.
    std::unique_ptr<CCfgControl> StartService(const wchar_t* component = L"ID_ZOLT_MASTER",
                                              const char* home = "home",
                                              const x_wstring& server = kServer) {
        const x_wstring connection =
            x_wstring::FromUtf8((m_tmp / home / "config" / "dbconf_Conf.xml").string());
        return std::make_unique<CCfgControl>(component, new CCfgLocalServerDB(connection, {server}),
                                             false);
    }

    testsupport::CTempDir m_tmp{"zoltcfg-agent-e2e"};
    testsupport::CScopedEnv m_registry{"ZOLTCFG_REGISTRY", (m_tmp / "registry").string()};
    testsupport::CScopedEnv m_home{"ZOLTCFG_HOME", (m_tmp / "home").string()};
    CRuntimeDir m_runtime;
};

TEST_F(AgentEndToEnd, ApplyAllQueryAllBatchesAndWhatObserversHearOfEachOperation) {
    auto service = StartService();
    CRecordingObserver observer;
    CObserverServerHelper helper(CComponentID(L"ID_TEST_AGENT_OBSERVER"));
    helper.Subscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
    CCfgAgent loud;
    CCfgAgent quiet(L"ID_ZOLT_MASTER", false);

    // A quiet modify writes without a word; a loud one is heard.
    const CSubjectID quietPolicy(L"ZOLT_PLC_QUIET");
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, quietPolicy, Scan(L"SUB_A", 1, L"q"),
                                                  nullptr, kNoAction));
    EXPECT_TRUE(loud.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_A", 2, L"q"), nullptr,
                                                 kNoAction));
    EXPECT_EQ(observer.TakeUntilSentinel(loud), Texts{L"SUB_A ZOLT_PLC_P1 SRV 3"});
    CVirusScan quietRow(L"SUB_A");
    EXPECT_TRUE(quiet.QueryConfigurationSettings(kServer, quietPolicy, quietRow, nullptr));
    EXPECT_EQ(Read(quietRow), Row(L"1", L"q"));

    // Apply-all writes every stored setting of the category and follows the flag too, one
    // notification per row written; the column dump shows it: the column's name, the row count
    // and each row's value.
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_B", 3, L"q"),
                                                  nullptr, kNoAction));
    CCfgSettingApplyAll all(L"QV_VirusScan");
    all.AddFieldValue(x_wstring(L"VS_ACTION"), CVar(static_cast<short>(4)));
    all.ResetDirtyFlag(true);
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, all, nullptr));
    EXPECT_TRUE(observer.TakeUntilSentinel(loud).empty());
    EXPECT_TRUE(loud.ModifyConfigurationSettings(kServer, all, nullptr));
    auto seen = observer.TakeUntilSentinel(loud);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (Texts{L"SUB_A ZOLT_PLC_P1 SRV 3", L"SUB_A ZOLT_PLC_QUIET SRV 3",
                           L"SUB_B ZOLT_PLC_P1 SRV 3"}));
    CIPCMsgBuffer out, expected;
    EXPECT_TRUE(
        quiet.QueryConfigurationSettings(kServer, L"QV_VirusScan", {L"VS_ACTION"}, out, nullptr));
    expected << x_wstring(L"VS_ACTION") << 3u;
    for (int i = 0; i < 3; ++i)
        CCfgSettingCategoryBase::CVarToBuffer(CVar(static_cast<short>(4)), expected);
    EXPECT_EQ(Bytes(out), Bytes(expected));

    // A batch query of this service handed unchanged to another service's batch modify stores
    // the settings there (written although they come clean, as the action asks); a setting the
    // source cannot read is skipped on the way.
    testsupport::CreateSampleHome(m_tmp / "target");
    auto target = StartService(L"ID_TEST_TARGET", "target", L"TGT");
    CCfgAgent toTarget(L"ID_TEST_TARGET", false);
    CIPCMsgBuffer body, reply;
    ASSERT_TRUE(quiet.QueryBatchConfigurationSettings(
        kServer, kPolicy, L"SUB_A:QV_VirusScan;SUB_X:QV_NoSuchTable;SUB_B:QV_VirusScan", body,
        nullptr));
    const std::vector<unsigned char> queried = Bytes(body);
    const auto writeClean = CCfgSettingDBBase::MA_WRITE_CLEAN;
    EXPECT_TRUE(toTarget.ModifyBatchConfigurationSettings(L"TGT", -1, body, reply, nullptr,
                                                          writeClean, L"SRC", L"admin", ST_LOCAL));
    EXPECT_EQ(Bytes(body), queried);
    CIPCMsgBuffer replied;
    replied << 308 << 3 << 0 << 0;
    reply.Rewind();
    EXPECT_EQ(Bytes(reply), Bytes(replied));
    for (const wchar_t* subject : {L"SUB_A", L"SUB_B"}) {
        CVirusScan copy(subject), original(subject);
        ASSERT_TRUE(toTarget.QueryConfigurationSettings(L"TGT", kPolicy, copy, nullptr));
        ASSERT_TRUE(quiet.QueryConfigurationSettings(kServer, kPolicy, original, nullptr));
        EXPECT_EQ(Fields(copy), Fields(original));
    }
    // While the target's database is off line the modify answers -1 behind the count.
    CDBFaultInjector::LoseAllConnections();
    CIPCMsgBuffer again = CIPCMsgBuffer::FromBytes(queried.data(), queried.size());
    EXPECT_FALSE(toTarget.ModifyBatchConfigurationSettings(L"TGT", -1, again, reply, nullptr,
                                                           writeClean, L"SRC", L"admin", ST_LOCAL));
    CDBFaultInjector::Reset();
    CVirusScan after(L"SUB_A");  // each lost connection comes back at its next use
    EXPECT_TRUE(toTarget.QueryConfigurationSettings(L"TGT", kPolicy, after, nullptr));
    EXPECT_TRUE(quiet.QueryConfigurationSettings(kServer, kPolicy, after, nullptr));

    // Reset, delete, load and unload notify whatever the flag; load and unload change nothing.
    CVirusScan b(L"SUB_B");
    EXPECT_TRUE(quiet.UnloadConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_TRUE(quiet.LoadConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_TRUE(Read(b).empty());
    EXPECT_TRUE(quiet.DelConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_EQ(observer.TakeUntilSentinel(loud),
              (Texts{L"SUB_B ZOLT_PLC_P1 SRV 6", L"SUB_B ZOLT_PLC_P1 SRV 5",
                     L"SUB_B ZOLT_PLC_P1 SRV 4"}));
    helper.Unsubscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
}

TEST_F(AgentEndToEnd, EveryAcknowledgedModifySurvivesTheDaemonBeingKilled) {
    const fs::path bin = ZOLT_TEST_BINARY_DIR, home = m_tmp / "daemon-home",
                   runtime = m_runtime.Dir().Path();
    std::optional<testsupport::CDaemonProcess> daemon(std::in_place, bin, home, runtime);
    ASSERT_TRUE(daemon->Ready()) << "zoltcfgd did not start";

    // The daemon serves this machine's names; "localhost" is always one of them.
    const x_wstring server = L"localhost";
    CCfgAgent agent;
    constexpr int kHandOff = 25;
    std::promise<void> handOff;
    std::vector<int> acknowledged;
    std::thread writer([&] {
        for (int i = 0;; ++i) {
            try {
                const CVirusScan s =
                    Scan(L"SUB_" + std::to_wstring(i), 1000 + i, L"q" + std::to_wstring(i));
                if (!agent.ModifyConfigurationSettings(server, kPolicy, s, nullptr, kNoAction)) {
                    ADD_FAILURE() << "modify " << i << " refused";
                    break;
                }
            } catch (const CRPCException&) {
                break;  // the daemon is gone
            }
            acknowledged.push_back(i);
            if (i + 1 == kHandOff) handOff.set_value();
        }
        // Stopped early (a failure reported above): do not leave the main thread waiting.
        if (acknowledged.size() < static_cast<size_t>(kHandOff)) handOff.set_value();
        CRPCClientHelper::CloseThreadConnections();
    });
    handOff.get_future().wait();
    EXPECT_EQ(daemon->Stop(SIGKILL), 128 + SIGKILL);
    writer.join();
    ASSERT_GE(acknowledged.size(), static_cast<size_t>(kHandOff));

    daemon.emplace(bin, home, runtime);
    ASSERT_TRUE(daemon->Ready()) << "zoltcfgd did not restart";
    for (int i : acknowledged) {
        CVirusScan s(L"SUB_" + std::to_wstring(i));
        ASSERT_TRUE(agent.QueryConfigurationSettings(server, kPolicy, s, nullptr)) << i;
        EXPECT_EQ(Read(s), Row(std::to_wstring(1000 + i), L"q" + std::to_wstring(i))) << i;
    }
    EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

class AgentConcurrency : public AgentEndToEnd {};

TEST_F(AgentConcurrency, OneAgentServesSeveralThreadsAtOnce) {
    auto service = StartService();
    CCfgAgent agent;
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const x_wstring subject = L"SUB_T" + std::to_wstring(t);
            for (int r = 0; r < 10; ++r) {
                const int value = t * 1000 + r;
                if (!agent.ModifyConfigurationSettings(
                        kServer, kPolicy, Scan(subject, value, subject), nullptr, kNoAction))
                    ++failures[t];
                CVirusScan s(subject);
                if (!agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr) ||
                    Read(s) != Row(std::to_wstring(value), subject))
                    ++failures[t];
            }
            CRPCClientHelper::CloseThreadConnections();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}
