// Tests of the database layer's failure paths: injected failures, lost connections with their
// process-wide status and recovery, and committed rows surviving a writer killed mid-loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "tests/support/Caught.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using Op = CDBFaultInjector::Op;
using RS = std::unique_ptr<CModifiableRecordSet>;
using testsupport::CaughtCode;

namespace {

class DbFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::CreateSampleHome(m_home.Path());
        CDBFaultInjector::Reset();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(0));
        m_db = std::make_unique<CGenericDatabase>(ConnFile(), true);
        m_db->Initialize();
        m_rs = Table(*m_db, L"QV_VirusScan");
        for (const wchar_t* k : {L"P:A", L"P:B"}) AddRow(*m_rs, k);
    }
    void TearDown() override {
        m_rs.reset();
        m_db.reset();
        CDBFaultInjector::Reset();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(2000));
    }

    x_wstring ConnFile() const {
        return x_wstring::FromUtf8((m_home / "config/dbconf_Conf.xml").string());
    }
    static RS Table(CGenericDatabase& db, const wchar_t* name) {
        CModifiableRecordSet* rs = nullptr;
        EXPECT_TRUE(db.OpenTable(name, rs));
        return RS(rs);
    }
    static void AddRow(CModifiableRecordSet& rs, const x_wstring& key, int priority = 0) {
        rs.AddNew();
        rs.SetFieldValue(L"CFG_INDEX", CVar(key));
        if (priority) {
            rs.SetFieldValue(L"CFR_PATTERN", CVar(std::wstring(200, L'a' + priority % 26)));
            rs.SetFieldValue(L"CFR_PRIORITY", CVar(priority));
        }
        rs.Update();
    }

    testsupport::CTempDir m_home;
    std::unique_ptr<CGenericDatabase> m_db;
    RS m_rs;
};

}  // namespace

TEST_F(DbFaultTest, InjectedFailuresHitTheirOperationsInOrder) {
    CDBFaultInjector::FailNext(Op::kSeek);
    CDBFaultInjector::FailNext(Op::kUpdate, 1, CDBException::kBusy);
    // Other kinds pass untouched.
    m_rs->MoveFirst();
    EXPECT_EQ(2, m_rs->GetRecordCount());
    EXPECT_EQ(CDBException::kInjected,
              CaughtCode<CDBException>([&] { m_rs->Seek(L"CFG_INDEX", CVar(L"P:B")); }));
    EXPECT_TRUE(m_rs->Seek(L"CFG_INDEX", CVar(L"P:B")));  // only the next one failed

    m_rs->SetFieldValue(L"VS_MAX_SIZE", CVar(1));
    EXPECT_EQ(CDBException::kBusy, CaughtCode<CDBException>([&] { m_rs->Update(); }));
    m_rs->Update();  // the staged value is committed by the retry
    EXPECT_EQ(CVar(1), m_rs->GetFieldValue(L"VS_MAX_SIZE"));

    CDBFaultInjector::FailNext(Op::kAny, 2);
    CModifiableRecordSet* rs = nullptr;
    EXPECT_EQ(CDBException::kInjected,
              CaughtCode<CDBException>([&] { m_db->OpenTable(L"QV_VirusScan", rs); }));
    EXPECT_EQ(nullptr, rs);
    EXPECT_EQ(CDBException::kInjected,
              CaughtCode<CDBException>([&] { m_rs->SetFieldValue(L"VS_ACTION", CVar(2)); }));
    EXPECT_NO_THROW(m_rs->Delete());
    EXPECT_EQ(4, CDBFaultInjector::FiredCount());
    // None of these touched the connection status.
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
}

TEST_F(DbFaultTest, LostConnectionIsReportedUntilReopened) {
    DBG::CCaptureLog log;
    CDBFaultInjector::LoseConnectionAt(Op::kUpdate);
    m_rs->SetFieldValue(L"VS_ACTION", CVar(short{2}));
    EXPECT_EQ(CDBException::kConnectionLost, CaughtCode<CDBException>([&] { m_rs->Update(); }));
    EXPECT_FALSE(CGenericDatabase::IsDBStatusOK());
    EXPECT_FALSE(CGenericDatabase::IsDBStatusOK());  // no automatic probe with interval 0
    EXPECT_FALSE(CGenericDatabase::IsProbingDBStatus());
    EXPECT_TRUE(log.Contains(L"database " + m_db->GetDatabaseFile() + L": connection lost",
                             DBG::LVL_WARNING));

    // A reopen that fails keeps the status; the operation that tried it fails.
    CDBFaultInjector::FailReconnects(1);
    EXPECT_EQ(CDBException::kConnectionLost, CaughtCode<CDBException>([&] { m_rs->MoveFirst(); }));
    EXPECT_FALSE(CGenericDatabase::IsDBStatusOK());

    // The next operation reopens; the probe runs with IsProbingDBStatus() true.
    bool probingSeen = false;
    bool statusDuringProbe = true;
    CDBFaultInjector::SetProbeHook([&] {
        probingSeen = CGenericDatabase::IsProbingDBStatus();
        statusDuringProbe = CGenericDatabase::IsDBStatusOK();
    });
    EXPECT_EQ(2, m_rs->GetRecordCount());
    EXPECT_TRUE(probingSeen);
    EXPECT_FALSE(statusDuringProbe);
    EXPECT_FALSE(CGenericDatabase::IsProbingDBStatus());
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
    EXPECT_TRUE(log.Contains(L"database " + m_db->GetDatabaseFile() + L": connection reopened",
                             DBG::LVL_STARTUP));

    // The record set works on the new connection; the lost write was never committed.
    ASSERT_TRUE(m_rs->Seek(L"CFG_INDEX", CVar(L"P:B")));
    EXPECT_EQ(CVar(short{1}), m_rs->GetFieldValue(L"VS_ACTION"));
    m_rs->SetFieldValue(L"VS_ACTION", CVar(short{2}));
    m_rs->Update();
    EXPECT_EQ(CVar(short{2}), m_rs->GetFieldValue(L"VS_ACTION"));
}

TEST_F(DbFaultTest, StatusIsProcessWideAndRecoveredByProbeOrClose) {
    auto second = std::make_unique<CGenericDatabase>(ConnFile(), true);
    second->Initialize();

    CDBFaultInjector::LoseAllConnections();
    EXPECT_FALSE(IsDBStatusOK());
    EXPECT_TRUE(m_db->Reconnect());
    EXPECT_FALSE(IsDBStatusOK());  // the second database is still lost

    CDBFaultInjector::FailReconnects(1);
    EXPECT_FALSE(CGenericDatabase::ProbeLostConnections());
    EXPECT_TRUE(CGenericDatabase::ProbeLostConnections());
    EXPECT_TRUE(IsDBStatusOK());

    // Closing a lost database ends its part in the status.
    CDBFaultInjector::LoseConnectionAt(Op::kOpenTable);
    CModifiableRecordSet* rs = nullptr;
    EXPECT_EQ(CDBException::kConnectionLost,
              CaughtCode<CDBException>([&] { second->OpenTable(L"QV_INMEMORY", rs); }));
    EXPECT_FALSE(IsDBStatusOK());
    second.reset();
    EXPECT_TRUE(IsDBStatusOK());

    // With a probe interval, IsDBStatusOK() probes by itself once the interval has passed;
    // a one-millisecond interval has passed by the second call after the first probe fails.
    CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(1));
    CDBFaultInjector::LoseAllConnections();
    CDBFaultInjector::FailReconnects(1000);
    EXPECT_FALSE(IsDBStatusOK());
    CDBFaultInjector::FailReconnects(0);
    while (!IsDBStatusOK()) {
    }
    EXPECT_EQ(2, m_rs->GetRecordCount());
}

// A move that fails or finds its connection lost in the middle of a walk keeps the current row;
// the next MoveNext, on the same or a reopened connection, goes on with the row after it.
TEST_F(DbFaultTest, AWalkGoesOnAfterAFailedOrLostMove) {
    for (const wchar_t* k : {L"P:C", L"P:D"}) AddRow(*m_rs, k);
    auto current = [&] { return m_rs->GetFieldValue(L"CFG_INDEX").ToString(); };
    m_rs->MoveFirst();
    m_rs->MoveNext();
    CDBFaultInjector::FailNext(Op::kMove);
    EXPECT_EQ(CDBException::kInjected, CaughtCode<CDBException>([&] { m_rs->MoveNext(); }));
    EXPECT_EQ(L"P:B", current());
    m_rs->MoveNext();
    EXPECT_EQ(L"P:C", current());

    m_rs->MoveFirst();
    m_rs->MoveNext();
    CDBFaultInjector::LoseConnectionAt(Op::kMove);
    EXPECT_EQ(CDBException::kConnectionLost, CaughtCode<CDBException>([&] { m_rs->MoveNext(); }));
    EXPECT_FALSE(CGenericDatabase::IsDBStatusOK());
    EXPECT_EQ(L"P:B", current());
    m_rs->MoveNext();  // reopens
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
    EXPECT_EQ(L"P:C", current());

    CDBFaultInjector::LoseAllConnections();  // lost between two steps of a walk
    m_rs->MoveNext();
    EXPECT_EQ(L"P:D", current());
    m_rs->MoveNext();
    EXPECT_TRUE(m_rs->IsEOF());
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());

    // Closing the database in the middle of a walk: the record set fails cleanly.
    m_rs->MoveFirst();
    m_rs->MoveNext();
    m_db->Uninitialize();
    EXPECT_EQ(CDBException::kNotConnected, CaughtCode<CDBException>([&] { m_rs->MoveNext(); }));
}

// A writer killed (SIGKILL) in the middle of its loop loses nothing it reported as committed,
// and leaves a database that opens and checks clean.
TEST_F(DbFaultTest, CommittedRowsSurviveAKilledWriter) {
    m_rs.reset();
    m_db.reset();
    auto key = [](int i) { return x_wstring(L"P:RULE_") + std::to_wstring(i); };
    int pipeFd[2];
    ASSERT_EQ(0, pipe(pipeFd));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // writes rows 1, 2, ... and reports each once committed
        close(pipeFd[0]);
        DBG::SetLogToNothing();
        try {
            CGenericDatabase db(ConnFile(), true);
            db.Initialize();
            RS rs = Table(db, L"QV_ContentFilterRule");
            for (int i = 1;; ++i) {
                AddRow(*rs, key(i), i);
                if (write(pipeFd[1], &i, sizeof i) != sizeof i) _exit(3);
            }
        } catch (...) {
            _exit(4);
        }
    }
    close(pipeFd[1]);
    const int kReported = 150;
    int last = 0;
    for (int n = 0; n < kReported; ++n) {
        ASSERT_EQ(static_cast<ssize_t>(sizeof last), read(pipeFd[0], &last, sizeof last));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFd[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(kReported, last);

    CGenericDatabase db(ConnFile(), true);
    db.Initialize();
    RS rs = Table(db, L"QV_ContentFilterRule");
    EXPECT_GE(rs->GetRecordCount(), kReported);
    for (int i = 1; i <= kReported; ++i) {
        ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(key(i)))) << i;
        EXPECT_EQ(CVar(i), rs->GetFieldValue(L"CFR_PRIORITY"));
        EXPECT_EQ(CVar(std::wstring(200, L'a' + i % 26)), rs->GetFieldValue(L"CFR_PATTERN"));
    }
    sqlite3* check = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db.GetDatabaseFile().ToUtf8().c_str(), &check));
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(check, "PRAGMA integrity_check", -1, &st, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    EXPECT_STREQ("ok", reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(check);
}
