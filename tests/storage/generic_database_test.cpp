// Tests of the database store's single-setting operations over a real SQLite file: the read that
// adds a missing row, the existence read, ignore-list rules, the cascade through reference
// fields on write and delete, apply-all with its callback, the column dump, retries and table
// closing after injected database faults, the connection-lost rule, construction failures and
// the bounded wait for the store mutex.
#include <functional>
#include <future>
#include <thread>

#include "tests/storage/GenericDatabaseFixture.h"
#include "tests/support/Bytes.h"
#include "tests/support/Caught.h"
#include "tests/support/LogText.h"

using namespace storetest;
using testsupport::CountLines;
using testsupport::HasLine;
using Op = CDBFaultInjector::Op;

TEST_P(GenericDatabaseTest, ReadAddsMissingRowButExistenceReadDoesNot) {
    CCfgSettingGenericDatabase& db = Open();
    auto s = Make(L"T_Plain", L"S1");
    DBG::CCaptureLog log;

    EXPECT_FALSE(db.GetExistConfiguration(Key(L"S1"), *s));
    EXPECT_TRUE(Keys("T_Plain").empty());

    s->AddFieldValue(L"A", CVar(L"unsaved"));
    ASSERT_TRUE(db.GetConfiguration(Key(L"S1"), *s));
    EXPECT_EQ(Keys("T_Plain"), std::vector<std::string>{"ZOLT_PLC_NULL:S1"});
    EXPECT_EQ(Field(*s, L"A"), CVar(L"a0"));  // the column default replaced the unsaved value
    EXPECT_TRUE(Field(*s, L"CFG_INDEX").IsEmpty());
    EXPECT_FALSE(s->IsDirty());
    // The existence read of a missing row is tried twice, as every failed read is.
    EXPECT_EQ(CountLines(log, DBG::LVL_INFO, L"this configuration does not exist"), 2u);

    auto again = Make(L"T_Plain", L"S1");
    EXPECT_TRUE(db.GetExistConfiguration(Key(L"S1"), *again));
    EXPECT_EQ(Field(*again, L"B"), CVar(7));
}

TEST_P(GenericDatabaseTest, WritesFollowIgnoreListModifyActionAndFieldErrors) {
    CCfgSettingGenericDatabase& db = Open();
    auto s = Make(L"T_Plain", L"S1");
    s->AddFieldValue(L"A", CVar(L"new"));
    s->AddFieldValue(L"b", CVar(2));  // the ignore list matches names without regard to case
    s->AddFieldValue(L"C", CVar(L"new"));
    s->AddFieldValue(L"D", CVar(false));
    using DB = CCfgSettingDBBase;
    const struct {
        bool dirty;
        CCfgSettingDBBase::ModifyAction action;
        const char* row;  // A,B,C,D after the write
        bool written;     // false: skipped as not dirty
    } kCases[] = {
        {true, DB::MA_NONE, "old,1,old,0", true},
        {true, DB::MA_MARKED_IGNORE_ONLY, "new,1,new,0", true},
        {true, DB::MA_NO_IGNORE_FIELDS, "new,2,new,0", true},
        {false, DB::MA_NONE, "old,1,old,1", false},
        {false, DB::MA_WRITE_CLEAN | DB::MA_MARKED_IGNORE_ONLY, "new,1,new,0", true},
    };
    for (const auto& c : kCases) {
        Exec("DELETE FROM T_Plain");
        Exec(
            "INSERT INTO T_Plain (CFG_INDEX, CFG_IGNORE_FIELDS, A, B, C, D) VALUES "
            "('ZOLT_PLC_NULL:S1', 'A;B###;C', 'old', 1, 'old', '1')");
        s->ResetDirtyFlag(c.dirty);
        std::vector<x_wstring> changed;
        DBG::CCaptureLog log;
        EXPECT_TRUE(db.SetConfiguration(Key(L"S1"), *s, &changed, c.action));
        Row r = RowOf("T_Plain", "ZOLT_PLC_NULL:S1");
        EXPECT_EQ(r["A"] + "," + r["B"] + "," + r["C"] + "," + r["D"], c.row) << c.action;
        EXPECT_EQ(HasLine(log, DBG::LVL_INFO, L"Setting is not dirty"), !c.written);
        EXPECT_EQ(changed, c.written ? W({L"S1"}) : W({}));
    }

    // A field without a column is logged; the write goes on with the next field.
    s->AddFieldValue(L"NOPE", CVar(5));
    s->AddFieldValue(L"Z", CVar(L"last"));
    DBG::CCaptureLog log;
    EXPECT_TRUE(db.SetConfiguration(Key(L"S2"), *s, nullptr, DB::MA_NONE));
    EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"DB Exception: Table T_Plain has no column "), 2u);
    EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING,
                        L"no column Z (a) when executing SetField(Z,last), if this happens when "
                        L"the server management is running"));
    EXPECT_EQ(RowOf("T_Plain", "ZOLT_PLC_NULL:S2")["A"], "new");
}

TEST_P(GenericDatabaseTest, ReferenceFieldsCascadeOnWriteReadAndDelete) {
    CCfgSettingGenericDatabase& db = Open();
    auto make = [](const wchar_t* category, const wchar_t* subject, const wchar_t* field,
                   const wchar_t* value) {
        auto s = Make(category, subject);
        s->AddFieldValue(field, CVar(value));
        return s;
    };
    auto child = make(L"T_Child", L"C1", L"X", L"hello");
    auto item1 = make(L"T_Item", L"I1", L"NAME", L"one");
    auto item2 = make(L"T_Item", L"I2", L"NAME", L"two");
    auto owner = make(L"T_Owner", L"O1", L"NAME", L"owner");
    ASSERT_TRUE(owner->AddFieldValue(x_wstring(L"CHILD_CFGSETTING"), *child));
    CCfgMVSettingCategoryRef mv;
    std::vector<CCfgSettingCategoryBase*> items{item1.get(), item2.get()};
    ASSERT_TRUE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), items));
    CVar copies;
    ASSERT_TRUE(mv.GetValueByFieldRef(copies, mv.GetRefSettingArray(), true));
    owner->AddFieldValue(L"ITEMS_CFGSETTING_MV", copies);

    std::vector<x_wstring> changed;
    ASSERT_TRUE(db.SetConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(changed, W({L"O1", L"C1", L"I1", L"I2"}));
    Row o = RowOf("T_Owner", "ZOLT_PLC_NULL:O1");
    EXPECT_EQ(o["CHILD_CFGSETTING"], "T_Child:C1");
    EXPECT_EQ(o["ITEMS_CFGSETTING_MV"], "T_Item:I1:T_Item:I2:");
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I2")["NAME"], "two");

    // Reading the owner follows the references: the fields hold copies read from their rows.
    Exec("UPDATE T_Child SET Y = 9");
    auto back = Make(L"T_Owner", L"O1");
    ASSERT_TRUE(db.GetConfiguration(Key(L"O1"), *back));
    auto childBack = Make(L"T_Child", L"");
    ASSERT_TRUE(back->GetFieldValue(x_wstring(L"CHILD_CFGSETTING"), *childBack));
    EXPECT_EQ(childBack->GetSubjectID().ToString(), L"C1");
    EXPECT_EQ(Field(*childBack, L"Y"), CVar(9));
    CCfgMVSettingCategoryRef mvBack;
    CVar itemsBack = Field(*back, L"ITEMS_CFGSETTING_MV");
    ASSERT_TRUE(mvBack.GetFieldRefByValue(mvBack.GetRefSettingArray(), itemsBack));
    ASSERT_EQ(mvBack.GetRefSettingArray().size(), 2u);
    EXPECT_EQ(Field(*mvBack.GetRefSettingArray()[1]->GetRefValue().m_pSetting, L"NAME"),
              CVar(L"two"));

    // Deleting the owner deletes what it references first; only its own subject is reported.
    std::vector<x_wstring> removed;
    db.RemoveConfiguration(Key(L"O1"), L"T_Owner", &removed);
    EXPECT_EQ(removed, W({L"O1"}));
    EXPECT_TRUE(Keys("T_Owner").empty());
    EXPECT_TRUE(Keys("T_Child").empty());
    EXPECT_TRUE(Keys("T_Item").empty());
}

namespace {
// Records the rows an apply-all write reports and answers with `m_bGoOn`; `m_onFirst` runs
// when the first row is reported.
class CRowRecorder : public CCfgSettingDBBase::CCfgIndexCallback {
  public:
    explicit CRowRecorder(bool goOn) : m_bGoOn(goOn) {}
    bool operator()(const CCfgIndex& index) override {
        m_rows.push_back(index.GetIndexValueWithServerName());
        if (m_rows.size() == 1 && m_onFirst) m_onFirst();
        return m_bGoOn;
    }
    bool m_bGoOn;
    std::function<void()> m_onFirst;
    std::vector<x_wstring> m_rows;
};
}  // namespace

TEST_P(GenericDatabaseTest, ApplyAllWritesEveryRowUntilTheCallbackStops) {
    CCfgSettingGenericDatabase& db = Open();
    CCfgSettingApplyAll all(L"T_Plain");
    all.AddFieldValue(L"A", CVar(L"all"));

    CRowRecorder none(true);
    EXPECT_TRUE(db.SetConfiguration(L"SRV", L"T_Plain", all, &none));
    EXPECT_TRUE(none.m_rows.empty());

    Exec("INSERT INTO T_Plain (CFG_INDEX, A) VALUES ('P:R1','r1'), ('P:R2','r2'), ('P:R3','r3')");
    CRowRecorder stop(false);
    EXPECT_FALSE(db.SetConfiguration(L"SRV", L"T_Plain", all, &stop));
    // A stopped walk ends the operation: no second attempt, the first row reported once.
    EXPECT_EQ(stop.m_rows, W({L"SRV:P:R1"}));
    std::vector<std::string> a;
    for (Row& r : Rows("T_Plain")) a.push_back(r["A"]);
    EXPECT_EQ(a, (std::vector<std::string>{"all", "r2", "r3"}));

    // A database fault after the first row makes the guard walk again; no row is reported twice.
    CRowRecorder goOn(true);
    goOn.m_onFirst = [] { CDBFaultInjector::FailNext(Op::kUpdate); };
    EXPECT_TRUE(db.SetConfiguration(L"SRV", L"T_Plain", all, &goOn));
    EXPECT_EQ(goOn.m_rows, W({L"SRV:P:R1", L"SRV:P:R2", L"SRV:P:R3"}));
    a.clear();
    for (Row& r : Rows("T_Plain")) a.push_back(r["A"]);
    EXPECT_EQ(a, (std::vector<std::string>{"all", "all", "all"}));

    // The walk left the table at its end; a row is still found afterwards, not re-added.
    auto s = Make(L"T_Plain", L"R2");
    EXPECT_TRUE(db.GetExistConfiguration(Key(L"R2", L"P"), *s));
    EXPECT_EQ(Field(*s, L"A"), CVar(L"all"));
}

TEST_P(GenericDatabaseTest, DateDefaultsOfAddedRowsReadBackAsDates) {
    // On SQLite T_Old comes from a database that gave its date column a text default.
    if (!Pg())
        Exec(
            "CREATE TABLE T_Old (CFG_INDEX TEXT NOT NULL COLLATE NOCASE PRIMARY KEY, "
            "D DATE DEFAULT '1899-12-30')");
    testsupport::WriteFile(m_home / "config" / "dbSchema_Conf.xml",
                           "<database><schema><table name=\"T_New\">"
                           "<column name=\"D\" type=\"date\" default=\"1899-12-30\"/>"
                           "<column name=\"E\" type=\"date\" default=\"2024-02-29 12:00:00\"/>"
                           "</table><table name=\"T_Old\">"
                           "<column name=\"D\" type=\"date\" default=\"1899-12-30\"/>"
                           "</table></schema></database>");
    CCfgSettingGenericDatabase& db = Open();
    auto added = Make(L"T_New", L"S1");
    ASSERT_TRUE(db.GetConfiguration(Key(L"S1"), *added));
    EXPECT_EQ(Field(*added, L"D"), CVar::FromDate(0.0));
    EXPECT_EQ(Field(*added, L"E"), CVar::FromDate(45351.5));
    auto old = Make(L"T_Old", L"S1");
    ASSERT_TRUE(db.GetConfiguration(Key(L"S1"), *old));
    EXPECT_EQ(Field(*old, L"D"), CVar::FromDate(0.0));
    // New defaults are stored as numbers, as written dates are; an old text default stays text.
    EXPECT_EQ(RowOf("T_New", "ZOLT_PLC_NULL:S1")["E"], "45351.5");
    EXPECT_EQ(RowOf("T_Old", "ZOLT_PLC_NULL:S1")["D"], Pg() ? "0" : "1899-12-30");
}

TEST_P(GenericDatabaseTest, ColumnDumpWritesNameCountAndEveryRowPerColumn) {
    CCfgSettingGenericDatabase& db = Open();
    Exec(
        "INSERT INTO T_Plain (CFG_INDEX, A, B) VALUES ('P:1','x',1), ('P:2','y',2), "
        "('P:3',NULL,3)");
    CIPCMsgBuffer buf;
    ASSERT_TRUE(db.GetConfiguration(L"ignored", L"T_Plain", W({L"B", L"A"}), buf));
    // Per column: its name, the row count, then each row's value as kind (2 bytes) and payload
    // (VT_I4 1, 2, 3; VT_BSTR "x", "y"; NULL is VT_EMPTY without payload).
    EXPECT_EQ(testsupport::Bytes(buf),
              testsupport::FromHex("01000000 42 03000000 0300 01000000 0300 02000000 0300 03000000"
                                   " 01000000 41 03000000 0800 01000000 78 0800 01000000 79 0000"));
    // A column the table lacks reads as empty in every row.
    CIPCMsgBuffer lacking;
    ASSERT_TRUE(db.GetConfiguration(L"ignored", L"T_Plain", W({L"Z"}), lacking));
    EXPECT_EQ(testsupport::Bytes(lacking),
              testsupport::FromHex("01000000 5A 03000000 0000 0000 0000"));

    CIPCMsgBuffer none;
    DBG::CCaptureLog log;
    EXPECT_FALSE(db.GetConfiguration(L"SRV", L"T_Missing", W({L"A"}), none));
    EXPECT_EQ(CountLines(log, DBG::LVL_ERROR, L"can't open database"), 2u);
}

TEST_P(GenericDatabaseTest, DatabaseFaultClosesTablesAndTheSecondAttemptReopens) {
    CCfgSettingGenericDatabase& db = Open();
    Exec("INSERT INTO T_Plain (CFG_INDEX, A) VALUES ('ZOLT_PLC_NULL:S1', 'stored')");
    EXPECT_EQ(db.GetOpenTableCount(), 4u);
    auto s = Make(L"T_Plain", L"S1");
    {
        DBG::CCaptureLog log;
        CDBFaultInjector::FailNext(Op::kSeek, 1);
        EXPECT_TRUE(db.GetConfiguration(Key(L"S1"), *s));
        EXPECT_EQ(Field(*s, L"A"), CVar(L"stored"));
        EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"DB Exception: Injected failure of Seek on"),
                  1u);
        EXPECT_EQ(db.GetOpenTableCount(), 1u);  // all closed, T_Plain reopened
    }
    {
        DBG::CCaptureLog log;
        CDBFaultInjector::FailNext(Op::kSeek, 2);
        EXPECT_FALSE(db.GetConfiguration(Key(L"S1"), *s));
        EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"DB Exception: "), 2u);
        EXPECT_EQ(db.GetOpenTableCount(), 0u);
    }
    {
        // A delete makes one attempt.
        DBG::CCaptureLog log;
        CDBFaultInjector::FailNext(Op::kDelete, 1);
        db.RemoveConfiguration(Key(L"S1"), L"T_Plain", nullptr);
        EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"DB Exception: Injected failure of "), 1u);
        EXPECT_EQ(Keys("T_Plain").size(), 1u);
    }
}

// A write batch is one transaction: a failed write rolls back the writes before it, and the
// later ones are refused; a committed batch is visible to another connection.
TEST_P(GenericDatabaseTest, WriteBatchIsDurableWholeOrNotAtAll) {
    CCfgSettingGenericDatabase& db = Open();
    auto s = Make(L"T_Plain", L"S1");
    s->AddFieldValue(L"A", CVar(L"v"));
    const auto write = [&](const wchar_t* subject) {
        return db.SetConfiguration(Key(subject), *s, nullptr, CCfgSettingDBBase::MA_NONE);
    };
    {
        CCfgSettingGenericDatabase::CWriteBatch batch(db);
        EXPECT_TRUE(write(L"S1"));
        CDBFaultInjector::FailNext(Op::kUpdate, 1);
        DBG::CCaptureLog log;
        EXPECT_FALSE(write(L"S2"));
        EXPECT_FALSE(write(L"S3"));
        EXPECT_FALSE(batch.Commit());
        EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, L"the batch is rolled back"));
    }
    EXPECT_TRUE(Keys("T_Plain").empty());
    {
        CCfgSettingGenericDatabase::CWriteBatch batch(db);
        EXPECT_TRUE(write(L"S1"));
        EXPECT_TRUE(write(L"S2"));
        EXPECT_TRUE(batch.Commit());
    }
    EXPECT_EQ(Keys("T_Plain"), (std::vector<std::string>{"ZOLT_PLC_NULL:S1", "ZOLT_PLC_NULL:S2"}));
}

TEST_P(GenericDatabaseTest, WriteEndsAtOnceWhenTheConnectionIsLost) {
    CCfgSettingGenericDatabase& db = Open();
    auto s = Make(L"T_Plain", L"S1");
    s->AddFieldValue(L"A", CVar(L"v"));
    {
        DBG::CCaptureLog log;
        CDBFaultInjector::LoseConnectionAt(Op::kUpdate);
        EXPECT_FALSE(db.SetConfiguration(Key(L"S1"), *s, nullptr, CCfgSettingDBBase::MA_NONE));
        EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"was lost during Update (injected) (6)"), 1u);
        EXPECT_TRUE(HasLine(log, DBG::LVL_INFO,
                            L"The exception is caused by DB connection lost, do not clear cache"));
        EXPECT_EQ(db.GetOpenTableCount(), 4u);  // the tables were kept
    }
    // While the status is not OK the writers refuse before waiting; readers still try.
    ASSERT_FALSE(CGenericDatabase::IsDBStatusOK());
    std::vector<x_wstring> changed;
    EXPECT_FALSE(db.SetConfiguration(Key(L"S1"), *s, &changed, CCfgSettingDBBase::MA_NONE));
    EXPECT_FALSE(db.ResetToDefault(Key(L"S1"), *s, &changed));
    EXPECT_TRUE(changed.empty());
    ASSERT_TRUE(CGenericDatabase::ProbeLostConnections());
    EXPECT_TRUE(db.SetConfiguration(Key(L"S1"), *s, nullptr, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(RowOf("T_Plain", "ZOLT_PLC_NULL:S1")["A"], "v");
}

// Moving the home to the other provider's database copies every value of every kind, checks it,
// and switches the home; a second move into the now filled database is refused.
TEST_P(GenericDatabaseTest, MigrationCopiesEveryValueAndSwitchesTheHome) {
    Open();  // the store brings the schema in
    m_db.reset();
    Exec(
        "INSERT INTO T_Plain (CFG_INDEX, A, B, D) VALUES ('P:1', 'Zürich', 5, '0'), ('P:2', "
        "NULL, -7, '1'); INSERT INTO T_Child (CFG_INDEX, X) VALUES ('P:3', 'x')");
    const auto target = m_tmp / "sqlite.xml";
    testsupport::WriteFile(
        target, R"(<connection provider="sqlite"><database file="data/moved.db"/></connection>)");
    const auto moved = CCfgDatabaseMigration::Run(m_home.string(), target.string(), {});
    EXPECT_EQ(moved.rows, 3u);
    EXPECT_EQ(moved.to, "sqlite " + (m_home / "data/moved.db").string());
    CCfgSettingGenericDatabase& db = Open();
    EXPECT_EQ(OS::WideToUtf8(db.GetProvider()), "sqlite");
    auto s = Make(L"T_Plain", L"1");
    ASSERT_TRUE(db.GetExistConfiguration(Key(L"1", L"P"), *s));
    EXPECT_EQ(Field(*s, L"A"), CVar(L"Zürich"));
    EXPECT_EQ(Field(*s, L"D"), CVar(false));
    EXPECT_THROW(CCfgDatabaseMigration::Run(m_home.string(), target.string(), {}), CDBException);
}

TEST_P(GenericDatabaseTest, ConstructionFindsTheSchemaAndRejectsOneThatIsNotXml) {
    {
        DBG::CCaptureLog log;
        Open();
        EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"open table T_Item successfully"));
        m_db.reset();
    }
    // Without the registry value the schema is found beside the connection file's folder.
    std::filesystem::remove(m_registry);
    {
        DBG::CCaptureLog log;
        Open();
        EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"reg.QueryValue HomeDir fail"));
        EXPECT_EQ(m_db->GetOpenTableCount(), 4u);
        m_db.reset();
    }
    // A connection that brings no table in: each table of the store's schema is named.
    testsupport::WriteFile(m_home / "config" / "dbconf_Conf.xml",
                           "<connection provider=\"sqlite\"><database file=\"data/none.db\"/>"
                           "<schema file=\"config/none.xml\"/></connection>");
    {
        DBG::CCaptureLog log;
        Open();
        EXPECT_TRUE(HasLine(log, DBG::LVL_ERROR, L"can't open table T_Item"));
        EXPECT_EQ(m_db->GetOpenTableCount(), 0u);
        m_db.reset();
    }
    // A home whose schema file is not XML.
    std::filesystem::path other = m_tmp / "other";
    testsupport::WriteFile(other / "config" / "dbSchema_Conf.xml", "this is not XML");
    testsupport::WriteSampleRegistry(m_registry, other);
    DBG::CCaptureLog log;
    EXPECT_EQ(testsupport::CaughtCode<CDBException>([&] { Open(); }), 2);
    EXPECT_TRUE(
        HasLine(log, DBG::LVL_INFO,
                L"get CFG DB Schema from " +
                    x_wstring::FromUtf8((other / "config" / "dbSchema_Conf.xml").string())));
}

TEST_P(GenericDatabaseTest, ConcurrentHolderOfTheStoreMutexMakesOperationsTimeOut) {
    auto s = Make(L"T_Plain", L"S1");
    s->AddFieldValue(L"A", CVar(L"v"));
    DBG::CCaptureLog log;
    // A store whose mutex could not be made refuses everything; only the readers name the wait.
    CCfgSettingGenericDatabase::FailNextMutexCreation();
    CCfgSettingGenericDatabase& broken = Open();
    EXPECT_TRUE(HasLine(log, DBG::LVL_FATAL, L"Fatal error: Mutex Create failed."));
    EXPECT_FALSE(broken.GetConfiguration(Key(L"S1"), *s));
    EXPECT_FALSE(broken.SetConfiguration(Key(L"S1"), *s, nullptr, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(CountLines(log, DBG::LVL_WARNING, L"WaitForSingleObject() return: -1"), 1u);
    EXPECT_TRUE(Keys("T_Plain").empty());

    CCfgSettingGenericDatabase& db = Open();
    db.SetMutexWaitTimeout(std::chrono::milliseconds(20));
    std::promise<void> held, release;
    std::thread holder([&] {
        db.GetStoreMutex()->lock();
        held.set_value();
        release.get_future().wait();
        db.GetStoreMutex()->unlock();
    });
    held.get_future().wait();
    EXPECT_FALSE(db.GetConfiguration(Key(L"S1"), *s));
    EXPECT_FALSE(db.SetConfiguration(Key(L"S1"), *s, nullptr, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(CountLines(log, DBG::LVL_WARNING,
                         L"dwReturn = WAIT_TIMEOUT, Possible hang, abort current function "
                         L"executing."),
              2u);
    release.set_value();
    holder.join();
    EXPECT_TRUE(db.SetConfiguration(Key(L"S1"), *s, nullptr, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(RowOf("T_Plain", "ZOLT_PLC_NULL:S1")["A"], "v");
}

namespace {
// A setting whose field reads throw something other than a database exception.
class CThrowingSetting : public CCfgSettingCategoryFake {
  public:
    CThrowingSetting() : CCfgSettingCategoryFake(L"T_Plain") {}
    using CCfgSettingCategoryFake::GetFieldValue;
    bool GetFieldValue(const x_wstring& name, CVar& out) const override {
        if (name == L"BAD") throw OS::CException(77, OS_WFILE, __LINE__, L"bad field");
        return CCfgSettingCategoryFake::GetFieldValue(name, out);
    }
};
INSTANTIATE_TEST_SUITE_P(Providers, GenericDatabaseTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace

TEST_P(GenericDatabaseTest, ConcurrentUseAfterAForeignExceptionFindsTheMutexFree) {
    CCfgSettingGenericDatabase& db = Open();
    db.SetMutexWaitTimeout(std::chrono::milliseconds(200));
    CThrowingSetting bad;
    bad.SetSubjectID(L"S1");
    bad.AddFieldValue(L"BAD", CVar(1));
    EXPECT_EQ(testsupport::CaughtCode<OS::CException>([&] {
                  db.SetConfiguration(Key(L"S1"), bad, nullptr, CCfgSettingDBBase::MA_NONE);
              }),
              77);
    std::thread other([&] {
        auto s = Make(L"T_Plain", L"S2");
        EXPECT_TRUE(db.GetConfiguration(Key(L"S2"), *s));
    });
    other.join();
}
