// The agent against a real service: the daemon killed in the middle of a stream of modifies,
// after which every acknowledged modify is there, and one agent used by several threads at once
// against a CCfgControl in this process on a sample home's SQLite database.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/rpc/CRPCException.h"
#include "service/cfg_VirtualServerDB.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace agenttest;
using OS::x_wstring;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;

namespace {

const x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_P1");
const auto kNoAction = CCfgSettingDBBase::MA_NONE;

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

}  // namespace

// A home with the sample schema, a registry of its own and a runtime folder of its own.
class AgentEndToEnd : public ::testing::Test {
  protected:
    AgentEndToEnd() { testsupport::CreateSampleHome(m_tmp / "home"); }
    // The master service on the home, serving kServer.
    std::unique_ptr<CCfgControl> StartService() {
        const x_wstring connection =
            x_wstring::FromUtf8((m_tmp / "home" / "config" / "dbconf_Conf.xml").string());
        return std::make_unique<CCfgControl>(L"ID_ZOLT_MASTER",
                                             new CCfgLocalServerDB(connection, {kServer}), false);
    }

    testsupport::CTempDir m_tmp{"zoltcfg-agent-e2e"};
    testsupport::CScopedEnv m_registry{"ZOLTCFG_REGISTRY", (m_tmp / "registry").string()};
    testsupport::CScopedEnv m_home{"ZOLTCFG_HOME", (m_tmp / "home").string()};
    CRuntimeDir m_runtime;
};

TEST_F(AgentEndToEnd, EveryAcknowledgedModifySurvivesTheDaemonBeingKilled) {
    const fs::path dir = m_tmp / "daemon";
    std::optional<testsupport::CDaemon> daemon(std::in_place, dir);
    ASSERT_EQ(daemon->ReadyLine().rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0), 0u);

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

    daemon.emplace(dir);
    ASSERT_FALSE(daemon->ReadyLine().empty()) << "zoltcfgd did not restart";
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
