// The proxy between processes: the service runs in zoltcfgd, another process writes through
// its agent, and this process's proxy hears of it and reads the new value; after the daemon
// restarts, the next read gives what is stored now.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/client/ProxyTestSupport.h"

namespace fs = std::filesystem;
using namespace proxytest;

namespace {

const fs::path kDaemon = fs::path(ZOLT_TEST_BINARY_DIR) / "zoltcfgd";
const fs::path kWriter = fs::path(ZOLT_TEST_BINARY_DIR) / "zolt_proxy_writer";

struct CChild {
    pid_t pid = -1;
    FILE* out = nullptr;
};

// Starts `program` with `args`, its standard output on a pipe (argv is built before fork).
CChild Start(const fs::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFd[2];
    EXPECT_EQ(pipe(pipeFd), 0);
    CChild c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(pipeFd[1], 1);
        close(pipeFd[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFd[1]);
    c.out = fdopen(pipeFd[0], "r");
    return c;
}

std::string ReadLine(FILE* f) {
    char line[1024] = {};
    return fgets(line, sizeof line, f) ? line : "";
}

int Wait(CChild& c) {
    int status = 0;
    waitpid(c.pid, &status, 0);
    fclose(c.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Writes VS_MAX_SIZE of (localhost, ZOLT_PLC_NULL, ZOLT_SUB_CFG_VS_RS) in another process.
int WriteInAnotherProcess(int value) {
    CChild writer = Start(kWriter, {"localhost", "ZOLT_PLC_NULL", "ZOLT_SUB_CFG_VS_RS",
                                    "VS_MAX_SIZE", std::to_string(value)});
    return Wait(writer);
}

class CDaemon {
  public:
    CDaemon(const fs::path& home, const fs::path& runtime)
        : m_args{"--home", home.string(), "--runtime-dir", runtime.string()} {}
    ~CDaemon() { Stop(); }
    bool Start() {
        m_child = ::Start(kDaemon, m_args);
        return ReadLine(m_child.out).rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0) == 0;
    }
    void Stop() {
        if (m_child.pid <= 0) return;
        kill(m_child.pid, SIGTERM);
        EXPECT_EQ(Wait(m_child), 0);
        m_child.pid = -1;
    }

  private:
    std::vector<std::string> m_args;
    CChild m_child;
};

TEST(ProxyProcesses, AnotherProcesssWriteReachesTheHooksAndTheNextRead) {
    ASSERT_TRUE(fs::exists(kDaemon)) << kDaemon;
    ASSERT_TRUE(fs::exists(kWriter)) << kWriter;
    testsupport::CTempDir tmp("zoltcfg-proxy-proc");
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (tmp / "home").string());
    testsupport::CScopedEnv runtime("ZOLTCFG_RUNTIME_DIR", (tmp / "run").string());
    CDaemon daemon(tmp / "home", tmp / "run");
    ASSERT_TRUE(daemon.Start());

    ASSERT_EQ(WriteInAnotherProcess(111), 0);
    {
        CCfgProxy proxy(CComponentID(L"ID_ZOLT_TEST_CLIENT"));
        CRecordingHook hook;
        proxy.Hook(hook);
        CVirusScan setting;
        ASSERT_TRUE(
            proxy.GetConfigurationSettings(L"localhost", CSubjectID(L"ZOLT_PLC_NULL"), setting));
        EXPECT_EQ(setting.MaxSize(), 111);

        hook.Expect(1);
        ASSERT_EQ(WriteInAnotherProcess(222), 0);
        ASSERT_TRUE(hook.Wait());
        EXPECT_EQ(
            hook.Calls(),
            (std::vector<CCall>{CCall{L"localhost", L"ZOLT_PLC_NULL", L"ZOLT_SUB_CFG_VS_RS", 3}}));
        CVirusScan after;
        ASSERT_TRUE(
            proxy.GetConfigurationSettings(L"localhost", CSubjectID(L"ZOLT_PLC_NULL"), after));
        EXPECT_EQ(after.MaxSize(), 222);

        // The daemon restarts and the setting changes before the proxy is connected again (or
        // just after): the next read gives the stored value, never the cached one.
        daemon.Stop();
        ASSERT_TRUE(daemon.Start());
        ASSERT_EQ(WriteInAnotherProcess(333), 0);
        CVirusScan restarted;
        ASSERT_TRUE(
            proxy.GetConfigurationSettings(L"localhost", CSubjectID(L"ZOLT_PLC_NULL"), restarted));
        EXPECT_EQ(restarted.MaxSize(), 333);
        proxy.Unhook(hook);
    }
    CRPCClientHelper::CloseThreadConnections();
    daemon.Stop();
}

}  // namespace
