// The agent against the real daemon, killed in the middle of a stream of modifies: after the
// restart every acknowledged modify is there. (An agent keeps no state between calls; the proxy's
// concurrency test runs agent queries from several threads at once.)
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "cfg_Client.h"
#include "outside/rpc/CRPCException.h"
#include "tests/client/AgentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace agenttest;
using OS::x_wstring;
using Fieldset = std::vector<std::pair<x_wstring, x_wstring>>;

namespace {

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

// A temporary folder and a runtime folder of the test's own.
class AgentEndToEnd : public ::testing::Test {
  protected:
    testsupport::CTempDir m_tmp{"zoltcfg-agent-e2e"};
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
