// The command-line tool as an administrator uses it: the real zoltcfg against a real zoltcfgd on
// a temporary home. Every command's normal use and its main failure, the exact texts printed,
// the exit codes, and a dump that loads into a fresh home and dumps again byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TestCerts.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testsupport::CBackgroundCli;
using testsupport::CDaemon;
using testsupport::CRun;
using testsupport::CTempDir;
using testsupport::RunCli;

namespace {

const std::string kSchemaList =
    "QV_VirusScan, QV_ContentFilter, QV_ContentFilterRule, QV_VirtualServerEnvironment, "
    "QV_INMEMORY";

void ExpectOk(const CRun& r, const std::string& out = "") {
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
}

void ExpectFail(const CRun& r, int code, const std::string& err) {
    EXPECT_EQ(r.code, code);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zoltcfg: " + err + "\n");
}

std::string NotRunning(const fs::path& runtime) {
    return "the configuration daemon does not answer at unix:" +
           (runtime / "ID_ZOLT_MASTER.rpc").string() +
           "; start zoltcfgd, or point ZOLTCFG_RUNTIME_DIR at its runtime folder.";
}

// A dump file holding `settings` (a JSON array text) for QV_VirusScan and `more` categories.
std::string DumpFile(const std::string& settings, const std::string& more = "") {
    return R"({"format": "zoltcfg-dump", "version": 1, "server": "localhost", "categories": {)"
           R"("QV_VirusScan": )" +
           settings + more + "}}";
}

const char kEmptyList[] = "POLICY  SUBJECT\n";

// A home under `dir` whose schema is the sample's plus QV_Kinds, a column of every kind.
void WriteHomeWithEveryKind(const fs::path& dir) {
    std::string schema = testsupport::kSampleSchemaXml;
    schema.insert(schema.find("  </schema>"), R"(    <table name="QV_Kinds">
      <column name="K_STRING" type="string" default="s"/>
      <column name="K_INT16" type="int16" default="1"/>
      <column name="K_INT32" type="int32" default="1"/>
      <column name="K_INT64" type="int64" default="1"/>
      <column name="K_BOOL" type="bool" default="1"/>
      <column name="K_DATE" type="date" default="2000-01-01"/>
      <column name="K_DOUBLE" type="double" default="1.5"/>
      <column name="K_BYTES" type="bytes"/>
    </table>
)");
    testsupport::WriteFile(dir / "home" / "config" / "dbSchema_Conf.xml", schema);
}

}  // namespace

TEST(CliSettings, SetGetListApplyAllResetAndDeleteAStoredSetting) {
    CTempDir tmp("zoltcfg-cli");
    CDaemon d(tmp.Path());
    ASSERT_EQ(d.ReadyLine().rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0), 0u);

    ExpectOk(d.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "VS_ACTION=2",
                    "VS_MAX_SIZE:string=5000", "vs_scan_archives=no",
                    "VS_LAST_UPDATE=2024-02-29 13:45:10", "VS_QUARANTINE_FOLDER=Quarantäne"}));
    const CRun json = d.Cli({"get", "--json", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "-f",
                             "vs_action", "-f", "VS_LAST_UPDATE", "-f", "VS_MAX_SIZE", "-f",
                             "VS_SCAN_ARCHIVES", "-f", "VS_QUARANTINE_FOLDER"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out),
              nlohmann::json::parse(R"({"server": "localhost", "policy": "ZOLT_PLC_NULL",
                  "category": "QV_VirusScan", "subject": "ZOLT_SUB_A", "fields": {"VS_ACTION": 2,
                  "VS_LAST_UPDATE": "2024-02-29 13:45:10", "VS_MAX_SIZE": 5000,
                  "VS_SCAN_ARCHIVES": false, "VS_QUARANTINE_FOLDER": "Quarantäne"}})"));

    // Values from a file and from standard input; @@ stands for a value starting with @.
    testsupport::WriteFile(tmp / "value.txt", "line 1\nline 2\n");
    ExpectOk(d.Cli({"set", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B", "VS_ACTION=4",
                    "VS_QUARANTINE_FOLDER=@" + (tmp / "value.txt").string(),
                    "VS_EXCLUDED_EXTENSIONS=@-", "CFG_IGNORE_FIELDS=@@x"},
                   "from stdin"));
    ExpectOk(
        d.Cli({"get", "--json", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B", "-f",
               "CFG_IGNORE_FIELDS", "-f", "VS_QUARANTINE_FOLDER", "-f", "VS_EXCLUDED_EXTENSIONS"}),
        nlohmann::ordered_json::parse(R"({"server": "localhost", "policy": "P1",
                  "category": "QV_VirusScan", "subject": "ZOLT_SUB_B", "fields": {
                  "CFG_IGNORE_FIELDS": "@x", "VS_QUARANTINE_FOLDER": "line 1\nline 2\n",
                  "VS_EXCLUDED_EXTENSIONS": "from stdin"}})")
                .dump(2) +
            "\n");
    ExpectOk(d.Cli({"set", "localhost", "P\u00e4\x01", "QV_VirusScan", "S_C", "VS_ACTION=4"}));
    // Padded by characters, control characters escaped.
    ExpectOk(d.Cli({"list", "QV_VirusScan"}),
             "POLICY         SUBJECT\n"
             "P1             ZOLT_SUB_B\n"
             "P\u00e4\\x01         S_C\n"
             "ZOLT_PLC_NULL  ZOLT_SUB_A\n");
    ExpectOk(d.Cli({"list", "--json", "--server", "localhost", "QV_ContentFilter"}), "[]\n");

    // apply-all reaches every stored setting of the category, whatever its policy.
    ExpectOk(d.Cli({"apply-all", "QV_VirusScan", "VS_EXCLUDED_EXTENSIONS=exe;bat"}));
    ExpectOk(d.Cli({"get", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B", "-f",
                    "VS_EXCLUDED_EXTENSIONS"}),
             "exe;bat\n");
    ExpectOk(d.Cli({"get", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "-f",
                    "VS_EXCLUDED_EXTENSIONS", "-f", "VS_ACTION"}),
             "FIELD                   KIND    VALUE\n"
             "VS_EXCLUDED_EXTENSIONS  string  exe;bat\n"
             "VS_ACTION               int16   2\n");

    ExpectOk(d.Cli({"reset", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A"}));
    ExpectOk(d.Cli({"get", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "-f", "VS_MAX_SIZE"}),
             "10240\n");

    ExpectOk(d.Cli({"del", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B"}));
    const std::string gone = "no setting QV_VirusScan P1:ZOLT_SUB_B on localhost is stored.";
    ExpectFail(d.Cli({"get", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B"}), 1, gone);
    ExpectFail(d.Cli({"del", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_B"}), 1, gone);
    // A server the daemon does not serve is named as such, with the servers it does serve.
    const CRun elsewhere = d.Cli({"set", "elsewhere", "-", "QV_VirusScan", "S", "VS_ACTION=1"});
    EXPECT_EQ(elsewhere.code, 1);
    EXPECT_THAT(elsewhere.err, StartsWith("zoltcfg: the daemon does not serve server elsewhere"));
    EXPECT_THAT(elsewhere.err, HasSubstr(", localhost).\n"));
}

TEST(CliSettings, BadInputGetsOneSentenceAndWritesNothing) {
    CTempDir tmp("zoltcfg-cli");
    CDaemon d(tmp.Path());
    // A set of ZOLT_SUB_A with a good assignment first.
    auto set = [](std::vector<std::string> assignments) {
        assignments.insert(assignments.begin(),
                           {"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "VS_ACTION=3"});
        return assignments;
    };
    const struct {
        std::vector<std::string> args;
        int code;  // 2: the form of the command line, checked before anything else; 1: refusals
        std::string err;
    } cases[] = {
        {{"list", "QV_Nope"},
         1,
         "unknown category QV_Nope (the schema of " + (tmp / "home").string() +
             "/config/dbSchema_Conf.xml has: " + kSchemaList + ")."},
        {set({"VS_MAX_SIZE"}), 2,
         "\"VS_MAX_SIZE\" is not of the form FIELD=VALUE or FIELD:KIND=VALUE."},
        {set({"VS_NOPE=1", "VS_MAX_SIZE:float=1"}), 2,
         "\"float\" is not a value kind (use string, int16, int32, int64, bool, date, double "
         "or bytes)."},
        {set({"vs_action=4"}), 2, "field vs_action is given more than once."},
        {{"frob"}, 2, "unknown command frob (zoltcfg --help lists the commands)."},
        {set({"VS_NOPE=1"}), 1, "category QV_VirusScan has no field VS_NOPE."},
        {{"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "VS_ACTION=70000"},
         1,
         "\"70000\" is not a valid int16 (out of range -32768..32767)."},
        {set({"VS_SCAN_ARCHIVES=maybe"}), 1,
         "\"maybe\" is not a valid bool (expected 1, true, yes, on, 0, false, no or off)."},
        {set({"VS_QUARANTINE_FOLDER=@" + (tmp / "none").string()}), 1,
         "cannot read the value of VS_QUARANTINE_FOLDER from " + (tmp / "none").string() +
             ": No such file or directory."},
        // Names that a dump could not write back.
        {{"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB:COLON", "VS_ACTION=1"},
         2,
         "the subject \"ZOLT_SUB:COLON\" cannot name a setting: it contains ':' (a setting is "
         "stored as POLICY:SUBJECT; - stands for none)."},
        {set({"VS_LAST_UPDATE=2023-02-29"}), 1,
         "\"2023-02-29\" is not a valid date (no such day)."},
        {set({"VS_MAX_SIZE:string=big"}), 1,
         "the string value \"big\" does not fit field VS_MAX_SIZE of kind int32."},
        {{"migrate", "--to", (tmp / "none").string()},
         1,
         "there is no connection file at " + (tmp / "none").string() + "."},
        // The daemon's writes during a copy would be missing from it.
        {{"migrate", "--to", (tmp / "home/config/dbconf_Conf.xml").string()},
         1,
         "zoltcfgd is running; stop it before migrating its database (its writes during the "
         "copy would be lost)."},
        {{"backup", "rel.db"},
         1,
         "The path \"rel.db\" is not absolute; give a full path on the daemon's machine."},
        {{"backup", (tmp / "run/b.db").string()},
         1,
         "The path \"" + (tmp / "run/b.db").string() + "\" lies in the daemon's runtime folder " +
             (tmp / "run").string() + "; choose another folder."},
        {{"backup", (tmp / "none/b.db").string()},
         1,
         "Cannot write the backup file \"" + (tmp / "none/b.db").string() +
             "\": No such file or directory."},
    };
    for (const auto& c : cases) ExpectFail(d.Cli(c.args), c.code, c.err);
    // Restore files that are not a database, or hold another schema, are refused whole.
    testsupport::WriteFile(tmp / "text.db", std::string(8192, 'x'));
    EXPECT_EQ(system(("sqlite3 " + (tmp / "other.db").string() + " 'CREATE TABLE T(A)'").c_str()),
              0);
    for (const char* name : {"text.db", "other.db"}) {
        const CRun r = d.Cli({"restore", (tmp / name).string()});
        EXPECT_EQ(r.code, 1);
        EXPECT_THAT(r.err, StartsWith("zoltcfg: The restore file \"" + (tmp / name).string() +
                                      "\" cannot replace the database: "));
    }
    EXPECT_FALSE(fs::exists(tmp / "home/data/config.db.before-restore"));
    // None of the refused commands wrote the good assignment they carried.
    ExpectOk(d.Cli({"list", "QV_VirusScan"}), kEmptyList);
}

// Every line a watcher prints until its output ends.
std::string AllLines(CBackgroundCli& watch) {
    std::string all, line;
    while (!(line = watch.OutLine()).empty()) all += line;
    return all;
}

TEST(CliWatch, PrintsEachChangeAndWhatItChangedAsItArrives) {
    CTempDir tmp("zoltcfg-cli");
    CDaemon d(tmp.Path());
    {
        // Each change is made once the watcher has shown the one before: it shows what changed
        // since the values it read last.
        CBackgroundCli watch({"watch", "-n", "4", "ZOLT_SUB_W1", "ZOLT_SUB_W2"});
        ASSERT_EQ(watch.ErrLine(), "zoltcfg: watching ZOLT_SUB_W1, ZOLT_SUB_W2 (Ctrl-C to stop)\n");
        const auto lines = [&watch](int n) {
            std::string out;
            while (n-- > 0) out += watch.OutLine();
            return out;
        };
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_OTHER", "VS_ACTION=2"}));
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_W1", "VS_ACTION=2"}));
        const std::string created = lines(10);  // the header and the nine fields of the schema
        EXPECT_THAT(created, StartsWith("localhost ZOLT_PLC_NULL ZOLT_SUB_W1 written\n"));
        EXPECT_THAT(created, HasSubstr("  QV_VirusScan VS_ACTION: (none) -> 2\n"));
        ExpectOk(d.Cli({"set", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_W2", "VS_ACTION=2"}));
        EXPECT_THAT(lines(2), StartsWith("localhost P1 ZOLT_SUB_W2 written\n  QV_VirusScan "
                                         "CFG_DEFAULT_INSTANCE: (unread) -> "));
        EXPECT_THAT(lines(8), HasSubstr("VS_ACTION: (unread) -> 2"));
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_W1", "VS_ACTION=3"}));
        EXPECT_EQ(
            lines(2),
            "localhost ZOLT_PLC_NULL ZOLT_SUB_W1 written\n  QV_VirusScan VS_ACTION: 2 -> 3\n");
        ExpectOk(d.Cli({"del", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_W1"}));
        EXPECT_EQ(watch.Wait(), 0);  // the count is reached
        const std::string deleted = AllLines(watch);
        EXPECT_THAT(deleted, StartsWith("localhost ZOLT_PLC_NULL ZOLT_SUB_W1 deleted\n"));
        EXPECT_THAT(deleted, HasSubstr("  QV_VirusScan VS_ACTION: 3 -> (none)\n"));
        EXPECT_THAT(created + deleted, Not(HasSubstr("ZOLT_SUB_OTHER")));
    }
    {
        CBackgroundCli watch({"watch", "--json", "ZOLT_SUB_J"});
        ASSERT_EQ(watch.ErrLine(), "zoltcfg: watching ZOLT_SUB_J (Ctrl-C to stop)\n");
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_INMEMORY", "ZOLT_SUB_J", "INM_VAIRANT=x"}));
        EXPECT_EQ(nlohmann::json::parse(watch.OutLine()),
                  nlohmann::json::parse(R"j({"server": "localhost", "policy": "ZOLT_PLC_NULL",
                      "subject": "ZOLT_SUB_J", "change": "written", "kind": 3, "fields": [
                      {"category": "QV_INMEMORY", "field": "INM_VAIRANT", "old": "(none)",
                       "new": "x"
    }]
})j"));
        watch.Signal(SIGTERM);
        EXPECT_EQ(watch.Wait(), 0);
    }
    {
        // In the background: the command returns once the watcher listens; the watcher prints
        // the change and ends (its end closes the output).
        CBackgroundCli watch({"watch", "--background", "--count", "1", "ZOLT_SUB_BG"});
        EXPECT_THAT(watch.ErrLine(),
                    StartsWith("zoltcfg: watching ZOLT_SUB_BG in the background (pid "));
        EXPECT_EQ(watch.Wait(), 0);
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_INMEMORY", "ZOLT_SUB_BG", "INM_VAIRANT=y"}));
        EXPECT_EQ(AllLines(watch),
                  "localhost ZOLT_PLC_NULL ZOLT_SUB_BG written\n  QV_INMEMORY INM_VAIRANT: (none) "
                  "-> y\n");
    }
    {
        // The daemon restarts under the watcher: it says so, then reads what changed meanwhile.
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_INMEMORY", "ZOLT_SUB_R", "INM_VAIRANT=1"}));
        CBackgroundCli watch({"watch", "ZOLT_SUB_R"});
        ASSERT_EQ(watch.ErrLine(), "zoltcfg: watching ZOLT_SUB_R (Ctrl-C to stop)\n");
        EXPECT_EQ(d.Stop(SIGTERM), 0);
        CDaemon again(tmp.Path());
        ExpectOk(
            again.Cli({"set", "localhost", "-", "QV_INMEMORY", "ZOLT_SUB_R", "INM_VAIRANT=2"}));
        EXPECT_EQ(watch.OutLine(), "missed changes: re-read\n");
        EXPECT_EQ(watch.OutLine(), "localhost ZOLT_PLC_NULL ZOLT_SUB_R written\n");
        EXPECT_EQ(watch.OutLine(), "  QV_INMEMORY INM_VAIRANT: 1 -> 2\n");
        watch.Signal(SIGTERM);
        EXPECT_EQ(watch.Wait(), 0);
    }
}

TEST(CliDumpLoad, ADumpLoadedIntoAFreshHomeDumpsTheSame) {
    CTempDir tmp("zoltcfg-cli");
    const fs::path first = tmp / "first.json", second = tmp / "second.json";
    std::string dumped;
    WriteHomeWithEveryKind(tmp / "a");
    WriteHomeWithEveryKind(tmp / "b");
    {
        CDaemon a(tmp / "a");
        ExpectOk(a.Cli({"set", "localhost", "-", "QV_Kinds", "K1", "K_STRING=x", "K_INT16=-32768",
                        "K_INT32=-2147483648", "K_INT64=9000000000123", "K_BOOL=off",
                        "K_DATE=2024-02-29 13:45:10", "K_DOUBLE=0.1", "K_BYTES=00FF10"}));
        ExpectOk(
            a.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_A", "VS_ACTION=-2",
                   "VS_LAST_UPDATE=2024-02-29 13:45:10", "VS_EXCLUDED_EXTENSIONS=\"x\"\\y é"}));
        ExpectOk(a.Cli({"set", "localhost", "P1", "QV_VirusScan", "ZOLT_SUB_A", "VS_MAX_SIZE=1"}));
        ExpectOk(a.Cli({"set", "localhost", "-", "QV_ContentFilterRule", "R1", "CFR_NAME=exe",
                        "CFR_PRIORITY=2147483647"}));
        ExpectOk(a.Cli({"set", "localhost", "-", "QV_ContentFilter", "CF1", "CF_ENABLED=on",
                        "RULES_CFGSETTING_MV=QV_ContentFilterRule:R1:"}));
        ExpectOk(a.Cli({"set", "localhost", "-", "QV_INMEMORY", "-", "INM_VAIRANT=hello"}));
        ExpectOk(a.Cli({"dump", first.string()}));
        dumped = testsupport::ReadFile(first);
        ExpectOk(a.Cli({"dump", "--server", "localhost"}), dumped);  // standard output
    }
    const nlohmann::json doc = nlohmann::json::parse(dumped);
    EXPECT_EQ(doc["categories"]["QV_VirusScan"][1]["fields"]["VS_ACTION"], -2);  // after P1
    EXPECT_EQ(doc["categories"]["QV_Kinds"][0]["fields"],
              nlohmann::json::parse(R"({"K_STRING": "x", "K_INT16": -32768,
                  "K_INT32": -2147483648, "K_INT64": 9000000000123, "K_BOOL": false,
                  "K_DATE": "2024-02-29 13:45:10", "K_DOUBLE": 0.1, "K_BYTES": "00FF10"})"));
    {
        CDaemon b(tmp / "b");
        ExpectOk(b.Cli({"load", first.string()}),
                 "loaded 6 settings of 5 categories into localhost\n");
        ExpectOk(b.Cli({"dump", second.string()}));
    }
    EXPECT_EQ(testsupport::ReadFile(second), dumped);
}

TEST(CliDumpLoad, ABackupTakenDuringWritesRestoresEveryAcknowledgedWrite) {
    CTempDir tmp("zoltcfg-cli");
    const std::string file = (tmp / "backup.db").string();
    int ackedBefore = 0;
    {
        CDaemon a(tmp / "a");
        // The writer counts each write the daemon acknowledged; the backup starts between two.
        std::atomic<int> acked{0};
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop; ++i) {
                const std::string n = std::to_string(i);
                if (a.Cli({"set", "localhost", "-", "QV_VirusScan", "W" + n, "VS_ACTION=" + n})
                        .code == 0)
                    acked = i + 1;
            }
        });
        while (acked < 5) std::this_thread::yield();
        ackedBefore = acked;
        const CRun backup = a.Cli({"backup", file});
        const int ackedAfter = acked;
        stop = true;
        writer.join();
        EXPECT_EQ(backup.code, 0) << backup.err;
        EXPECT_THAT(backup.out, StartsWith("backed up the database to " + file));
        EXPECT_GT(ackedAfter, 0);
    }
    CDaemon b(tmp / "b");
    ExpectOk(b.Cli({"set", "localhost", "-", "QV_VirusScan", "W0", "VS_ACTION=9"}));
    // A watcher's proxy holds W0's value; the restore makes it drop what it holds.
    CBackgroundCli watch({"watch", "W0"});
    ASSERT_EQ(watch.ErrLine(), "zoltcfg: watching W0 (Ctrl-C to stop)\n");
    const CRun restore = b.Cli({"restore", file});
    EXPECT_EQ(restore.code, 0) << restore.err;
    EXPECT_TRUE(fs::exists(tmp / "b/home/data/config.db.before-restore"));
    EXPECT_EQ(watch.OutLine(), "missed changes: re-read\n");
    EXPECT_EQ(watch.OutLine(), "localhost ZOLT_PLC_NULL W0 written\n");
    EXPECT_EQ(watch.OutLine(), "  QV_VirusScan VS_ACTION: 9 -> 0\n");
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(), 0);
    for (int i = 0; i < ackedBefore; ++i)
        ExpectOk(b.Cli({"get", "localhost", "-", "QV_VirusScan", "W" + std::to_string(i), "-f",
                        "VS_ACTION"}),
                 std::to_string(i) + "\n");
}

TEST(CliDumpLoad, LoadChecksTheWholeFileBeforeWritingAnything) {
    CTempDir tmp("zoltcfg-cli");
    CDaemon d(tmp / "d");
    const std::string file = (tmp / "in.json").string();
    const std::string good =
        R"({"policy": "ZOLT_PLC_NULL", "subject": "S1", "fields": {"VS_ACTION": 2}})";
    auto load = [&](const std::string& text) {
        testsupport::WriteFile(file, text);
        return d.Cli({"load", file});
    };

    const CRun notJson = load("{\"format\": ");
    EXPECT_EQ(notJson.code, 1);
    EXPECT_THAT(notJson.err,
                StartsWith("zoltcfg: " + file + " is not valid JSON: parse error at line 1"));
    auto second = [&](const std::string& s2) { return DumpFile("[" + good + ", " + s2 + "]"); };
    const std::pair<std::string, std::string> refused[] = {
        {R"({"categories": {}})",
         " is not a zoltcfg dump (it lacks \"format\": \"zoltcfg-dump\")."},
        {DumpFile("[" + good + "]", R"(, "QV_Nope": [])"),
         ": unknown category QV_Nope (the schema of " + (tmp / "d/home").string() +
             "/config/dbSchema_Conf.xml has: " + kSchemaList + ")."},
        {second(R"({"policy": "P", "subject": "S2", "fields": {"VS_ACTION": "abc"}})"),
         ": setting QV_VirusScan P:S2: field VS_ACTION: \"abc\" is not a valid int16 (expected a "
         "whole number)."},
        {second(R"({"policy": "P", "subject": "S2", "fields": {"X": 1}})"),
         ": setting QV_VirusScan P:S2: category QV_VirusScan has no field X."},
        {second(good), ": setting QV_VirusScan ZOLT_PLC_NULL:S1: it is listed twice."},
        {DumpFile(R"([{"policy": "A:B", "subject": "S", "fields": {}}])"),
         ": setting 1 of QV_VirusScan: \"policy\" must not contain ':'."},
    };
    for (const auto& [text, err] : refused) ExpectFail(load(text), 1, file + err);
    ExpectOk(d.Cli({"list", "QV_VirusScan"}), kEmptyList);

    // A whole, valid file from standard input.
    ExpectOk(d.Cli({"load", "-"}, DumpFile("[" + good + "]")),
             "loaded 1 setting of 1 category into localhost\n");
    ExpectOk(d.Cli({"get", "localhost", "-", "QV_VirusScan", "S1", "-f", "VS_ACTION"}), "2\n");
}

// Two servers over mutual TLS: the source runs store scanning only (role 4, version 12.0), the
// target every role (0x10F, version 12.1). The report names what the filter drops and rewrites,
// the target holds the rewritten values, a run cut short and repeated ends like a whole one, and
// a run after it writes nothing.
TEST(CliReplicate, CopiesThroughTheFilterReportsItAndResumes) {
    CTempDir tmp("zoltcfg-cli");
    const std::string port = std::to_string(testsupport::FreeTcpPort());
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_ZOLT_REMOTE_CFG", port);
    const auto home = [&](const std::string& name, const std::string& version,
                          const std::string& role) {
        const auto tls = testsupport::TlsNode(name == "src" ? "server" : "other");
        const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\";
        testsupport::WriteFile(tmp / name / "registry",
                               key + "CurrentVersion]\n\"Version\"=\"" + version + "\"\n" + key +
                                   "CurrentVersion\\Remote]\n\"Certificate\"=\"" + tls.certFile +
                                   "\"\n\"PrivateKey\"=\"" + tls.keyFile + "\"\n\"CAFile\"=\"" +
                                   tls.caFile + "\"\n" + key +
                                   "MailServer]\n\"ServerRole\"=dword:" + role + "\n");
        std::string schema = testsupport::kSampleSchemaXml;
        schema.insert(schema.find("  </schema>"),
                      "<table name=\"QV_AntiSpam\"><column name=\"AS_ON\" type=\"bool\" "
                      "default=\"0\"/></table>\n<table name=\"QV_JunkMail\"><column "
                      "name=\"AS_JUNK_EMAIL_FOLDER_INTEGRATION\" type=\"bool\" default=\"0\"/>"
                      "<column name=\"JM_FOLDER\" type=\"string\" default=\"\"/></table>\n");
        testsupport::WriteFile(tmp / name / "home" / "config" / "dbSchema_Conf.xml", schema);
    };
    home("src", "12.0", "00000004");
    home("dst", "12.1", "0000010F");
    home("whole", "12.1", "0000010F");
    CDaemon dst(tmp / "dst", {"--remote-listen", "127.0.0.3:" + port});
    CDaemon whole(tmp / "whole", {"--remote-listen", "127.0.0.4:" + port});
    CDaemon src(tmp / "src", {"--remote-listen", "127.0.0.2:" + port});
    ExpectOk(src.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_CFG_VS_RS",
                      "VS_ENABLE_VIRUSSCAN=1", "VS_ACTION=3"}));
    ExpectOk(src.Cli({"set", "localhost", "-", "QV_VirusScan", "ZOLT_SUB_B", "VS_ACTION=5"}));
    ExpectOk(src.Cli({"set", "localhost", "-", "QV_AntiSpam", "ZOLT_SUB_CFG_AS_RS", "AS_ON=1"}));
    // A field the filter erases from every setting, the only change to this one.
    ExpectOk(src.Cli({"set", "localhost", "-", "QV_JunkMail", "ZOLT_SUB_J",
                      "AS_JUNK_EMAIL_FOLDER_INTEGRATION=1", "JM_FOLDER=Junk"}));
    // The target's role (0x10F) comes from its registry through its remote service.
    const std::vector<std::string> run = {"replicate", "--json", "--from",
                                          "localhost", "--to",   "127.0.0.3"};
    const auto outcomes = [](const CRun& r) {
        std::string all;
        const auto doc = nlohmann::json::parse(r.out);
        for (const auto& s : doc["settings"])
            all += s["subject"].get<std::string>() + " " + s["outcome"].get<std::string>() + " " +
                   s["detail"].get<std::string>() + ";";
        return all;
    };
    const std::string drop = "ZOLT_SUB_CFG_AS_RS filtered out roles;";
    const std::string rewrite = "rewritten: VS_ENABLE_TRANSPORT_VIRUSSCAN (added);";
    const std::string erase = "rewritten: AS_JUNK_EMAIL_FOLDER_INTEGRATION (erased);";

    auto dryRun = run;
    dryRun.push_back("--dry-run");
    EXPECT_EQ(outcomes(src.Cli(dryRun)), "ZOLT_SUB_B would write " + rewrite +
                                             "ZOLT_SUB_CFG_VS_RS would write " + rewrite + drop +
                                             "ZOLT_SUB_J would write " + erase);
    // Policy changes need the same product on both; the whole run is refused, nothing written.
    auto policy =
        src.Cli({"replicate", "--from", "localhost", "--to", "127.0.0.3", "--source-type", "2"});
    EXPECT_EQ(policy.code, 1);
    EXPECT_THAT(policy.err, HasSubstr("does not fit"));

    // Killed once its first chunk is written, then repeated: the target ends as the one of an
    // uninterrupted run, dump for dump.
    auto chunked = run;
    chunked.insert(chunked.end(), {"--chunk", "1"});
    CBackgroundCli killed(chunked);
    std::string line;
    while (!(line = killed.ErrLine()).empty() && line.find("settings done") == std::string::npos) {
    }
    EXPECT_EQ(line, "replicate: 1 of 4 settings done\n");
    killed.Signal(SIGKILL);
    killed.Wait();
    auto full = src.Cli(run);
    EXPECT_EQ(full.code, 0) << full.err;
    EXPECT_THAT(outcomes(full), StartsWith("ZOLT_SUB_B unchanged " + rewrite));
    EXPECT_THAT(full.err, HasSubstr("1 filtered out, 0 refused, 0 failed"));
    auto uninterrupted = run;
    uninterrupted[5] = "127.0.0.4";
    // A process on the target is told of what replication wrote there.
    CBackgroundCli watch(
        {"--runtime-dir", (tmp / "whole" / "run").string(), "watch", "-n", "1", "ZOLT_SUB_B"});
    ASSERT_THAT(watch.ErrLine(), HasSubstr("watching ZOLT_SUB_B"));
    EXPECT_EQ(outcomes(src.Cli(uninterrupted)), "ZOLT_SUB_B written " + rewrite +
                                                    "ZOLT_SUB_CFG_VS_RS written " + rewrite + drop +
                                                    "ZOLT_SUB_J written " + erase);
    EXPECT_EQ(watch.OutLine(), "localhost ZOLT_PLC_NULL ZOLT_SUB_B written\n");
    // Compared after the target's own crash: what it acknowledged is on its disk.
    EXPECT_EQ(dst.Stop(SIGKILL), 128 + SIGKILL);
    CDaemon restarted(tmp / "dst", {"--remote-listen", "127.0.0.3:" + port});
    EXPECT_EQ(restarted.Cli({"dump"}).out, whole.Cli({"dump"}).out);
    auto again = src.Cli(run);
    EXPECT_THAT(again.err, HasSubstr("0 written, 3 unchanged, 1 filtered out"));

    // The target holds the rewritten settings and no anti-spam setting.
    auto vs = restarted.Cli({"get", "--json", "localhost", "-", "QV_VirusScan",
                             "ZOLT_SUB_CFG_VS_RS", "-f", "VS_ACTION", "-f", "VS_ENABLE_VIRUSSCAN"});
    EXPECT_EQ(nlohmann::json::parse(vs.out)["fields"],
              nlohmann::json::parse(R"({"VS_ACTION": 3, "VS_ENABLE_VIRUSSCAN": true})"));
    EXPECT_EQ(restarted.Cli({"list", "QV_AntiSpam"}).out, kEmptyList);
    // A setting the filter leaves as it is reaches the target too, though it comes clean from
    // the source's store.
    ExpectOk(src.Cli({"set", "localhost", "-", "QV_ContentFilter", "ZOLT_SUB_CF", "CF_ACTION=4"}));
    EXPECT_EQ(outcomes(src.Cli({"replicate", "--json", "--from", "localhost", "--to", "127.0.0.4",
                                "--category", "QV_ContentFilter", "--source-role", "271"})),
              "ZOLT_SUB_CF written ;");
    ExpectOk(
        whole.Cli({"get", "localhost", "-", "QV_ContentFilter", "ZOLT_SUB_CF", "-f", "CF_ACTION"}),
        "4\n");

    // The target going down in the middle of a run: one sentence and exit 1, a report of what
    // was written before, and the target holds exactly that. The run is held (SIGSTOP) after its
    // first chunk while the target is killed.
    std::string many = R"({"format": "zoltcfg-dump", "version": 1, "server": "localhost", )"
                       R"("categories": {"QV_ContentFilter": [)";
    for (int i = 0; i < 50; ++i)
        many += std::string(i ? "," : "") + R"({"policy": "ZOLT_PLC_NULL", "subject": "S)" +
                std::to_string(i) + R"(", "fields": {"CF_ACTION": 1}})";
    testsupport::WriteFile(tmp / "many.json", many + "]}}");
    EXPECT_EQ(src.Cli({"load", (tmp / "many.json").string()}).code, 0);
    std::optional<CBackgroundCli> cut;
    {
        testsupport::CScopedEnv srcHome("ZOLTCFG_HOME", (tmp / "src" / "home").string());
        testsupport::CScopedEnv srcRun("ZOLTCFG_RUNTIME_DIR", (tmp / "src" / "run").string());
        testsupport::CScopedEnv srcReg("ZOLTCFG_REGISTRY", (tmp / "src" / "registry").string());
        cut.emplace(std::vector<std::string>{"replicate", "--json", "--from", "localhost", "--to",
                                             "127.0.0.4", "--category", "QV_ContentFilter",
                                             "--source-role", "271", "--chunk", "1"});
    }
    ASSERT_THAT(cut->ErrLine(), HasSubstr("settings done"));
    cut->Signal(SIGSTOP);
    EXPECT_EQ(whole.Stop(SIGKILL), 128 + SIGKILL);
    cut->Signal(SIGCONT);
    EXPECT_EQ(cut->Wait(), 1);
    std::string report, errLine, lastErr;
    for (std::string l; !(l = cut->OutLine()).empty();) report += l;
    while (!(errLine = cut->ErrLine()).empty()) lastErr = errLine;
    EXPECT_THAT(lastErr, HasSubstr("cannot reach 127.0.0.4"));
    // Written, then at most the one chunk sent when the target went (failed: stored or not, a
    // repeated run tells), then not done.
    std::map<std::string, int> counts;
    const auto cutReport = nlohmann::json::parse(report);
    for (const auto& item : cutReport["settings"]) ++counts[item["outcome"].get<std::string>()];
    EXPECT_GE(counts["written"], 1) << report;
    EXPECT_LE(counts["failed"], 1) << report;
    EXPECT_EQ(counts["written"] + counts["failed"] + counts["not done"], 51) << report;
    CDaemon wholeAgain(tmp / "whole", {"--remote-listen", "127.0.0.4:" + port});
    const std::string listed = wholeAgain.Cli({"list", "QV_ContentFilter"}).out;
    // The header, ZOLT_SUB_CF from before, and what the report says was written.
    const auto rows = std::count(listed.begin(), listed.end(), '\n');
    EXPECT_GE(rows, 2 + counts["written"]) << listed;
    EXPECT_LE(rows, 2 + counts["written"] + counts["failed"]) << listed;

    // An unknown server and a category that does not exist: one sentence, exit 1.
    EXPECT_THAT(src.Cli({"replicate", "--from", "localhost", "--to", "127.0.0.9"}).err,
                HasSubstr("cannot reach 127.0.0.9"));
    // A target on this computer whose daemon is down: the same, and the report lists every
    // setting of the source as not done.
    {
        testsupport::CScopedEnv down("ZOLTCFG_RUNTIME_DIR", (tmp / "nowhere").string());
        const CRun r = RunCli({"replicate", "--json", "--from", "127.0.0.2", "--to", "localhost",
                               "--category", "QV_ContentFilter"});
        EXPECT_EQ(r.code, 1);
        EXPECT_THAT(r.err, HasSubstr("cannot reach localhost"));
        const auto downReport = nlohmann::json::parse(r.out);
        counts.clear();
        for (const auto& item : downReport["settings"])
            ++counts[item["outcome"].get<std::string>()];
        EXPECT_EQ(counts, (std::map<std::string, int>{{"not done", 51}})) << r.out;
    }
    EXPECT_EQ(
        src.Cli({"replicate", "--from", "localhost", "--to", "127.0.0.3", "--category", "QV_Nope"})
            .code,
        1);
    // A target that admits other certificate names only: it says so, and nothing is written.
    restarted.Stop(SIGTERM);
    CDaemon picky(tmp / "dst", {"--remote-listen", "127.0.0.3:" + port, "--tls-allow", "node9"});
    const CRun refused = src.Cli({"replicate", "--from", "localhost", "--to", "127.0.0.3"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_THAT(refused.err, HasSubstr("cannot reach 127.0.0.3 (this server does not admit the "
                                       "certificate name server (its allowed names))."));
}

TEST(CliDaemon, StatusReportsTheDaemonAndEveryCommandRefusesWithoutIt) {
    CTempDir tmp("zoltcfg-cli");
    {
        CDaemon d(tmp.Path());
        const CRun status = d.Cli({"status"});
        EXPECT_EQ(status.code, 0) << status.err;
        EXPECT_THAT(status.out, HasSubstr("daemon    reachable at unix:" + (tmp / "run").string() +
                                          "/ID_ZOLT_MASTER.rpc\n"));
        EXPECT_THAT(status.out, HasSubstr("database  OK, sqlite " + (tmp / "home").string()));
        EXPECT_THAT(status.out, HasSubstr("version   zoltcfg 1.0.0, zoltcfgd 1.0.0\n"));
        const auto j = nlohmann::json::parse(d.Cli({"status", "--json"}).out);
        EXPECT_EQ(j["database"], true);
        EXPECT_EQ(j["provider"], "sqlite");
        EXPECT_EQ(j["servers"].back(), "localhost");
    }
    {
        // A known sequence: each command probes (341, 901) before its own request.
        CDaemon d(tmp.Path());
        ExpectOk(d.Cli({"set", "localhost", "-", "QV_VirusScan", "S1", "VS_ACTION=2"}), "");
        ExpectOk(d.Cli({"get", "localhost", "-", "QV_VirusScan", "S1", "-f", "VS_ACTION"}), "2\n");
        const auto j = nlohmann::json::parse(d.Cli({"stats", "--json"}).out);
        std::map<int, std::pair<int, int>> seen;  // id: requests, failures
        for (const auto& r : j["requests"]) {
            seen[r["id"]] = {r["requests"], r["failures"]};
            unsigned long long inBuckets = 0;
            for (const auto& b : r["latency_buckets"]) inBuckets += b["count"].get<unsigned>();
            EXPECT_EQ(inBuckets, r["requests"].get<unsigned>()) << r["id"];
        }
        EXPECT_EQ(seen, (std::map<int, std::pair<int, int>>{
                            {303, {1, 0}}, {339, {1, 0}}, {341, {3, 0}}, {901, {3, 0}}}));
        EXPECT_EQ(j["notifications_published_total"], 1);
        // The Prometheus text parsed back: every sample of a family declared with its type,
        // counters end in _total, each histogram's buckets cumulative up to +Inf = _count.
        std::map<std::string, std::string> types;
        std::map<std::string, std::set<std::string>> labels;
        std::istringstream text(d.Cli({"stats", "--prometheus"}).out);
        std::string line, name, type, lastInf;
        while (std::getline(text, line)) {
            if (line.rfind("# TYPE ", 0) == 0) {
                std::istringstream(line.substr(7)) >> name >> type;
                types[name] = type;
                EXPECT_EQ(type == "counter", name.ends_with("_total")) << line;
                continue;
            }
            if (line.rfind("# HELP ", 0) == 0) continue;
            const size_t brace = line.find('{'), space = line.rfind(' ');
            const std::string sample = line.substr(0, std::min(brace, space));
            std::string family = sample;
            for (const char* suffix : {"_bucket", "_sum", "_count"})
                if (sample.ends_with(suffix) &&
                    types.count(sample.substr(0, sample.size() - strlen(suffix))))
                    family = sample.substr(0, sample.size() - strlen(suffix));
            ASSERT_TRUE(types.count(family)) << line;
            std::string set =
                brace == std::string::npos ? "" : line.substr(brace, line.find('}') - brace + 1);
            if (sample.ends_with("_bucket") && set.find("le=\"+Inf\"") != std::string::npos)
                lastInf = line.substr(space + 1);
            if (sample.ends_with("_count")) {
                EXPECT_EQ(line.substr(space + 1), lastInf) << line;
            }
            // The label names only: id, and le on buckets.
            for (size_t q; (q = set.find('"')) != std::string::npos;)
                set.erase(q, set.find('"', q + 1) - q + 1);
            labels[sample].insert(set);
        }
        EXPECT_EQ(types["zoltcfg_request_duration_seconds"], "histogram");
        EXPECT_EQ(types["zoltcfg_observers"], "gauge");
        EXPECT_EQ(labels["zoltcfg_requests_total"], std::set<std::string>{"{id=}"});
        EXPECT_EQ(labels["zoltcfg_request_duration_seconds_bucket"],
                  std::set<std::string>{"{id=,le=}"});
        EXPECT_EQ(labels["zoltcfg_store_retries_total"], std::set<std::string>{""});
        EXPECT_THAT(d.Cli({"stats", "--proxy"}).out,
                    StartsWith("the library proxy counters of this zoltcfg process"));
        // A metrics address another process listens on stops a second daemon before it serves,
        // also when that process would share its port.
        const int fd = socket(AF_INET, SOCK_STREAM, 0), yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const unsigned short port = testsupport::FreeTcpPort();
        addr.sin_port = htons(port);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        listen(fd, 1);
        const std::string where = "127.0.0.1:" + std::to_string(port);
        const CRun taken =
            testsupport::RunProgram(std::string(ZOLT_TEST_BINARY_DIR) + "/zoltcfgd",
                                    {"--home", (tmp / "other").string(), "--runtime-dir",
                                     (tmp / "other-run").string(), "--metrics", where});
        close(fd);
        EXPECT_EQ(taken.code, 1);
        EXPECT_EQ(taken.err, "zoltcfgd: not starting: cannot serve metrics on " + where +
                                 ": the address is already in use\n");
    }
    // The daemon has stopped; its home stays.
    const fs::path runtime = tmp / "run";
    testsupport::CScopedEnv env("ZOLTCFG_HOME", (tmp / "home").string());
    testsupport::CScopedEnv rt("ZOLTCFG_RUNTIME_DIR", runtime.string());
    const CRun status = RunCli({"status"});
    EXPECT_EQ(status.code, 1);
    EXPECT_THAT(status.out, HasSubstr("daemon    not reachable at unix:" + runtime.string() +
                                      "/ID_ZOLT_MASTER.rpc ("));
    EXPECT_THAT(status.out, HasSubstr("database  unknown\n"));
    ExpectFail(RunCli({"get", "localhost", "-", "QV_VirusScan", "S"}), 1, NotRunning(runtime));
    ExpectFail(RunCli({"load", "-"}, DumpFile("[]")), 1, NotRunning(runtime));
    // The file is checked before the daemon is looked for.
    ExpectFail(RunCli({"load", "-"}, "[]"), 1,
               "standard input is not a zoltcfg dump (it lacks \"format\": \"zoltcfg-dump\").");
}

// The PostgreSQL server stops and starts while a client writes through the daemon: writes during
// the outage may fail, the daemon reconnects by itself, and every acknowledged write reads back.
TEST(CliDaemon, ServerRestartUnderWritesThroughTheDaemonLosesNoAcknowledgedWrite) {
    const char* server = std::getenv("ZOLT_TEST_PG");
    const char* ctl = std::getenv("ZOLT_TEST_PG_CTL");
    if (!server || !*server || !ctl || !*ctl)
        GTEST_SKIP() << "ZOLT_TEST_PG and ZOLT_TEST_PG_CTL name no server to restart";
    const std::string schema = "zt_cli_" + std::to_string(getpid());
    auto sql = [&](const std::string& text) {
        PGconn* pg = PQconnectdb(server);
        PQclear(PQexec(pg, ("SET client_min_messages = warning; " + text).c_str()));
        PQfinish(pg);
    };
    sql("CREATE SCHEMA " + schema);
    CTempDir tmp("zoltcfg-cli");
    testsupport::WriteFile(tmp / "home/config/dbconf_Conf.xml",
                           "<connection provider=\"postgresql\"><server connect=\"" +
                               std::string(server) + " options='-c search_path=" + schema +
                               "'\"/></connection>");
    {
        CDaemon d(tmp.Path());
        EXPECT_THAT(d.Cli({"status"}).out, HasSubstr("database  OK, postgresql "));
        // The writer runs the CLI with the environment the daemon set; it counts acknowledged
        // writes before the restart and after it, and ends 10 after, or at its deadline.
        std::promise<void> running;
        std::atomic<bool> restarted{false};
        std::vector<int> acked;
        int failed = 0, after = 0;  // the writer's own until it is joined
        std::thread writer([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
            for (int i = 0; after < 10 && std::chrono::steady_clock::now() < deadline; ++i) {
                const std::string n = std::to_string(i);
                if (RunCli({"set", "localhost", "-", "QV_VirusScan", "W" + n, "VS_ACTION=" + n})
                        .code != 0) {
                    ++failed;
                    continue;
                }
                acked.push_back(i);
                if (acked.size() == 10) running.set_value();
                after += restarted;
            }
        });
        EXPECT_EQ(running.get_future().wait_for(std::chrono::seconds(60)),
                  std::future_status::ready);
        EXPECT_EQ(std::system((std::string(ctl) + " stop -m fast >/dev/null").c_str()), 0);
        EXPECT_EQ(std::system((std::string(ctl) + " start >/dev/null").c_str()), 0);
        restarted = true;
        writer.join();
        EXPECT_GT(failed, 0);
        EXPECT_EQ(after, 10);
        for (int i : acked)
            ExpectOk(d.Cli({"get", "localhost", "-", "QV_VirusScan", "W" + std::to_string(i), "-f",
                            "VS_ACTION"}),
                     std::to_string(i) + "\n");
    }
    sql("DROP SCHEMA " + schema + " CASCADE");
}

TEST(CliCluster, AVirtualServerFailsOverBetweenTwoNodesDrivenByTheResourceAgent) {
    CTempDir tmp("zoltcfg-cli");
    testsupport::CreateSampleHome(tmp / "shared");
    const std::string product =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\"
        "CurrentVersion\\Cluster";
    for (const char* node : {"A", "B"})
        testsupport::WriteFile(tmp / node / "registry",
                               product + "]\n\"NodeName\"=\"" + node + "\"\n" + product +
                                   "\\VirtualServers\\VS1]\n\"RootFolder\"=\"" +
                                   (tmp / "shared").string() + "/\"\n\"Nodes\"=\"A;B\"\n");
    CDaemon a(tmp / "A"), b(tmp / "B");
    testsupport::CScopedEnv name("OCF_RESKEY_name", "VS1");
    testsupport::CScopedEnv cli("OCF_RESKEY_zoltcfg",
                                std::string(ZOLT_TEST_BINARY_DIR) + "/zoltcfg");
    auto agent = [&](const CDaemon& node, const char* action) {
        testsupport::CScopedEnv rt("OCF_RESKEY_runtime_dir", (node.Dir() / "run").string());
        testsupport::CScopedEnv reg("OCF_RESKEY_registry", (node.Dir() / "registry").string());
        return testsupport::RunProgram(ZOLT_SOURCE_DIR "/tools/ocf/vserver", {action}).code;
    };
    auto get = [](const CDaemon& node) {
        return node.Cli({"get", "VS1", "-", "QV_VirusScan", "S", "--field", "VS_MAX_SIZE"});
    };
    EXPECT_EQ(agent(a, "monitor"), 7);
    ASSERT_EQ(agent(a, "start"), 0);
    EXPECT_EQ(agent(a, "monitor"), 0);
    ExpectOk(a.Cli({"set", "VS1", "-", "QV_VirusScan", "S", "VS_MAX_SIZE=77"}));
    EXPECT_THAT(a.Cli({"cluster", "status"}).out, testing::ContainsRegex("VS1 +on line +open"));
    ASSERT_EQ(agent(a, "stop"), 0);
    EXPECT_EQ(agent(a, "monitor"), 7);
    EXPECT_EQ(get(a).code, 1);
    ASSERT_EQ(agent(b, "start"), 0);
    EXPECT_THAT(get(b).out, HasSubstr("77"));
    EXPECT_EQ(b.Cli({"cluster", "replay", "VS1"}).code, 0);
    EXPECT_EQ(a.Cli({"cluster", "replay", "VS1"}).code, 1);  // no database of VS1 on A
    EXPECT_THAT(testsupport::RunProgram(ZOLT_SOURCE_DIR "/tools/ocf/vserver", {"meta-data"}).out,
                HasSubstr("<resource-agent name=\"vserver\""));
}
