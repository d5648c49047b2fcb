// The daemon as a user starts it: a fresh home is created, the service answers on the runtime
// folder, a second instance is refused with exit code 1, SIGTERM stops it cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDaemon = fs::path(ZOLT_TEST_BINARY_DIR) / "zoltcfgd";

// A started daemon with its standard output and error as pipes.
struct CChild {
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
};

CChild Start(const std::vector<std::string>& args) {
    int outPipe[2], errPipe[2];
    EXPECT_EQ(pipe(outPipe), 0);
    EXPECT_EQ(pipe(errPipe), 0);
    CChild c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv{const_cast<char*>(kDaemon.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kDaemon.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    c.out = fdopen(outPipe[0], "r");
    c.err = fdopen(errPipe[0], "r");
    return c;
}

std::string ReadLine(FILE* f) {
    char line[1024] = {};
    if (!fgets(line, sizeof line, f)) return "";
    return line;
}

int Wait(CChild& c) {
    int status = 0;
    waitpid(c.pid, &status, 0);
    fclose(c.out);
    fclose(c.err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(Zoltcfgd, CreatesItsHomeServesRefusesASecondInstanceAndStopsOnSigterm) {
    if (!fs::exists(kDaemon)) GTEST_SKIP() << "zoltcfgd is not built";
    testsupport::CTempDir tmp("zoltcfgd-test");
    const fs::path home = tmp / "home";
    const fs::path runtime = tmp / "run";
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    const std::vector<std::string> args{"--home", home.string(), "--runtime-dir", runtime.string()};

    CChild daemon = Start(args);
    const std::string socket = (runtime / "ID_ZOLT_MASTER.rpc").string();
    EXPECT_EQ(ReadLine(daemon.out),
              "zoltcfgd: serving ID_ZOLT_MASTER at " + socket + " (home " + home.string() + ")\n");
    EXPECT_TRUE(fs::exists(home / "config" / "dbconf_Conf.xml"));
    EXPECT_EQ(testsupport::ReadFile(home / "config" / "dbSchema_Conf.xml"),
              testsupport::kSampleSchemaXml);
    EXPECT_TRUE(fs::exists(home / "data" / "config.db"));
    EXPECT_TRUE(fs::exists(home / "log" / "zoltcfgd.log"));

    {
        testsupport::CScopedEnv rt("ZOLTCFG_RUNTIME_DIR", runtime.string());
        CIPCMsgBuffer request, reply;
        NS_CfgProtocol::WriteDBStatusRequest(request);
        CRPCClientHelper(CComponentID(L"ID_ZOLT_MASTER"), nullptr).SendRequest(request, reply);
        bool up = false;
        EXPECT_TRUE(NS_CfgProtocol::ReadDBStatusReply(reply, up));
        EXPECT_TRUE(up);
        CRPCClientHelper::CloseThreadConnections();
    }

    CChild second = Start(args);
    EXPECT_EQ(ReadLine(second.err), "zoltcfgd: ID_ZOLT_MASTER is already served at " + socket +
                                        " by another running zoltcfgd; not starting\n");
    EXPECT_EQ(Wait(second), 1);

    kill(daemon.pid, SIGTERM);
    EXPECT_EQ(ReadLine(daemon.out), "zoltcfgd: stopped\n");
    EXPECT_EQ(Wait(daemon), 0);
    EXPECT_FALSE(fs::exists(socket));

    // A restart on the same home keeps its files and serves again; SIGINT stops it as well.
    CChild again = Start(args);
    EXPECT_EQ(ReadLine(again.out).rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0), 0u);
    kill(again.pid, SIGINT);
    EXPECT_EQ(Wait(again), 0);
}
