// The daemon as a user starts it: a fresh home is created, the service answers on the runtime
// folder (and a dump by the command-line tool of what other programs stored loads back), a
// second instance is refused with exit code 1, SIGTERM and SIGINT stop it cleanly, its log holds
// the lines of every request only when asked, and an unreachable database server stops the start
// with one sentence.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cfg_Client.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::string kDaemon = ZOLT_TEST_BINARY_DIR "/zoltcfgd";

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

}  // namespace

TEST(Zoltcfgd, CreatesItsHomeServesRefusesASecondInstanceAndStopsOnSignals) {
    if (!fs::exists(ZOLT_TEST_BINARY_DIR "/zoltcfg")) GTEST_SKIP() << "zoltcfg not built";
    testsupport::CTempDir tmp("zoltcfgd-test");
    const fs::path home = tmp / "home";
    const std::string socket = (tmp / "run" / "ID_ZOLT_MASTER.rpc").string();
    {
        testsupport::CDaemon daemon(tmp.Path());
        EXPECT_EQ(daemon.ReadyLine(), "zoltcfgd: serving ID_ZOLT_MASTER at " + socket + " (home " +
                                          home.string() + ")\n");
        EXPECT_TRUE(fs::exists(home / "config" / "dbconf_Conf.xml"));
        EXPECT_EQ(testsupport::ReadFile(home / "config" / "dbSchema_Conf.xml"),
                  testsupport::kSampleSchemaXml);
        EXPECT_TRUE(fs::exists(home / "data" / "config.db"));
        EXPECT_TRUE(fs::exists(home / "log" / "zoltcfgd.log"));

        EXPECT_TRUE(CCfgAgent(L"ID_ZOLT_MASTER", false).IsDBStatusOK());

        // Keys another program may store that no dump file can name: the dump leaves them out,
        // says so, and what it writes loads back.
        WriteThroughAgent("ZOLT_PLC_NULL", "ZOLT_SUB:COLON");
        WriteThroughAgent("", "S_NO_POLICY");
        WriteThroughAgent("P1", "S_GOOD");
        CRPCClientHelper::CloseThreadConnections();
        const std::string file = (tmp / "dump.json").string();
        const testsupport::CRun dump = daemon.Cli({"dump", file});
        EXPECT_EQ(dump.code, 1);
        for (const char* said :
             {"left out of the dump: QV_VirusScan \"ZOLT_PLC_NULL:ZOLT_SUB:COLON\"",
              "left out of the dump: QV_VirusScan \":S_NO_POLICY\"",
              "leaves out 2 stored settings"})
            EXPECT_NE(dump.err.find(said), std::string::npos) << dump.err;
        const testsupport::CRun load = daemon.Cli({"load", file});
        EXPECT_EQ(load.out, "loaded 1 setting of 1 category into localhost\n");
        EXPECT_EQ(load.err, "");
        EXPECT_EQ(load.code, 0);

        const testsupport::CRun second = testsupport::RunProgram(kDaemon, {});
        EXPECT_EQ(second.err, "zoltcfgd: ID_ZOLT_MASTER is already served at " + socket +
                                  " by another running zoltcfgd; not starting\n");
        EXPECT_EQ(second.code, 1);
        EXPECT_EQ(daemon.Stop(SIGTERM), 0);
        EXPECT_FALSE(fs::exists(socket));
    }
    // The log holds the start-up notes, not a line per request, unless asked for.
    const std::string log = testsupport::ReadFile(home / "log" / "zoltcfgd.log");
    EXPECT_NE(log.find(" START "), std::string::npos) << log;
    EXPECT_EQ(log.find(" INFO "), std::string::npos) << log;
    // A restart on the same home keeps its files and serves again; SIGINT stops it as well.
    {
        testsupport::CDaemon again(tmp.Path(), {"--log-level", "info"});
        EXPECT_EQ(again.ReadyLine().rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0), 0u);
        WriteThroughAgent("P1", "S_AGAIN");
        CRPCClientHelper::CloseThreadConnections();
        EXPECT_EQ(again.Stop(SIGINT), 0);
    }
    EXPECT_NE(testsupport::ReadFile(home / "log" / "zoltcfgd.log").find(" INFO "),
              std::string::npos);

    // A database server that cannot be reached stops the start in one sentence (never naming
    // its password).
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (tmp / "registry").string());
    testsupport::WriteFile(home / "config" / "dbconf_Conf.xml",
                           "<connection provider=\"postgresql\"><server connect=\"host=/none "
                           "dbname=cfg password=secret\"/></connection>");
    const testsupport::CRun noServer = testsupport::RunProgram(
        kDaemon, {"--home", home.string(), "--runtime-dir", (tmp / "run").string()});
    EXPECT_EQ(noServer.err.rfind("zoltcfgd: not starting: Cannot connect to the PostgreSQL "
                                 "database /none:5432/cfg: the server cannot be reached (check "
                                 "host and port, and that it runs) (",
                                 0),
              0u);
    EXPECT_EQ(noServer.err.find("secret"), std::string::npos);
    EXPECT_EQ(noServer.code, 1);
}
