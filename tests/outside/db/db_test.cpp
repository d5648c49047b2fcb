// Tests of the generic database layer: tables and columns made from the schema file, the kinds
// columns read back as, walking and seeking, writes seen by the next read, bad connection,
// schema and database files, and the busy timeout.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using RS = std::unique_ptr<CModifiableRecordSet>;

namespace {

x_wstring W(const std::filesystem::path& p) {
    return x_wstring::FromUtf8(p.string());
}

template <class F>
CDBException Catch(F f) {
    try {
        f();
    } catch (const CDBException& e) {
        return e;
    }
    ADD_FAILURE() << "no CDBException";
    return CDBException(0, L"", 0);
}

class DbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::CreateSampleHome(m_home.Path());
        CDBFaultInjector::Reset();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(0));
    }
    void TearDown() override { CDBFaultInjector::Reset(); }

    x_wstring ConnFile() const { return W(m_home / "config/dbconf_Conf.xml"); }
    std::unique_ptr<CGenericDatabase> Open(bool create = true) {
        auto db = std::make_unique<CGenericDatabase>(ConnFile(), create);
        db->Initialize();
        return db;
    }
    static RS Table(CGenericDatabase& db, const wchar_t* name) {
        CModifiableRecordSet* rs = nullptr;
        EXPECT_TRUE(db.OpenTable(name, rs)) << "table " << OS::WideToUtf8(name);
        return RS(rs);
    }
    static void AddRow(CModifiableRecordSet& rs, const wchar_t* key) {
        rs.AddNew();
        rs.SetFieldValue(L"CFG_INDEX", CVar(key));
        rs.Update();
    }

    testsupport::CTempDir m_home;
};

}  // namespace

TEST_F(DbTest, InitializeCreatesTheSchemaTablesWithTypedColumns) {
    auto db = Open();
    EXPECT_TRUE(std::filesystem::exists(m_home / "data/config.db"));
    EXPECT_EQ(W(m_home / "data/config.db"), db->GetDatabaseFile());
    EXPECT_EQ(W(m_home / "config/dbSchema_Conf.xml"), db->GetSchemaFile());

    RS rs = Table(*db, L"QV_VirtualServerEnvironment");
    ASSERT_EQ(6, rs->GetFieldCount());
    const wchar_t* names[] = {L"CFG_INDEX",           L"VSE_LOG_FILENAME", L"VSE_CFG_FILENAME",
                              L"VSE_REPORT_FILENAME", L"VSE_ROOT_FOLDER",  L"VSE_SERVER_STATUS"};
    for (long i = 0; i < 6; ++i) EXPECT_EQ(x_wstring(names[i]), rs->GetFieldName(i));
    EXPECT_EQ(VT_BSTR, rs->GetFieldType(0));
    EXPECT_EQ(VT_BOOL, rs->GetFieldType(5));
    EXPECT_TRUE(rs->IsEOF());
    EXPECT_EQ(0, rs->GetRecordCount());
    EXPECT_EQ(5, rs->GetFieldIndex(L"vse_server_status"));
    EXPECT_EQ(-1, rs->GetFieldIndex(L"VSE_NOTHING"));
    EXPECT_EQ(CDBException::kNoSuchColumn, Catch([&] { rs->GetFieldName(6); }).GetErrorCode());

    RS vs = Table(*db, L"QV_VirusScan");
    EXPECT_EQ(VT_I2, vs->GetFieldType(vs->GetFieldIndex(L"VS_ACTION")));
    EXPECT_EQ(VT_I4, vs->GetFieldType(vs->GetFieldIndex(L"VS_MAX_SIZE")));
    EXPECT_EQ(VT_DATE, vs->GetFieldType(vs->GetFieldIndex(L"VS_LAST_UPDATE")));
    for (const wchar_t* t : {L"QV_ContentFilter", L"QV_ContentFilterRule", L"QV_INMEMORY"}) {
        RS other = Table(*db, t);
        EXPECT_EQ(x_wstring(L"CFG_INDEX"), other->GetFieldName(0));
    }

    CModifiableRecordSet* missing = reinterpret_cast<CModifiableRecordSet*>(1);
    EXPECT_FALSE(db->OpenTable(L"QV_NoSuchCategory", missing));
    EXPECT_EQ(nullptr, missing);
}

TEST_F(DbTest, ColumnKindsRoundTripAndNewRowsHoldDefaults) {
    DATE when = 0;
    ASSERT_TRUE(CalendarToVariantTime({2024, 2, 29, 13, 45, 10}, when));
    {
        auto db = Open();
        RS rs = Table(*db, L"QV_VirusScan");
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS"));
        rs->SetFieldValue(L"VS_ENABLE_VIRUSSCAN", CVar(false));
        rs->SetFieldValue(L"VS_ACTION", CVar(L"3"));  // converted to the column's kind
        rs->SetFieldValue(L"VS_MAX_SIZE", CVar(70000));
        rs->SetFieldValue(L"VS_QUARANTINE_FOLDER", CVar(L"/srv/q/\u00E9\u4E2D"));
        rs->SetFieldValue(L"VS_LAST_UPDATE", CVar::FromDate(when));
        rs->SetFieldValue(L"VS_EXCLUDED_EXTENSIONS", CVar());  // NULL
        rs->Update();
        // The written row is current, read back as stored.
        EXPECT_EQ(CVar(short{3}), rs->GetFieldValue(L"VS_ACTION"));

        AddRow(*rs, L"ZOLT_PLC_NULL:ZOLT_SUB_DEFAULTS");  // only the key: defaults elsewhere
        EXPECT_EQ(CVar(true), rs->GetFieldValue(L"VS_ENABLE_VIRUSSCAN"));
        EXPECT_EQ(CVar(short{1}), rs->GetFieldValue(L"VS_ACTION"));
        EXPECT_EQ(CVar(10240), rs->GetFieldValue(L"VS_MAX_SIZE"));
        EXPECT_EQ(CVar(L"quarantine"), rs->GetFieldValue(L"VS_QUARANTINE_FOLDER"));
        EXPECT_EQ(CVar::FromDate(0.0), rs->GetFieldValue(L"VS_LAST_UPDATE"));
        EXPECT_EQ(CVar(L""), rs->GetFieldValue(L"CFG_IGNORE_FIELDS"));
        EXPECT_EQ(CVar(L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_DEFAULT"),
                  rs->GetFieldValue(L"CFG_DEFAULT_INSTANCE"));

        RS mem = Table(*db, L"QV_INMEMORY");
        mem->AddNew();
        mem->SetFieldValue(L"CFG_INDEX", CVar(L"P:S"));
        mem->SetFieldValue(L"INM_VAIRANT", CVar(12345));  // a number kept as its text
        mem->Update();
    }
    // A fresh connection reads exactly what was committed.
    auto db = Open();
    RS rs = Table(*db, L"QV_VirusScan");
    ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS")));
    EXPECT_EQ(CVar(false), rs->GetFieldValue(L"VS_ENABLE_VIRUSSCAN"));
    EXPECT_EQ(CVar(short{3}), rs->GetFieldValue(L"VS_ACTION"));
    EXPECT_EQ(CVar(70000), rs->GetFieldValue(L"VS_MAX_SIZE"));
    EXPECT_EQ(CVar(L"/srv/q/\u00E9\u4E2D"), rs->GetFieldValue(L"VS_QUARANTINE_FOLDER"));
    EXPECT_EQ(CVar::FromDate(when), rs->GetFieldValue(L"VS_LAST_UPDATE"));
    EXPECT_EQ(VT_EMPTY, rs->GetFieldValue(L"VS_EXCLUDED_EXTENSIONS").vt());
    EXPECT_EQ(VT_EMPTY, rs->GetFieldValue(L"NOT_A_COLUMN").vt());
    RS mem = Table(*db, L"QV_INMEMORY");
    EXPECT_EQ(CVar(L"12345"), mem->GetFieldValue(L"INM_VAIRANT"));

    // Values that do not fit, and columns that do not exist, are refused before anything is
    // written; the row stays as it was.
    CDBException e = Catch([&] { rs->SetFieldValue(L"VS_MAX_SIZE", CVar(L"lots")); });
    EXPECT_EQ(CDBException::kConversion, e.GetErrorCode());
    EXPECT_NE(x_wstring::npos, e.GetErrorMsg().find(L"VS_MAX_SIZE"));
    EXPECT_EQ(CDBException::kConversion,
              Catch([&] { rs->SetFieldValue(L"VS_ACTION", CVar(100000)); }).GetErrorCode());
    EXPECT_EQ(CDBException::kNoSuchColumn,
              Catch([&] { rs->SetFieldValue(L"VS_GONE", CVar(1)); }).GetErrorCode());
    rs->Update();
    EXPECT_EQ(CVar(70000), rs->GetFieldValue(L"VS_MAX_SIZE"));
}

TEST_F(DbTest, BytesColumnsKeepEmptyApartFromNull) {
    testsupport::WriteFile(m_home / "config/dbSchema_Conf.xml",
                           "<database><schema><table name=\"T\">"
                           "<column name=\"B\" type=\"bytes\"/>"
                           "<column name=\"BD\" type=\"bytes\" default=\"00FF\"/>"
                           "<column name=\"N\" type=\"int64\"/><column name=\"D\" type=\"double\"/>"
                           "</table></schema></database>");
    auto db = Open();
    RS rs = Table(*db, L"T");
    AddRow(*rs, L"null");
    rs->AddNew();
    rs->SetFieldValue(L"CFG_INDEX", CVar(L"empty"));
    rs->SetFieldValue(L"B", CVar::FromBytes(std::vector<uint8_t>{}));
    rs->Update();
    rs->AddNew();
    rs->SetFieldValue(L"CFG_INDEX", CVar(L"full"));
    rs->SetFieldValue(L"B", CVar::FromBytes(std::vector<uint8_t>{0, 1, 0xFE, 0}));
    rs->SetFieldValue(L"N", CVar::FromI8(1LL << 40));
    rs->SetFieldValue(L"D", CVar::FromR8(0.1));
    rs->Update();

    RS again = Table(*db, L"T");
    EXPECT_EQ(VT_EMPTY, again->GetFieldValue(L"B").vt());
    EXPECT_EQ(CVar::FromBytes(std::vector<uint8_t>{0x00, 0xFF}), again->GetFieldValue(L"BD"));
    ASSERT_TRUE(again->Seek(L"CFG_INDEX", CVar(L"empty")));
    EXPECT_EQ(CVar::FromBytes(std::vector<uint8_t>{}), again->GetFieldValue(L"B"));
    ASSERT_TRUE(again->Seek(L"CFG_INDEX", CVar(L"full")));
    EXPECT_EQ(CVar::FromBytes(std::vector<uint8_t>{0, 1, 0xFE, 0}), again->GetFieldValue(L"B"));
    EXPECT_EQ(CVar::FromI8(1LL << 40), again->GetFieldValue(L"N"));
    EXPECT_EQ(CVar::FromR8(0.1), again->GetFieldValue(L"D"));
    EXPECT_EQ(CDBException::kConversion,
              Catch([&] { again->SetFieldValue(L"B", CVar(L"text")); }).GetErrorCode());
}

TEST_F(DbTest, WalkAndSeekFollowTheTableOrder) {
    auto db = Open();
    RS rs = Table(*db, L"QV_ContentFilterRule");
    const wchar_t* keys[] = {L"P:RULE_C", L"P:RULE_A", L"P:RULE_B"};
    int priority = 0;
    for (const wchar_t* k : keys) {
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(k));
        rs->SetFieldValue(L"CFR_PRIORITY", CVar(++priority * 10));
        rs->Update();
    }
    EXPECT_EQ(3, rs->GetRecordCount());

    std::vector<x_wstring> walked;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        walked.push_back(rs->GetFieldValue(0L).ToString());
    }
    EXPECT_EQ((std::vector<x_wstring>{L"P:RULE_C", L"P:RULE_A", L"P:RULE_B"}), walked);
    rs->MoveNext();  // past the end stays at the end
    EXPECT_TRUE(rs->IsEOF());
    EXPECT_EQ(CDBException::kNoCurrentRow, Catch([&] { rs->GetFieldValue(0L); }).GetErrorCode());

    // The key is found without regard to ASCII case; a missed seek keeps the current row.
    ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(L"p:rule_a")));
    EXPECT_EQ(CVar(20), rs->GetFieldValue(L"CFR_PRIORITY"));
    EXPECT_FALSE(rs->Seek(L"CFG_INDEX", CVar(L"P:RULE_Z")));
    EXPECT_FALSE(rs->IsEOF());
    EXPECT_EQ(CVar(L"P:RULE_A"), rs->GetFieldValue(L"CFG_INDEX"));
    EXPECT_FALSE(rs->Seek(L"CFG_INDEX", CVar()));
    rs->MoveNext();
    EXPECT_EQ(CVar(L"P:RULE_B"), rs->GetFieldValue(L"CFG_INDEX"));
    // Other columns are sought by value, converted to the column's kind.
    ASSERT_TRUE(rs->Seek(L"CFR_PRIORITY", CVar(L"30")));
    EXPECT_EQ(CVar(L"P:RULE_B"), rs->GetFieldValue(L"CFG_INDEX"));
    EXPECT_FALSE(rs->Seek(L"CFR_PRIORITY", CVar(L"not a number")));
    EXPECT_EQ(CDBException::kNoSuchColumn,
              Catch([&] { rs->Seek(L"CFR_NOTHING", CVar(1)); }).GetErrorCode());
}

// Writes made while a walk is under way, through the walking record set, another record set of
// the same database, another database of this process and a connection outside the layer: the
// walk goes on after its current row, meets every remaining row once, with its latest values.
TEST_F(DbTest, WritesDuringAWalkAreSeenAndEveryRowIsMetOnce) {
    auto db = Open();
    auto second = Open();
    RS rs = Table(*db, L"QV_ContentFilterRule");
    RS other = Table(*db, L"QV_ContentFilterRule");
    RS elsewhere = Table(*second, L"QV_ContentFilterRule");
    auto key = [](int i) { return x_wstring(L"P:R") + std::to_wstring(i); };
    for (int i = 0; i < 8; ++i) {
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(key(i)));
        rs->SetFieldValue(L"CFR_PRIORITY", CVar(i));
        rs->Update();
    }
    sqlite3* outside = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_home / "data/config.db").c_str(), &outside));
    auto priority = [&](CModifiableRecordSet& set, int i, int value) {
        ASSERT_TRUE(set.Seek(L"CFG_INDEX", CVar(key(i))));
        set.SetFieldValue(L"CFR_PRIORITY", CVar(value));
        set.Update();
    };

    std::vector<std::pair<x_wstring, int>> walked;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        x_wstring k = rs->GetFieldValue(L"CFG_INDEX").ToString();
        walked.emplace_back(k, rs->GetFieldValue(L"CFR_PRIORITY").ToI4());
        if (k == key(1)) {  // the current row changed
            rs->SetFieldValue(L"CFR_PRIORITY", CVar(100));
            rs->Update();
        } else if (k == key(2)) {  // the current row deleted
            rs->Delete();
        } else if (k == key(3)) {  // rows ahead changed, deleted and added by another record set
            ASSERT_TRUE(other->Seek(L"CFG_INDEX", CVar(key(4))));
            other->Delete();
            priority(*other, 5, 500);
            AddRow(*other, key(9).c_str());
        } else if (k == key(5)) {  // a row ahead changed by another database of this process
            priority(*elsewhere, 6, 600);
        } else if (k == key(6)) {
            // A row ahead changed outside the layer, then the current row written: the write
            // must not meet the walk's older read of the file.
            ASSERT_EQ(SQLITE_OK, sqlite3_exec(outside,
                                              "UPDATE QV_ContentFilterRule SET CFR_PRIORITY = 700 "
                                              "WHERE CFG_INDEX = 'P:R7'",
                                              nullptr, nullptr, nullptr));
            rs->SetFieldValue(L"CFR_PRIORITY", CVar(601));
            rs->Update();
        } else if (k == key(9)) {  // a row added by the walking record set becomes current
            AddRow(*rs, key(10).c_str());
            EXPECT_EQ(CVar(key(10)), rs->GetFieldValue(L"CFG_INDEX"));
        }
    }
    sqlite3_close(outside);
    EXPECT_EQ((std::vector<std::pair<x_wstring, int>>{{key(0), 0},
                                                      {key(1), 1},
                                                      {key(2), 2},
                                                      {key(3), 3},
                                                      {key(5), 500},
                                                      {key(6), 600},
                                                      {key(7), 700},
                                                      {key(9), 0}}),
              walked);

    std::vector<std::pair<x_wstring, int>> after;
    for (elsewhere->MoveFirst(); !elsewhere->IsEOF(); elsewhere->MoveNext()) {
        after.emplace_back(elsewhere->GetFieldValue(0L).ToString(),
                           elsewhere->GetFieldValue(L"CFR_PRIORITY").ToI4());
    }
    EXPECT_EQ((std::vector<std::pair<x_wstring, int>>{{key(0), 0},
                                                      {key(1), 100},
                                                      {key(3), 3},
                                                      {key(5), 500},
                                                      {key(6), 601},
                                                      {key(7), 700},
                                                      {key(9), 0},
                                                      {key(10), 0}}),
              after);
}

// A walk holds a read of the file only while it is under way: once it ends, once the record set
// goes back to its first row, or once anything else uses the database, another connection can
// checkpoint the whole journal into the file.
TEST_F(DbTest, AWalkKeepsNoReadOpenOnceItEndsOrTheDatabaseIsUsed) {
    auto db = Open();
    RS rs = Table(*db, L"QV_ContentFilter");
    RS other = Table(*db, L"QV_VirusScan");
    for (const wchar_t* k : {L"P:A", L"P:B", L"P:C"}) AddRow(*rs, k);
    sqlite3* outside = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_home / "data/config.db").c_str(), &outside));
    auto checkpoint = [&] {
        return sqlite3_wal_checkpoint_v2(outside, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                         nullptr);
    };
    auto write = [&] {  // puts pages in the journal, so that a read of them pins it
        ASSERT_EQ(SQLITE_OK,
                  sqlite3_exec(outside, "UPDATE QV_ContentFilter SET CF_ACTION = CF_ACTION + 1",
                               nullptr, nullptr, nullptr));
    };

    write();
    rs->MoveFirst();
    rs->MoveNext();
    EXPECT_EQ(SQLITE_BUSY, checkpoint());  // the walk is under way
    rs->MoveNext();
    rs->MoveNext();
    ASSERT_TRUE(rs->IsEOF());
    EXPECT_EQ(SQLITE_OK, checkpoint());

    write();
    rs->MoveFirst();
    rs->MoveNext();
    rs->MoveFirst();
    EXPECT_EQ(SQLITE_OK, checkpoint());

    // Any other use of the database ends the walk's read; the walk then goes on where it was.
    for (auto use : std::vector<std::function<void()>>{
             [&] { other->GetRecordCount(); }, [&] { other->MoveFirst(); },
             [&] { other->Seek(L"CFG_INDEX", CVar(L"none")); },
             [&] {
                 CModifiableRecordSet* opened = nullptr;
                 ASSERT_TRUE(db->OpenTable(L"QV_INMEMORY", opened));
                 delete opened;
             }}) {
        write();
        rs->MoveFirst();
        rs->MoveNext();
        use();
        EXPECT_EQ(SQLITE_OK, checkpoint());
        rs->MoveNext();
        EXPECT_EQ(CVar(L"P:C"), rs->GetFieldValue(0L));
    }
    // So does closing the walking record set.
    write();
    rs->MoveFirst();
    rs->MoveNext();
    rs.reset();
    EXPECT_EQ(SQLITE_OK, checkpoint());
    sqlite3_close(outside);
}

TEST_F(DbTest, WritesAreSeenByTheNextReadOfAnyRecordSet) {
    auto db = Open();
    auto other = Open();  // a second connection to the same file
    RS rs = Table(*db, L"QV_ContentFilter");
    RS reader = Table(*other, L"QV_ContentFilter");
    EXPECT_TRUE(reader->IsEOF());

    AddRow(*rs, L"P:CF1");
    AddRow(*rs, L"P:CF2");
    AddRow(*rs, L"P:CF3");
    ASSERT_TRUE(reader->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    EXPECT_EQ(CVar(false), reader->GetFieldValue(L"CF_ENABLED"));

    // Change one column of the current row: only that column changes.
    ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    rs->SetFieldValue(L"CF_ENABLED", CVar(true));
    EXPECT_EQ(CVar(true), rs->GetFieldValue(L"CF_ENABLED"));  // staged values show at once
    rs->Update();
    ASSERT_TRUE(reader->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    EXPECT_EQ(CVar(true), reader->GetFieldValue(L"CF_ENABLED"));
    EXPECT_EQ(CVar(short{0}), reader->GetFieldValue(L"CF_ACTION"));

    // Staged values that are not committed are dropped by a move, and by CancelUpdate.
    rs->SetFieldValue(L"CF_ACTION", CVar(short{7}));
    rs->CancelUpdate();
    EXPECT_EQ(CVar(short{0}), rs->GetFieldValue(L"CF_ACTION"));
    rs->SetFieldValue(L"CF_ACTION", CVar(short{7}));
    rs->MoveFirst();
    rs->Update();  // nothing staged any more
    ASSERT_TRUE(reader->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    EXPECT_EQ(CVar(short{0}), reader->GetFieldValue(L"CF_ACTION"));

    // Adding a key that exists writes the new row's columns into the existing row.
    rs->AddNew();
    rs->SetFieldValue(L"CFG_INDEX", CVar(L"p:cf2"));
    rs->SetFieldValue(L"CF_ACTION", CVar(short{4}));
    rs->Update();
    EXPECT_EQ(3, reader->GetRecordCount());
    EXPECT_EQ(CVar(L"P:CF2"), rs->GetFieldValue(L"CFG_INDEX"));
    EXPECT_EQ(CVar(true), rs->GetFieldValue(L"CF_ENABLED"));  // kept
    EXPECT_EQ(CVar(short{4}), rs->GetFieldValue(L"CF_ACTION"));

    // Delete: the row goes at once, the walk goes on after it.
    ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    rs->Delete();
    rs->Update();  // nothing to commit after a delete
    EXPECT_FALSE(rs->IsEOF());
    EXPECT_EQ(CDBException::kNoCurrentRow, Catch([&] { rs->Delete(); }).GetErrorCode());
    rs->MoveNext();
    EXPECT_EQ(CVar(L"P:CF3"), rs->GetFieldValue(L"CFG_INDEX"));
    EXPECT_FALSE(reader->Seek(L"CFG_INDEX", CVar(L"P:CF2")));
    EXPECT_EQ(2, reader->GetRecordCount());

    // A row deleted by another connection cannot be updated through a stale current row.
    ASSERT_TRUE(reader->Seek(L"CFG_INDEX", CVar(L"P:CF3")));
    rs->Delete();
    reader->SetFieldValue(L"CF_ACTION", CVar(short{1}));
    EXPECT_EQ(CDBException::kNoCurrentRow, Catch([&] { reader->Update(); }).GetErrorCode());

    // Deleting every row the way a reset of a category does.
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveFirst()) rs->Delete();
    EXPECT_EQ(0, reader->GetRecordCount());
}

TEST_F(DbTest, InitializeAddsNewTablesAndColumnsAndKeepsRows) {
    {
        auto db = Open();
        RS rs = Table(*db, L"QV_INMEMORY");
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(L"P:S"));
        rs->SetFieldValue(L"INM_VAIRANT", CVar(L"kept"));
        rs->Update();
    }
    testsupport::WriteFile(
        m_home / "config/dbSchema_Conf.xml",
        "<database><schema>"
        "<table name=\"QV_INMEMORY\"><column name=\"INM_VAIRANT\" type=\"string\"/>"
        "<column name=\"INM_COUNT\" type=\"int32\" default=\"5\"/></table>"
        "<table name=\"QV_New\"><column name=\"CFG_INDEX\" type=\"int32\"/>"
        "<column name=\"N_FLAG\" type=\"bool\" default=\"true\"/></table>"
        "</schema></database>");
    DBG::CCaptureLog log;
    auto db = Open();
    EXPECT_TRUE(log.Contains(L"column QV_INMEMORY.INM_COUNT added", DBG::LVL_STARTUP));
    EXPECT_TRUE(log.Contains(L"table QV_New created", DBG::LVL_STARTUP));
    RS rs = Table(*db, L"QV_INMEMORY");
    EXPECT_EQ(CVar(L"kept"), rs->GetFieldValue(L"INM_VAIRANT"));
    EXPECT_EQ(CVar(5), rs->GetFieldValue(L"INM_COUNT"));
    RS created = Table(*db, L"QV_New");
    EXPECT_EQ(VT_BSTR, created->GetFieldType(0));  // the key is always text
    EXPECT_EQ(2, created->GetFieldCount());
    // Tables the schema no longer names are left alone.
    RS old = Table(*db, L"QV_VirusScan");
    EXPECT_TRUE(old->IsOpen());
}

TEST_F(DbTest, BadFilesGiveClearExceptions) {
    auto codeOf = [&](bool create = true) {
        CGenericDatabase db(ConnFile(), create);
        CDBException e = Catch([&] { db.Initialize(); });
        EXPECT_FALSE(db.IsInitialized());
        return std::make_pair(e.GetErrorCode(), OS::WideToUtf8(e.GetErrorMsg()));
    };
    const auto conn = m_home / "config/dbconf_Conf.xml";
    const auto schema = m_home / "config/dbSchema_Conf.xml";

    // Without the create flag a missing database is not made.
    EXPECT_EQ(CDBException::kCannotOpen, codeOf(false).first);
    EXPECT_FALSE(std::filesystem::exists(m_home / "data/config.db"));

    std::filesystem::remove(conn);
    auto r = codeOf();
    EXPECT_EQ(CDBException::kConnectionFile, r.first);
    EXPECT_NE(std::string::npos, r.second.find("dbconf_Conf.xml")) << r.second;
    testsupport::WriteFile(conn, "provider=sqlite");
    EXPECT_EQ(CDBException::kConnectionFile, codeOf().first);
    testsupport::WriteFile(
        conn, "<connection provider=\"postgresql\"><database file=\"x\"/></connection>");
    r = codeOf();
    EXPECT_EQ(CDBException::kConnectionFile, r.first);
    EXPECT_NE(std::string::npos, r.second.find("\"postgresql\" is not supported")) << r.second;
    testsupport::WriteFile(conn, "<connection provider=\"sqlite\"/>");
    EXPECT_EQ(CDBException::kConnectionFile, codeOf().first);

    // The database path is a folder; then a file that is not a database.
    testsupport::WriteFile(
        conn, "<connection provider=\"SQLite\"><database file=\"data\"/></connection>");
    r = codeOf();
    EXPECT_EQ(CDBException::kCannotOpen, r.first);
    EXPECT_NE(std::string::npos, r.second.find("/data")) << r.second;
    testsupport::WriteFile(m_home / "data/junk.db", std::string(4096, 'x'));
    testsupport::WriteFile(
        conn, "<connection provider=\"sqlite\"><database file=\"data/junk.db\"/></connection>");
    r = codeOf();
    EXPECT_EQ(CDBException::kNotADatabase, r.first);
    EXPECT_NE(std::string::npos, r.second.find("junk.db")) << r.second;

    // Schema files: not XML is code 2; a missing one creates no tables.
    testsupport::WriteFile(conn, testsupport::kSampleConnectionXml);
    testsupport::WriteFile(schema, "<database><schema><table name=\"T\">");
    r = codeOf();
    EXPECT_EQ(CDBException::kSchemaFile, r.first);
    EXPECT_EQ(2, r.first);
    testsupport::WriteFile(schema,
                           "<database><schema><table name=\"T\"><column name=\"C\" "
                           "type=\"money\"/></table></schema></database>");
    r = codeOf();
    EXPECT_EQ(CDBException::kSchemaFile, r.first);
    EXPECT_NE(std::string::npos, r.second.find("unknown type \"money\"")) << r.second;
    testsupport::WriteFile(schema,
                           "<database><schema><table name=\"T\"><column name=\"C\" type=\"int16\" "
                           "default=\"many\"/></table></schema></database>");
    EXPECT_EQ(CDBException::kSchemaFile, codeOf().first);
    // A date default that is no finite number would be stored as the text "inf".
    testsupport::WriteFile(schema,
                           "<database><schema><table name=\"T\"><column name=\"C\" type=\"date\" "
                           "default=\"inf\"/></table></schema></database>");
    EXPECT_EQ(CDBException::kSchemaFile, codeOf().first);
    std::filesystem::remove(schema);
    auto db = Open();
    CModifiableRecordSet* rs = nullptr;
    EXPECT_FALSE(db->OpenTable(L"QV_VirusScan", rs));

    // None of these failures counts as a lost connection.
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
    EXPECT_TRUE(IsDBStatusOK());

    // Using a database that is not (or no longer) initialised.
    CGenericDatabase idle(ConnFile(), true);
    EXPECT_EQ(CDBException::kNotConnected, Catch([&] { idle.OpenTable(L"T", rs); }).GetErrorCode());
}

TEST_F(DbTest, RecordSetsOfAnUninitialisedDatabaseFailCleanly) {
    auto db = Open();
    RS rs = Table(*db, L"QV_VirusScan");
    AddRow(*rs, L"P:S");
    db->Uninitialize();
    EXPECT_EQ(CDBException::kNotConnected, Catch([&] { rs->MoveFirst(); }).GetErrorCode());
    EXPECT_EQ(CDBException::kNotConnected,
              Catch([&] { rs->Seek(L"CFG_INDEX", CVar(L"P:S")); }).GetErrorCode());
    db->Initialize();  // a new connection; the old record set stays closed to it
    EXPECT_EQ(CDBException::kNotConnected, Catch([&] { rs->GetRecordCount(); }).GetErrorCode());
    RS fresh = Table(*db, L"QV_VirusScan");
    EXPECT_EQ(1, fresh->GetRecordCount());
    fresh->Close();
    EXPECT_EQ(CDBException::kNotConnected, Catch([&] { fresh->AddNew(); }).GetErrorCode());
}

TEST_F(DbTest, WriterBlockedPastTheBusyTimeoutGetsBusy) {
    testsupport::WriteFile(m_home / "config/dbconf_Conf.xml",
                           "<connection provider=\"sqlite\"><database file=\"data/config.db\"/>"
                           "<busyTimeout ms=\"20\"/></connection>");
    auto db = Open();
    RS rs = Table(*db, L"QV_INMEMORY");

    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_home / "data/config.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    rs->AddNew();
    rs->SetFieldValue(L"CFG_INDEX", CVar(L"P:S"));
    CDBException e = Catch([&] { rs->Update(); });
    EXPECT_EQ(CDBException::kBusy, e.GetErrorCode());
    EXPECT_EQ(SQLITE_BUSY, e.GetEngineCode() & 0xff);
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());  // busy is not lost
    EXPECT_EQ(0, rs->GetRecordCount());             // readers go on in WAL mode

    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    rs->Update();  // the staged row is still there to commit
    EXPECT_EQ(1, rs->GetRecordCount());
}

TEST_F(DbTest, SampleHomeMatchesTheShippedDefaultHome) {
    const std::filesystem::path root =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
    EXPECT_EQ(testsupport::ReadFile(root / "config/dbSchema_Conf.xml"),
              testsupport::kSampleSchemaXml);
    EXPECT_EQ(testsupport::ReadFile(root / "config/dbconf_Conf.xml"),
              testsupport::kSampleConnectionXml);
    EXPECT_TRUE(std::filesystem::is_directory(m_home / "log"));
}
