// The daemon as a user starts it: a fresh home is created, the service answers on the runtime
// folder (and a dump by the command-line tool of what other programs stored loads back), a
// second instance is refused with exit code 1, SIGTERM stops it cleanly, and a schema error
// stops the start with one sentence.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cfg_Client.h"
#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/HomeDir.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/Bytes.h"
#include "tests/support/FreePort.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCerts.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDaemon = fs::path(ZOLT_TEST_BINARY_DIR) / "zoltcfgd";
const fs::path kCli = fs::path(ZOLT_TEST_BINARY_DIR) / "zoltcfg";

// A started daemon with its standard output and error as pipes.
struct CChild {
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
};

CChild Start(const std::vector<std::string>& args, const fs::path& program = kDaemon) {
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
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
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

std::string ReadRest(FILE* f) {
    std::string all, line;
    while (!(line = ReadLine(f)).empty()) all += line;
    return all;
}

// Writes an int32 field of QV_VirusScan under `policy` and `subject` as any program could,
// through an agent, without the checks of the command-line tool.
void WriteThroughAgent(const std::string& policy, const std::string& subject) {
    auto wide = [](const std::string& s) { return OS::x_wstring::FromUtf8(s); };
    CCfgAgent agent(L"ID_ZOLT_MASTER", true);
    CCfgSettingCategoryFake setting(L"QV_VirusScan");
    setting.SetSubjectID(wide(subject));
    setting.AddFieldValue(L"VS_MAX_SIZE", CVar(7));
    EXPECT_TRUE(agent.ModifyConfigurationSettings(L"localhost", CSubjectID(wide(policy)), setting,
                                                  nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS))
        << policy << ":" << subject;
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
    if (!fs::exists(kDaemon) || !fs::exists(kCli)) GTEST_SKIP() << "zoltcfgd or zoltcfg not built";
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

        // Keys another program may store that no dump file can name: the dump leaves them out,
        // says so, and what it writes loads back.
        WriteThroughAgent("ZOLT_PLC_NULL", "ZOLT_SUB:COLON");
        WriteThroughAgent("", "S_NO_POLICY");
        WriteThroughAgent("P1", "S_GOOD");
        CRPCClientHelper::CloseThreadConnections();
        testsupport::CScopedEnv cliHome("ZOLTCFG_HOME", home.string());
        const std::string file = (tmp / "dump.json").string();
        CChild dump = Start({"dump", file}, kCli);
        const std::string said = ReadRest(dump.err);
        EXPECT_EQ(Wait(dump), 1);
        EXPECT_NE(said.find("left out of the dump: QV_VirusScan \"ZOLT_PLC_NULL:ZOLT_SUB:COLON\""),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find("left out of the dump: QV_VirusScan \":S_NO_POLICY\""),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find("leaves out 2 stored settings"), std::string::npos) << said;
        CChild load = Start({"load", file}, kCli);
        EXPECT_EQ(ReadLine(load.out), "loaded 1 setting of 1 category into localhost\n");
        EXPECT_EQ(ReadRest(load.err), "");
        EXPECT_EQ(Wait(load), 0);
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

    // A column listed twice (the database ignores letter case) stops the start, in one sentence.
    std::string schema = testsupport::kSampleSchemaXml;
    const std::string column = "<column name=\"VS_MAX_SIZE\"";
    ASSERT_NE(schema.find(column), std::string::npos);
    schema.insert(schema.find(column), "<column name=\"vs_max_size\" type=\"bool\"/>");
    testsupport::WriteFile(home / "config" / "dbSchema_Conf.xml", schema);
    CChild refused = Start(args);
    EXPECT_EQ(ReadLine(refused.err), "zoltcfgd: not starting: Schema file \"" +
                                         (home / "config" / "dbSchema_Conf.xml").string() +
                                         "\": table QV_VirusScan, column VS_MAX_SIZE: listed "
                                         "twice (also as vs_max_size)\n");
    EXPECT_EQ(Wait(refused), 1);

    // A database server that cannot be reached stops the start in one sentence as well.
    testsupport::WriteFile(home / "config" / "dbSchema_Conf.xml", testsupport::kSampleSchemaXml);
    testsupport::WriteFile(home / "config" / "dbconf_Conf.xml",
                           "<connection provider=\"postgresql\"><server connect=\"host=/none "
                           "dbname=cfg password=secret\"/></connection>");
    CChild noServer = Start(args);
    const std::string said = ReadLine(noServer.err);  // never the password
    EXPECT_EQ(said.rfind("zoltcfgd: not starting: Cannot connect to the PostgreSQL database "
                         "/none:5432/cfg: the server cannot be reached (check host and port, and "
                         "that it runs) (",
                         0),
              0u);
    EXPECT_EQ(said.find("secret"), std::string::npos);
    EXPECT_EQ(Wait(noServer), 1);
}

// A second daemon standing for another server, reached over mutual TLS: its remote service
// relays a modify and a query to its master, answers its product values (the version check
// reads 12.0 and patch build 1500 there, against 1400 here). Certificate, key and CA come from
// its registry's "Remote" values, listen address and allowed names from options.
TEST(Zoltcfgd, ServesAnotherServerOverMutualTls) {
    if (!fs::exists(kDaemon)) GTEST_SKIP() << "zoltcfgd not built";
    testsupport::CTempDir tmp("zoltcfgd-tls");
    const std::string port = std::to_string(testsupport::FreeTcpPort());
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_ZOLT_REMOTE_CFG", port);
    const auto node = testsupport::TlsNode("server");
    const std::string key = "[HKEY_LOCAL_MACHINE\\" + OS::x_wstring(OS::kProductRegKey).ToUtf8();
    testsupport::WriteFile(tmp / "other-registry",
                           key + "]\n\"Version\"=\"12.0\"\n\"PatchBuild\"=\"1500\"\n" + key +
                               "\\Remote]\n\"Certificate\"=\"" + node.certFile +
                               "\"\n\"PrivateKey\"=\"" + node.keyFile + "\"\n\"CAFile\"=\"" +
                               node.caFile + "\"\n");
    testsupport::WriteFile(tmp / "registry", key + "]\n\"PatchBuild\"=\"1400\"\n");
    CChild daemon = [&] {
        testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "other-registry").string());
        return Start({"--home", (tmp / "home").string(), "--runtime-dir", (tmp / "run").string(),
                      "--remote-listen", "127.0.0.2:" + port, "--tls-allow", "client"});
    }();
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    ReadLine(daemon.out);
    EXPECT_EQ(ReadLine(daemon.out),
              "zoltcfgd: serving ID_ZOLT_REMOTE_CFG at tls:127.0.0.2:" + port + "\n");
    {
        testsupport::CScopedTls tls;
        CCfgAgent agent(L"ID_ZOLT_REMOTE_CFG");
        CCfgSettingCategoryFake written(L"QV_VirusScan"), read(L"QV_VirusScan");
        written.SetSubjectID(L"ZOLT_SUB_CFG_VS_RS");
        read.SetSubjectID(L"ZOLT_SUB_CFG_VS_RS");
        written.AddFieldValue(L"VS_MAX_SIZE", CVar(4096));
        EXPECT_TRUE(agent.ModifyConfigurationSettings(L"localhost", CSubjectID(L"P1"), written,
                                                      L"127.0.0.2",
                                                      CCfgSettingDBBase::MA_NO_IGNORE_FIELDS));
        EXPECT_TRUE(
            agent.QueryConfigurationSettings(L"localhost", CSubjectID(L"P1"), read, L"127.0.0.2"));
        CVar size;
        EXPECT_TRUE(read.GetFieldValue(L"VS_MAX_SIZE", size) && size == CVar(4096));

        DBG::CCaptureLog log;
        CIPCMsgBuffer settings, reply;
        settings << 0;
        EXPECT_FALSE(agent.ModifyBatchConfigurationSettings(
            L"127.0.0.2", 0, settings, reply, L"127.0.0.2", CCfgSettingDBBase::MA_NONE,
            L"localhost", L"admin", ST_POLICY_DEPLOYMENT));
        EXPECT_TRUE(
            log.Contains(L"Source Server:127.0.0.2, version:12.0, PatchBuild:1500 does "
                         L"not match current server.",
                         DBG::LVL_INFO));
    }
    kill(daemon.pid, SIGTERM);
    EXPECT_EQ(ReadLine(daemon.out), "zoltcfgd: stopped\n");
    EXPECT_EQ(Wait(daemon), 0);
}

// Two nodes over mutual TLS: NODEA's remote service synchronises VS1's "data" folder onto
// NODEB's export of VS1 (mounted under NODEA's NodeShareRoot); NODEB's remote service then lists
// the copy. Names, sizes, contents and empty folders equal the source; a second sync rewrites
// nothing that is not newer.
TEST(Zoltcfgd, SynchronisesAFolderToTheOtherNodeOverMutualTls) {
    if (!fs::exists(kDaemon)) GTEST_SKIP() << "zoltcfgd not built";
    testsupport::CTempDir tmp("zoltcfgd-sync");
    const std::string port = std::to_string(testsupport::FreeTcpPort());
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_ZOLT_REMOTE_CFG", port);
    const auto node = testsupport::TlsNode("server");
    const fs::path src = tmp / "a-vs1", exportB = tmp / "a-nodes" / "NODEB" / "VS1";
    auto startNode = [&](const std::string& name, const fs::path& root, const std::string& at) {
        const std::string key =
            "[HKEY_LOCAL_MACHINE\\" + OS::x_wstring(OS::kProductRegKey).ToUtf8();
        testsupport::WriteFile(tmp / (name + "-registry"),
                               key + "\\Remote]\n\"Certificate\"=\"" + node.certFile +
                                   "\"\n\"PrivateKey\"=\"" + node.keyFile + "\"\n\"CAFile\"=\"" +
                                   node.caFile + "\"\n" + key + "\\Cluster]\n\"NodeName\"=\"" +
                                   name + "\"\n\"NodeShareRoot\"=\"" + (tmp / "a-nodes").string() +
                                   "\"\n" + key +
                                   "\\Cluster\\VirtualServers\\VS1]\n\"RootFolder\"=\"" +
                                   root.string() + "\"\n\"Nodes\"=\"NODEA;NODEB\"\n");
        testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / (name + "-registry")).string());
        CChild c = Start({"--home", (tmp / (name + "-home")).string(), "--runtime-dir",
                          (tmp / (name + "-run")).string(), "--remote-listen", at + ":" + port});
        ReadLine(c.out);
        EXPECT_EQ(ReadLine(c.out),
                  "zoltcfgd: serving ID_ZOLT_REMOTE_CFG at tls:" + at + ":" + port + "\n");
        return c;
    };
    testsupport::WriteFile(src / "data" / "a.txt", "alpha");
    testsupport::WriteFile(src / "data" / "sub" / "b.bin", std::string(70000, 'b'));
    fs::create_directories(src / "data" / "empty");
    testsupport::WriteFile(exportB / "data" / "gone.txt", "not in the source");
    CChild a = startNode("NODEA", src, "127.0.0.2"), b = startNode("NODEB", exportB, "127.0.0.3");
    {
        testsupport::CScopedTls tls;
        CClusterVirtualServerInfo info;
        info.m_strName = L"VS1";
        info.m_strRootFolder = OS::x_wstring::FromUtf8(src.string());
        info.SetNodes({L"NODEA", L"NODEB"});
        CIPCMsgBuffer sync, reply;
        sync << static_cast<int>(NS_CfgProtocol::kMsgSyncFolder) << info << OS::x_wstring(L"data");
        CRPCClientHelper(CComponentID(L"ID_ZOLT_REMOTE_CFG"), L"127.0.0.2")
            .SendRequest(sync, reply);
        EXPECT_EQ(testsupport::Bytes(reply), testsupport::Bytes(CIPCMsgBuffer() << 336 << 0));
        // What NODEB serves of its copy, sorted: the two entries of the top folder.
        CIPCMsgBuffer list, listed;
        list << static_cast<int>(NS_CfgProtocol::kMsgEnumFile)
             << OS::x_wstring::FromUtf8((exportB / "data").string());
        CRPCClientHelper(CComponentID(L"ID_ZOLT_REMOTE_CFG"), L"127.0.0.3")
            .SendRequest(list, listed);
        const auto copy = [&](const char* p) {
            return OS::x_wstring::FromUtf8((exportB / "data" / p).string());
        };
        EXPECT_EQ(testsupport::Bytes(listed),
                  testsupport::Bytes(
                      CIPCMsgBuffer()
                      << 330
                      << std::vector<OS::x_wstring>{copy("a.txt"), copy("empty"), copy("sub")}
                      << 0));
        EXPECT_EQ(testsupport::ReadFile(exportB / "data" / "sub" / "b.bin"),
                  std::string(70000, 'b'));
        EXPECT_TRUE(fs::is_empty(exportB / "data" / "empty"));
        struct stat before {
        }, after{};
        stat((exportB / "data" / "sub" / "b.bin").c_str(), &before);
        CRPCClientHelper(CComponentID(L"ID_ZOLT_REMOTE_CFG"), L"127.0.0.2")
            .SendRequest(sync, reply);
        stat((exportB / "data" / "sub" / "b.bin").c_str(), &after);
        EXPECT_EQ(before.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
        EXPECT_EQ(before.st_ino, after.st_ino);
    }
    for (CChild* c : {&a, &b}) {
        kill(c->pid, SIGTERM);
        EXPECT_EQ(Wait(*c), 0);
    }
}
