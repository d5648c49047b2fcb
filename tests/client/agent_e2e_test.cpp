// The agent against a real service: a CCfgControl in this process on a sample home's SQLite
// database (query, modify with and without notification, delete, reset, apply-all, query-all,
// load, unload, database status, a service that goes away and comes back), and the daemon
// killed in the middle of a stream of modifies, after which every acknowledged modify is there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CObserverServerHelper.h"
#include "outside/rpc/CRPCException.h"
#include "service/cfg_RequestProtocol.h"
#include "service/cfg_VirtualServerDB.h"
#include "tests/client/AgentTestSupport.h"

namespace fs = std::filesystem;
using namespace agenttest;
using OS::x_wstring;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;

namespace {

const x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kNoAction = CCfgSettingDBBase::MA_NONE;
const wchar_t kSentinel[] = L"ZOLT_SUB_TEST_SENTINEL";

// What a stored virus-scan row reads back as, by default, with the given fields changed. The
// row's date column is left out (see Read).
Fieldset Row(const Fieldset& changed) {
    Fieldset row = {{L"CFG_DEFAULT_INSTANCE", L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_DEFAULT"},
                    {L"CFG_IGNORE_FIELDS", L""},
                    {L"VS_ACTION", L"1"},
                    {L"VS_ENABLE_VIRUSSCAN", L"True"},
                    {L"VS_EXCLUDED_EXTENSIONS", L""},
                    {L"VS_MAX_SIZE", L"10240"},
                    {L"VS_QUARANTINE_FOLDER", L"quarantine"},
                    {L"VS_SCAN_ARCHIVES", L"True"}};
    for (const auto& [name, value] : changed)
        for (auto& field : row)
            if (field.first == name) field.second = value;
    return row;
}

// The fields of a setting read from the service, without VS_LAST_UPDATE: a row the store adds
// itself reads that column back in the text form of the schema's default, a row written through
// a modify in the date form, which is the store's matter, not the agent's.
Fieldset Read(const CCfgSettingCategoryBase& setting) {
    Fieldset out;
    for (auto& field : Fields(setting))
        if (field.first != L"VS_LAST_UPDATE") out.push_back(field);
    return out;
}

CVirusScan Scan(const x_wstring& subject, int maxSize, const x_wstring& folder) {
    CVirusScan s(subject);
    s.AddFieldValue(kMaxSize, maxSize);
    s.AddFieldValue(kFolder, folder);
    s.ResetDirtyFlag(true);
    return s;
}

// A home with the sample schema, a registry of its own and a runtime folder of its own.
class CTestHome {
  public:
    CTestHome()
        : m_tmp("zoltcfg-agent-e2e"),
          m_registry("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()),
          m_home("ZOLTCFG_HOME", (m_tmp / "home").string()) {
        testsupport::CreateSampleHome(m_tmp / "home");
    }
    x_wstring ConnectionFile() const {
        return x_wstring::FromUtf8((m_tmp / "home" / "config" / "dbconf_Conf.xml").string());
    }
    fs::path Path() const { return m_tmp.Path(); }

  private:
    testsupport::CTempDir m_tmp;
    testsupport::CScopedEnv m_registry;
    testsupport::CScopedEnv m_home;
};

// The master service on the test home, serving the server "SRV".
std::unique_ptr<CCfgControl> StartService(const CTestHome& home) {
    return std::make_unique<CCfgControl>(
        L"ID_ZOLT_MASTER", new CCfgLocalServerDB(home.ConnectionFile(), {kServer}), false);
}

// One received notification, decoded.
struct CSeen {
    x_wstring subject;
    x_wstring policy;
    x_wstring server;
    int kind;
    bool operator==(const CSeen& o) const {
        return subject == o.subject && policy == o.policy && server == o.server && kind == o.kind;
    }
};

std::ostream& operator<<(std::ostream& os, const CSeen& s) {
    return os << s.subject.ToUtf8() << "/" << s.policy.ToUtf8() << "/" << s.server.ToUtf8() << "/"
              << s.kind;
}

// Observes the master's notifications on a fixed set of subjects. A load of the sentinel
// subject (which always notifies) marks the end of what a test step published: the publisher
// delivers in order, so nothing published before it can still be on its way.
class CRecordingObserver : public CObserverNoticeCallback {
  public:
    std::vector<CSubjectID> GetSubjectIDVector() const override {
        std::vector<CSubjectID> v;
        for (const wchar_t* s : {L"SUB_A", L"SUB_B", kSentinel}) v.emplace_back(s);
        return v;
    }
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override {
        NS_CfgProtocol::CNotification n;
        const bool ours = NS_CfgProtocol::ReadNotificationBody(body, n);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (subject.ToString() == kSentinel) {
            ++m_sentinels;
        } else {
            m_seen.push_back(CSeen{subject.ToString(), ours ? n.policy.ToString() : L"?", n.server,
                                   ours ? n.changeKind : -1});
        }
        m_cv.notify_all();
    }
    // Publishes the sentinel through `agent` and hands out what arrived before it.
    std::vector<CSeen> TakeUntilSentinel(CCfgAgent& agent) {
        CVirusScan sentinel(kSentinel);
        EXPECT_TRUE(agent.LoadConfigurationSettings(kServer, kPolicy, sentinel, nullptr));
        std::unique_lock<std::mutex> lock(m_mutex);
        const int want = ++m_expected;
        m_cv.wait(lock, [&] { return m_sentinels >= want; });
        std::vector<CSeen> out;
        out.swap(m_seen);
        return out;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CSeen> m_seen;
    int m_sentinels = 0;
    int m_expected = 0;
};

}  // namespace

class AgentEndToEnd : public ::testing::Test {
  protected:
    CTestHome m_home;
    CRuntimeDir m_runtime;
};

TEST_F(AgentEndToEnd, QueryModifyResetAndDeleteReachTheDatabase) {
    auto service = StartService(m_home);
    CCfgAgent agent;

    // Nothing stored yet: the existence query fails and leaves the caller's setting alone; the
    // plain query gives the database defaults (the store adds the row).
    CVirusScan missing(L"SUB_A");
    missing.AddFieldValue(kAction, static_cast<short>(9));
    EXPECT_FALSE(agent.QueryExistConfigurationSettings(kServer, kPolicy, missing, nullptr));
    EXPECT_EQ(Read(missing), (Fieldset{{L"VS_ACTION", L"9"}}));
    CVirusScan fresh(L"SUB_A");
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, fresh, nullptr));
    EXPECT_EQ(Read(fresh), Row({}));
    EXPECT_TRUE(agent.QueryExistConfigurationSettings(kServer, kPolicy, missing, nullptr));
    EXPECT_EQ(Read(missing), Row({}));

    // The defaults row, then a setting of its own.
    const CVirusScan defaults = Scan(L"ZOLT_SUB_CFG_VS_DEFAULT", 4096, L"default-q");
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, CSubjectID(L"ZOLT_PLC_NULL"), defaults,
                                                  nullptr, kNoAction));
    const CVirusScan a = Scan(L"SUB_A", 2048, L"q-A");
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, a, nullptr, kNoAction));

    CVirusScan read(L"SUB_A");
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, read, nullptr));
    EXPECT_EQ(Read(read), Row({{L"VS_MAX_SIZE", L"2048"}, {L"VS_QUARANTINE_FOLDER", L"q-A"}}));
    CVirusScan exist(L"SUB_A");
    EXPECT_TRUE(agent.QueryExistConfigurationSettings(kServer, kPolicy, exist, nullptr));
    EXPECT_EQ(Read(exist), Read(read));
    // Another policy subject is another key; a server the service does not keep has no store.
    CVirusScan other(L"SUB_A");
    EXPECT_FALSE(
        agent.QueryExistConfigurationSettings(kServer, CSubjectID(L"ZOLT_PLC_P2"), other, nullptr));
    EXPECT_FALSE(agent.QueryConfigurationSettings(L"ELSEWHERE", kPolicy, other, nullptr));
    EXPECT_TRUE(Read(other).empty());
    // A write for a server the service does not keep is refused.
    EXPECT_FALSE(agent.ModifyConfigurationSettings(L"ELSEWHERE", kPolicy, a, nullptr, kNoAction));

    // The bulk forms reach the same row.
    CVirusScan bulk = Scan(L"SUB_A", 3000, L"q-bulk");
    EXPECT_TRUE(agent.ModifyBulkConfigurationSettings(kServer, kPolicy, bulk, nullptr, kNoAction));
    CVirusScan bulkRead(L"SUB_A");
    EXPECT_TRUE(agent.QueryBulkConfigurationSettings(kServer, kPolicy, bulkRead, nullptr));
    EXPECT_EQ(Read(bulkRead),
              (Fieldset{{L"VS_MAX_SIZE", L"3000"}, {L"VS_QUARANTINE_FOLDER", L"q-bulk"}}));

    // Reset: the row takes the defaults row's values, and the caller's setting receives them.
    CVirusScan reset(L"SUB_A");
    EXPECT_TRUE(agent.ResetToDefault(kServer, kPolicy, reset, nullptr));
    const Fieldset defaultRow =
        Row({{L"VS_MAX_SIZE", L"4096"}, {L"VS_QUARANTINE_FOLDER", L"default-q"}});
    EXPECT_EQ(Read(reset), defaultRow);
    CVirusScan afterReset(L"SUB_A");
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, afterReset, nullptr));
    EXPECT_EQ(Read(afterReset), defaultRow);

    // Delete: gone for this key only.
    EXPECT_TRUE(agent.DelConfigurationSettings(kServer, kPolicy, a, nullptr));
    CVirusScan gone(L"SUB_A");
    EXPECT_FALSE(agent.QueryExistConfigurationSettings(kServer, kPolicy, gone, nullptr));
    CVirusScan stillThere(L"ZOLT_SUB_CFG_VS_DEFAULT");
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, CSubjectID(L"ZOLT_PLC_NULL"), stillThere,
                                                 nullptr));
    EXPECT_TRUE(agent.IsDBStatusOK());
}

TEST_F(AgentEndToEnd, ApplyAllWritesEveryStoredSettingAndQueryAllDumpsTheColumns) {
    auto service = StartService(m_home);
    CCfgAgent agent;
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_A", 1, L"qa"),
                                                  nullptr, kNoAction));
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_B", 2, L"qb"),
                                                  nullptr, kNoAction));

    CCfgSettingApplyAll all(L"QV_VirusScan");
    all.AddFieldValue(x_wstring(L"VS_QUARANTINE_FOLDER"), CVar(L"shared"));
    all.ResetDirtyFlag(true);
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, all, nullptr));
    for (const wchar_t* subject : {L"SUB_A", L"SUB_B"}) {
        CVirusScan s(subject);
        EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
        EXPECT_EQ(Read(s), Row({{L"VS_MAX_SIZE", subject == x_wstring(L"SUB_A") ? L"1" : L"2"},
                                {L"VS_QUARANTINE_FOLDER", L"shared"}}));
    }

    // The column dump: per named column, its name, the row count and each row's value.
    CIPCMsgBuffer out;
    EXPECT_TRUE(agent.QueryConfigurationSettings(
        kServer, L"QV_VirusScan", {L"VS_MAX_SIZE", L"VS_QUARANTINE_FOLDER"}, out, nullptr));
    CIPCMsgBuffer expected;
    expected << x_wstring(L"VS_MAX_SIZE") << 2u;
    CCfgSettingCategoryBase::CVarToBuffer(CVar(1), expected);
    CCfgSettingCategoryBase::CVarToBuffer(CVar(2), expected);
    expected << x_wstring(L"VS_QUARANTINE_FOLDER") << 2u;
    CCfgSettingCategoryBase::CVarToBuffer(CVar(L"shared"), expected);
    CCfgSettingCategoryBase::CVarToBuffer(CVar(L"shared"), expected);
    EXPECT_EQ(Bytes(out), Bytes(expected));

    // A category the schema does not know: the service says no, the agent reports false.
    CCfgSettingApplyAll unknown(L"QV_NoSuchCategory");
    unknown.AddFieldValue(x_wstring(L"X"), CVar(1));
    DBG::CCaptureLog log;
    EXPECT_FALSE(agent.ModifyConfigurationSettings(kServer, unknown, nullptr));
    EXPECT_EQ(
        AgentLines(log, DBG::LVL_ERROR),
        std::vector<x_wstring>{L"ModifyConfigurationSettings fail, reply msg=314, error code=-1"});
}

TEST_F(AgentEndToEnd, ObserversHearWhatTheNotifyFlagAndTheOperationSay) {
    auto service = StartService(m_home);
    CRecordingObserver observer;
    CObserverServerHelper helper(CComponentID(L"ID_TEST_AGENT_OBSERVER"));
    helper.Subscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
    CCfgAgent loud;
    CCfgAgent quiet(L"ID_ZOLT_MASTER", false);

    // A quiet modify writes without a word; a loud one is heard.
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, CSubjectID(L"ZOLT_PLC_QUIET"),
                                                  Scan(L"SUB_A", 1, L"q"), nullptr, kNoAction));
    EXPECT_TRUE(loud.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_A", 2, L"q"), nullptr,
                                                 kNoAction));
    EXPECT_EQ(observer.TakeUntilSentinel(loud),
              (std::vector<CSeen>{{L"SUB_A", L"ZOLT_PLC_P1", kServer, 3}}));
    CVirusScan quietRow(L"SUB_A");
    EXPECT_TRUE(quiet.QueryConfigurationSettings(kServer, CSubjectID(L"ZOLT_PLC_QUIET"), quietRow,
                                                 nullptr));
    EXPECT_EQ(Read(quietRow), Row({{L"VS_MAX_SIZE", L"1"}, {L"VS_QUARANTINE_FOLDER", L"q"}}));

    // Apply-all follows the flag too, one notification per row written.
    EXPECT_TRUE(loud.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_B", 3, L"q"), nullptr,
                                                 kNoAction));
    observer.TakeUntilSentinel(loud);
    CCfgSettingApplyAll all(L"QV_VirusScan");
    all.AddFieldValue(x_wstring(L"VS_ACTION"), CVar(static_cast<short>(4)));
    all.ResetDirtyFlag(true);
    EXPECT_TRUE(quiet.ModifyConfigurationSettings(kServer, all, nullptr));
    EXPECT_TRUE(observer.TakeUntilSentinel(loud).empty());
    auto heard = loud.ModifyConfigurationSettings(kServer, all, nullptr);
    EXPECT_TRUE(heard);
    auto seen = observer.TakeUntilSentinel(loud);
    std::sort(seen.begin(), seen.end(), [](const CSeen& x, const CSeen& y) {
        return std::tie(x.subject, x.policy) < std::tie(y.subject, y.policy);
    });
    EXPECT_EQ(seen, (std::vector<CSeen>{{L"SUB_A", L"ZOLT_PLC_P1", kServer, 3},
                                        {L"SUB_A", L"ZOLT_PLC_QUIET", kServer, 3},
                                        {L"SUB_B", L"ZOLT_PLC_P1", kServer, 3}}));

    // Reset, delete, load and unload notify whatever the flag; load and unload change nothing.
    CVirusScan b(L"SUB_B");
    EXPECT_TRUE(quiet.UnloadConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_TRUE(quiet.LoadConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_TRUE(Read(b).empty());
    EXPECT_TRUE(quiet.DelConfigurationSettings(kServer, kPolicy, b, nullptr));
    EXPECT_EQ(observer.TakeUntilSentinel(loud),
              (std::vector<CSeen>{{L"SUB_B", L"ZOLT_PLC_P1", kServer, 6},
                                  {L"SUB_B", L"ZOLT_PLC_P1", kServer, 5},
                                  {L"SUB_B", L"ZOLT_PLC_P1", kServer, 4}}));
    helper.Unsubscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
}

TEST_F(AgentEndToEnd, AnAgentOutlivesTheServiceGoingAwayAndComingBack) {
    CCfgAgent agent;
    auto service = StartService(m_home);
    EXPECT_TRUE(agent.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_A", 11, L"q"),
                                                  nullptr, kNoAction));
    service.reset();

    CVirusScan s(L"SUB_A");
    EXPECT_FALSE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_FALSE(agent.IsDBStatusOK());
    try {
        agent.ModifyConfigurationSettings(kServer, kPolicy, Scan(L"SUB_A", 12, L"q"), nullptr,
                                          kNoAction);
        ADD_FAILURE() << "no exception";
    } catch (const CRPCException& e) {
        EXPECT_EQ(e.GetErrorCode(), CRPCException::UNREACHABLE);
    }
    EXPECT_THROW(agent.DelConfigurationSettings(kServer, kPolicy, s, nullptr), CRPCException);

    service = StartService(m_home);
    EXPECT_TRUE(agent.IsDBStatusOK());
    EXPECT_TRUE(agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr));
    EXPECT_EQ(Read(s), Row({{L"VS_MAX_SIZE", L"11"}, {L"VS_QUARANTINE_FOLDER", L"q"}}));
}

// ---- the daemon ---------------------------------------------------------------------------

namespace {

const fs::path kDaemon = fs::path(ZOLT_TEST_BINARY_DIR) / "zoltcfgd";

// A started daemon; its standard output is a pipe, read for the ready line.
struct CDaemon {
    pid_t pid = -1;
    FILE* out = nullptr;
    bool ready = false;  // the ready line was read
};

CDaemon StartDaemon(const fs::path& home, const fs::path& runtime) {
    int outPipe[2];
    EXPECT_EQ(pipe(outPipe), 0);
    CDaemon d;
    d.pid = fork();
    if (d.pid == 0) {
        dup2(outPipe[1], 1);
        close(outPipe[0]);
        const std::string h = home.string(), r = runtime.string();
        execl(kDaemon.c_str(), kDaemon.c_str(), "--home", h.c_str(), "--runtime-dir", r.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    d.out = fdopen(outPipe[0], "r");
    // The daemon prints its ready line once the service answers.
    char line[1024] = {};
    d.ready = fgets(line, sizeof line, d.out) != nullptr &&
              std::string(line).rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0) == 0;
    return d;
}

int StopDaemon(CDaemon& d, int signal) {
    kill(d.pid, signal);
    int status = 0;
    waitpid(d.pid, &status, 0);
    fclose(d.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST_F(AgentEndToEnd, EveryAcknowledgedModifySurvivesTheDaemonBeingKilled) {
    if (!fs::exists(kDaemon)) GTEST_SKIP() << "zoltcfgd is not built";
    const fs::path home = m_home.Path() / "daemon-home";
    const fs::path runtime = m_runtime.Dir().Path();
    CDaemon daemon = StartDaemon(home, runtime);
    if (!daemon.ready) StopDaemon(daemon, SIGKILL);
    ASSERT_TRUE(daemon.ready) << "zoltcfgd did not start";

    // The daemon serves this machine's names; "localhost" is always one of them.
    const x_wstring server = L"localhost";
    CCfgAgent agent;
    constexpr int kHandOff = 25;
    std::promise<void> handOff;
    std::vector<int> acknowledged;
    std::thread writer([&] {
        bool handedOff = false;
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
            if (i + 1 == kHandOff) {
                handOff.set_value();
                handedOff = true;
            }
        }
        // Stopped early (a failure reported above): do not leave the main thread waiting.
        if (!handedOff) handOff.set_value();
        CRPCClientHelper::CloseThreadConnections();
    });
    handOff.get_future().wait();
    EXPECT_EQ(StopDaemon(daemon, SIGKILL), 128 + SIGKILL);
    writer.join();
    ASSERT_GE(acknowledged.size(), static_cast<size_t>(kHandOff));

    daemon = StartDaemon(home, runtime);
    if (!daemon.ready) StopDaemon(daemon, SIGKILL);
    ASSERT_TRUE(daemon.ready) << "zoltcfgd did not restart";
    for (int i : acknowledged) {
        CVirusScan s(L"SUB_" + std::to_wstring(i));
        ASSERT_TRUE(agent.QueryConfigurationSettings(server, kPolicy, s, nullptr)) << i;
        EXPECT_EQ(Read(s), Row({{L"VS_MAX_SIZE", std::to_wstring(1000 + i)},
                                {L"VS_QUARANTINE_FOLDER", L"q" + std::to_wstring(i)}}))
            << i;
    }
    EXPECT_EQ(StopDaemon(daemon, SIGTERM), 0);
}

TEST(AgentConcurrency, OneAgentServesSeveralThreadsAtOnce) {
    CTestHome home;
    CRuntimeDir runtime;
    auto service = StartService(home);
    CCfgAgent agent;
    constexpr int kThreads = 4;
    constexpr int kRounds = 10;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const x_wstring subject = L"SUB_T" + std::to_wstring(t);
            for (int r = 0; r < kRounds; ++r) {
                const int value = t * 1000 + r;
                if (!agent.ModifyConfigurationSettings(
                        kServer, kPolicy, Scan(subject, value, subject), nullptr, kNoAction))
                    ++failures[t];
                CVirusScan s(subject);
                if (!agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr) ||
                    Read(s) != Row({{L"VS_MAX_SIZE", std::to_wstring(value)},
                                    {L"VS_QUARANTINE_FOLDER", subject}}))
                    ++failures[t];
            }
            CRPCClientHelper::CloseThreadConnections();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}
