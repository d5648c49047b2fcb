// The proxy between processes: the service runs in zoltcfgd, another process writes through
// its agent, and this process's proxy hears of it and reads the new value; after the daemon
// restarts, the next read gives what is stored now.
#include <gtest/gtest.h>

#include <optional>

#include "client/cfg_Proxy.h"
#include "tests/client/ProxyTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace fs = std::filesystem;
using namespace proxytest;
using testsupport::CChildProcess;

namespace {

const fs::path kBin = ZOLT_TEST_BINARY_DIR;

// Writes VS_MAX_SIZE of (localhost, ZOLT_PLC_NULL, ZOLT_SUB_CFG_VS_RS) in another process.
int WriteInAnotherProcess(int value) {
    return CChildProcess(kBin / "zolt_proxy_writer",
                         {"localhost", "ZOLT_PLC_NULL", "ZOLT_SUB_CFG_VS_RS", "VS_MAX_SIZE",
                          std::to_string(value)})
        .Stop();
}

int ReadMaxSize(CCfgProxy& proxy) {
    CVirusScan s;
    return proxy.GetConfigurationSettings(L"localhost", CSubjectID(L"ZOLT_PLC_NULL"), s)
               ? s.MaxSize()
               : -100;
}

TEST(ProxyProcesses, AnotherProcesssWriteReachesTheHooksAndTheNextRead) {
    testsupport::CTempDir tmp("zoltcfg-proxy-proc");
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (tmp / "home").string());
    testsupport::CScopedEnv runtime("ZOLTCFG_RUNTIME_DIR", (tmp / "run").string());
    std::optional<testsupport::CDaemonProcess> daemon(std::in_place, kBin, tmp / "home",
                                                      tmp / "run");
    ASSERT_TRUE(daemon->Ready());

    ASSERT_EQ(WriteInAnotherProcess(111), 0);
    {
        CRecordingHook hook;
        CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
        proxy.Hook(hook);
        EXPECT_EQ(ReadMaxSize(proxy), 111);

        hook.Expect(1);
        ASSERT_EQ(WriteInAnotherProcess(222), 0);
        ASSERT_TRUE(hook.Wait());
        EXPECT_EQ(hook.Calls(),
                  (std::vector<CCall>{{L"localhost", L"ZOLT_PLC_NULL", L"ZOLT_SUB_CFG_VS_RS", 3}}));
        EXPECT_EQ(ReadMaxSize(proxy), 222);

        // The daemon restarts and the setting changes before the proxy is connected again (or
        // just after): the next read gives the stored value, never the cached one.
        EXPECT_EQ(daemon->Stop(SIGTERM), 0);
        daemon.emplace(kBin, tmp / "home", tmp / "run");
        ASSERT_TRUE(daemon->Ready());
        ASSERT_EQ(WriteInAnotherProcess(333), 0);
        EXPECT_EQ(ReadMaxSize(proxy), 333);
    }
    CRPCClientHelper::CloseThreadConnections();
    EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

}  // namespace
