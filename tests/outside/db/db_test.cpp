// Tests of the generic database layer: tables and columns made from the schema file, the kinds
// columns read back as, walking and seeking, writes seen by the next read, bad connection,
// schema and database files, and the busy timeout.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "tests/support/Caught.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using RS = std::unique_ptr<CModifiableRecordSet>;
using testsupport::Caught;
using testsupport::CaughtCode;

namespace {

x_wstring W(const std::filesystem::path& p) {
    return x_wstring::FromUtf8(p.string());
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
    static void AddRow(CModifiableRecordSet& rs, const x_wstring& key,
                       const wchar_t* column = nullptr, const CVar& value = CVar()) {
        rs.AddNew();
        rs.SetFieldValue(L"CFG_INDEX", CVar(key));
        if (column) rs.SetFieldValue(column, value);
        rs.Update();
    }
    // Every row of a walk from the first, as "key=value " of `column`.
    static std::string Walk(CModifiableRecordSet& rs, const wchar_t* column) {
        std::string out;
        for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext())
            out += rs.GetFieldValue(0L).ToString().ToUtf8() + "=" +
                   rs.GetFieldValue(column).ToString().ToUtf8() + " ";
        return out;
    }
    sqlite3* Outside() {  // a connection to the file outside the layer
        sqlite3* db = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_open((m_home / "data/config.db").c_str(), &db));
        return db;
    }

    testsupport::CTempDir m_home;
};

}  // namespace

TEST_F(DbTest, InitializeCreatesTheSchemaTablesWithTheKeyFirst) {
    auto db = Open();
    EXPECT_TRUE(std::filesystem::exists(m_home / "data/config.db"));
    EXPECT_EQ(W(m_home / "data/config.db"), db->GetDatabaseFile());
    EXPECT_EQ(W(m_home / "config/dbSchema_Conf.xml"), db->GetSchemaFile());

    RS rs = Table(*db, L"QV_VirtualServerEnvironment");
    std::vector<x_wstring> names;
    for (long i = 0; i < rs->GetFieldCount(); ++i) names.push_back(rs->GetFieldName(i));
    EXPECT_EQ(
        (std::vector<x_wstring>{L"CFG_INDEX", L"VSE_LOG_FILENAME", L"VSE_CFG_FILENAME",
                                L"VSE_REPORT_FILENAME", L"VSE_ROOT_FOLDER", L"VSE_SERVER_STATUS"}),
        names);
    EXPECT_EQ(CDBException::kNoSuchColumn, CaughtCode<CDBException>([&] { rs->GetFieldName(6); }));
    // An empty table has no current row; a table the schema does not name does not open.
    EXPECT_TRUE(rs->IsEOF());
    CModifiableRecordSet* missing = reinterpret_cast<CModifiableRecordSet*>(1);
    EXPECT_FALSE(db->OpenTable(L"QV_NoSuchCategory", missing));
    EXPECT_EQ(nullptr, missing);
}

// Every column kind: its default on a row given only its key, a written value (converted to the
// column's kind on the way in) read back by the writing record set and by a fresh connection.
TEST_F(DbTest, EveryKindKeepsItsDefaultAndWrittenValue) {
    testsupport::WriteFile(m_home / "config/dbSchema_Conf.xml",
                           R"(<database><schema><table name="T">
        <column name="S" default="s0"/>
        <column name="NUM_TEXT" type="string" default=""/>
        <column name="NUL" type="string" default="x"/>
        <column name="I2" type="int16" default="1"/>
        <column name="I4" type="int32" default="10240"/>
        <column name="I8" type="int64" default="-5"/>
        <column name="B" type="bool" default="yes"/>
        <column name="DT" type="date" default="1899-12-30"/>
        <column name="DT2" type="date" default="2024-02-29 13:45:10"/>
        <column name="R" type="double" default="0.5"/>
        <column name="BY" type="bytes" default="00FF"/>
        <column name="BE" type="bytes"/>
        </table></schema></database>)");
    DATE when = 0;
    ASSERT_TRUE(CalendarToVariantTime({2024, 2, 29, 13, 45, 10}, when));
    using Bytes = std::vector<uint8_t>;
    const struct {
        const wchar_t* column;
        CVar dflt, written, read;
    } kCases[] = {
        {L"S", CVar(L"s0"), CVar(L"/srv/q/\u00E9\u4E2D"), CVar(L"/srv/q/\u00E9\u4E2D")},
        {L"NUM_TEXT", CVar(L""), CVar(12345), CVar(L"12345")},
        {L"NUL", CVar(L"x"), CVar(), CVar()},
        {L"I2", CVar(short{1}), CVar(L"3"), CVar(short{3})},
        {L"I4", CVar(10240), CVar(70000), CVar(70000)},
        {L"I8", CVar::FromI8(-5), CVar::FromI8(1LL << 40), CVar::FromI8(1LL << 40)},
        {L"B", CVar(true), CVar(false), CVar(false)},
        {L"DT", CVar::FromDate(0.0), CVar::FromDate(when), CVar::FromDate(when)},
        {L"DT2", CVar::FromDate(when), CVar::FromDate(1.5), CVar::FromDate(1.5)},
        {L"R", CVar::FromR8(0.5), CVar::FromR8(0.1), CVar::FromR8(0.1)},
        {L"BY", CVar::FromBytes(Bytes{0, 0xFF}), CVar::FromBytes(Bytes{0, 1, 0xFE, 0}),
         CVar::FromBytes(Bytes{0, 1, 0xFE, 0})},
        {L"BE", CVar(), CVar::FromBytes(Bytes{}), CVar::FromBytes(Bytes{})},  // empty is not NULL
    };
    auto check = [&](CModifiableRecordSet& rs, const wchar_t* key, bool written) {
        ASSERT_TRUE(rs.Seek(L"CFG_INDEX", CVar(key)));
        for (const auto& c : kCases) {
            EXPECT_EQ(written ? c.read : c.dflt, rs.GetFieldValue(c.column))
                << OS::WideToUtf8(c.column) << (written ? " written" : " default");
        }
    };
    {
        auto db = Open();
        RS rs = Table(*db, L"T");
        AddRow(*rs, L"dflt");
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(L"full"));
        for (const auto& c : kCases) rs->SetFieldValue(c.column, c.written);
        rs->Update();
        check(*rs, L"full", true);
        check(*rs, L"dflt", false);
        // Without the read-back a new row is stored the same, and no row is current after it.
        rs->AddNew();
        rs->SetFieldValue(L"CFG_INDEX", CVar(L"quick"));
        for (const auto& c : kCases) rs->SetFieldValue(c.column, c.written);
        rs->UpdateWithoutReadBack();
        EXPECT_EQ(CDBException::kNoCurrentRow,
                  CaughtCode<CDBException>([&] { rs->GetFieldValue(L"S"); }));
    }
    auto db = Open();
    RS rs = Table(*db, L"T");
    check(*rs, L"full", true);
    check(*rs, L"quick", true);
    check(*rs, L"dflt", false);
    for (const auto& c : kCases) {
        if (!c.read.IsEmpty()) {
            EXPECT_EQ(c.read.vt(), rs->GetFieldType(rs->GetFieldIndex(c.column)));
        }
    }
    EXPECT_EQ(VT_EMPTY, rs->GetFieldValue(L"NOT_A_COLUMN").vt());

    // Values that do not fit, and columns that do not exist, are refused before anything is
    // written; the row stays as it was.
    auto e = Caught<CDBException>([&] { rs->SetFieldValue(L"I4", CVar(L"lots")); });
    ASSERT_TRUE(e);
    EXPECT_EQ(CDBException::kConversion, e->GetErrorCode());
    EXPECT_NE(x_wstring::npos, e->GetErrorMsg().find(L"I4"));
    EXPECT_EQ(CDBException::kConversion,
              CaughtCode<CDBException>([&] { rs->SetFieldValue(L"I2", CVar(100000)); }));
    EXPECT_EQ(CDBException::kConversion,
              CaughtCode<CDBException>([&] { rs->SetFieldValue(L"BY", CVar(L"text")); }));
    EXPECT_EQ(CDBException::kNoSuchColumn,
              CaughtCode<CDBException>([&] { rs->SetFieldValue(L"GONE", CVar(1)); }));
    rs->Update();
    check(*rs, L"dflt", false);
}

// Walks follow the table order and seek by key without regard to ASCII case. Writes made while a
// walk is under way, through the walking record set, another record set, another database of
// this process and a connection outside the layer: the walk goes on after its current row and
// meets every remaining row once, with its latest values.
TEST_F(DbTest, WritesDuringAWalkAreSeenAndEveryRowIsMetOnce) {
    auto db = Open();
    auto second = Open();
    RS rs = Table(*db, L"QV_ContentFilterRule");
    RS other = Table(*db, L"QV_ContentFilterRule");
    RS elsewhere = Table(*second, L"QV_ContentFilterRule");
    auto key = [](int i) { return x_wstring(L"P:R") + std::to_wstring(i); };
    for (int i = 0; i < 8; ++i) AddRow(*rs, key(i), L"CFR_PRIORITY", CVar(i));
    ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(L"p:r3")));
    EXPECT_FALSE(rs->Seek(L"CFG_INDEX", CVar(L"P:RZ")));
    rs->MoveNext();  // a missed seek keeps the current row
    EXPECT_EQ(CVar(key(4)), rs->GetFieldValue(L"CFG_INDEX"));
    ASSERT_TRUE(rs->Seek(L"CFR_PRIORITY", CVar(L"5")));  // converted to the column's kind
    EXPECT_EQ(CVar(key(5)), rs->GetFieldValue(L"CFG_INDEX"));
    sqlite3* outside = Outside();
    auto priority = [&](CModifiableRecordSet& set, int i, int value) {
        ASSERT_TRUE(set.Seek(L"CFG_INDEX", CVar(key(i))));
        set.SetFieldValue(L"CFR_PRIORITY", CVar(value));
        set.Update();
    };

    std::string walked;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        x_wstring k = rs->GetFieldValue(L"CFG_INDEX").ToString();
        walked += k.ToUtf8() + "=" + rs->GetFieldValue(L"CFR_PRIORITY").ToString().ToUtf8() + " ";
        if (k == key(1)) {  // the current row changed
            rs->SetFieldValue(L"CFR_PRIORITY", CVar(100));
            rs->Update();
        } else if (k == key(2)) {  // the current row deleted
            rs->Delete();
        } else if (k == key(3)) {  // rows ahead changed, deleted and added by another record set
            ASSERT_TRUE(other->Seek(L"CFG_INDEX", CVar(key(4))));
            other->Delete();
            priority(*other, 5, 500);
            AddRow(*other, key(9));
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
            AddRow(*rs, key(10));
            EXPECT_EQ(CVar(key(10)), rs->GetFieldValue(L"CFG_INDEX"));
        }
    }
    EXPECT_EQ("P:R0=0 P:R1=1 P:R2=2 P:R3=3 P:R5=500 P:R6=600 P:R7=700 P:R9=0 ", walked);
    EXPECT_EQ("P:R0=0 P:R1=100 P:R3=3 P:R5=500 P:R6=601 P:R7=700 P:R9=0 P:R10=0 ",
              Walk(*elsewhere, L"CFR_PRIORITY"));
    EXPECT_EQ(CDBException::kNoCurrentRow,
              CaughtCode<CDBException>([&] { rs->GetFieldValue(0L); }));

    // A walk holds a read of the file only while it is under way: once it ends or anything else
    // uses the database, another connection can checkpoint the whole journal into the file.
    auto checkpoint = [&] {
        return sqlite3_wal_checkpoint_v2(outside, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                         nullptr);
    };
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(SQLITE_OK,
                  sqlite3_exec(outside, "UPDATE QV_ContentFilterRule SET CFR_PRIORITY = 1", nullptr,
                               nullptr, nullptr));
        rs->MoveFirst();
        rs->MoveNext();
        if (round == 0) {
            EXPECT_EQ(SQLITE_BUSY, checkpoint());  // the walk is under way
        }
        if (round == 0) {
            while (!rs->IsEOF()) rs->MoveNext();
        } else {
            other->GetRecordCount();
        }
        EXPECT_EQ(SQLITE_OK, checkpoint()) << round;
    }
    rs->MoveNext();  // the walk goes on where it was
    EXPECT_EQ(CVar(key(3)), rs->GetFieldValue(0L));
    sqlite3_close(outside);

    // Staged values show at once and are dropped by CancelUpdate; adding a key that exists
    // writes the new row's columns into the existing row; a row deleted elsewhere cannot be
    // updated through a stale current row.
    rs->SetFieldValue(L"CFR_PRIORITY", CVar(7));
    EXPECT_EQ(CVar(7), rs->GetFieldValue(L"CFR_PRIORITY"));
    rs->CancelUpdate();
    EXPECT_EQ(CVar(1), rs->GetFieldValue(L"CFR_PRIORITY"));
    AddRow(*rs, L"p:r3", L"CFR_NAME", CVar(L"n"));
    ASSERT_TRUE(elsewhere->Seek(L"CFG_INDEX", CVar(key(3))));
    EXPECT_EQ(CVar(1), elsewhere->GetFieldValue(L"CFR_PRIORITY"));  // kept
    EXPECT_EQ(CVar(L"n"), elsewhere->GetFieldValue(L"CFR_NAME"));
    EXPECT_EQ(8, elsewhere->GetRecordCount());
    rs->Delete();
    elsewhere->SetFieldValue(L"CFR_PRIORITY", CVar(2));
    EXPECT_EQ(CDBException::kNoCurrentRow, CaughtCode<CDBException>([&] { elsewhere->Update(); }));
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveFirst()) rs->Delete();
    EXPECT_EQ(0, elsewhere->GetRecordCount());
}

TEST_F(DbTest, InitializeAddsNewTablesAndColumnsAndKeepsRows) {
    {
        auto db = Open();
        RS rs = Table(*db, L"QV_INMEMORY");
        AddRow(*rs, L"P:S", L"INM_VAIRANT", CVar(L"kept"));
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
    EXPECT_TRUE(Table(*db, L"QV_VirusScan")->IsOpen());
}

TEST_F(DbTest, BadFilesGiveClearExceptions) {
    const auto conn = m_home / "config/dbconf_Conf.xml";
    const auto schema = m_home / "config/dbSchema_Conf.xml";
    auto failure = [&](bool create = true) {
        CGenericDatabase db(ConnFile(), create);
        auto e = Caught<CDBException>([&] { db.Initialize(); });
        EXPECT_FALSE(db.IsInitialized());
        return e ? std::make_pair(e->GetErrorCode(), OS::WideToUtf8(e->GetErrorMsg()))
                 : std::make_pair(0, std::string());
    };
    // Without the create flag a missing database is not made.
    EXPECT_EQ(CDBException::kCannotOpen, failure(false).first);
    EXPECT_FALSE(std::filesystem::exists(m_home / "data/config.db"));

    testsupport::WriteFile(m_home / "data/junk.db", std::string(4096, 'x'));
    const auto column = [](const char* c) {
        return "<database><schema><table name=\"T\"><column name=\"C\" " + std::string(c) +
               "/></table></schema></database>";
    };
    const struct {
        std::string connXml, schemaXml;  // "-": no file
        int code;
        const char* says;
    } kCases[] = {
        {"-", "", CDBException::kConnectionFile, "dbconf_Conf.xml"},
        {"provider=sqlite", "", CDBException::kConnectionFile, ""},
        {"<connection provider=\"oracle\"><database file=\"x\"/></connection>", "",
         CDBException::kConnectionFile, "\"oracle\" is not supported"},
        {"<connection provider=\"postgresql\"><database file=\"x\"/></connection>", "",
         CDBException::kConnectionFile, "<server connect=\"...\"/> is missing"},
        {"<connection provider=\"postgresql\"><server connect=\"host='x\"/></connection>", "",
         CDBException::kConnectionFile, "is not a connection string"},
        {"<connection provider=\"sqlite\"/>", "", CDBException::kConnectionFile, ""},
        {"<connection provider=\"SQLite\"><database file=\"data\"/></connection>", "",
         CDBException::kCannotOpen, "/data"},
        {"<connection provider=\"sqlite\"><database file=\"data/junk.db\"/></connection>", "",
         CDBException::kNotADatabase, "junk.db"},
        {"", "<database><schema><table name=\"T\">", CDBException::kSchemaFile, ""},
        {"", column("type=\"money\""), CDBException::kSchemaFile, "unknown type \"money\""},
        {"", column("type=\"int16\" default=\"many\""), CDBException::kSchemaFile, ""},
        // A date default that is no finite number would be stored as the text "inf".
        {"", column("type=\"date\" default=\"inf\""), CDBException::kSchemaFile, ""},
        // The engine matches column names without regard to case: a second C would alias C.
        {"", column("type=\"int32\"/><column name=\"c\" type=\"bool\""), CDBException::kSchemaFile,
         "dbSchema_Conf.xml\": table T, column c: listed twice"},
    };
    for (const auto& c : kCases) {
        if (c.connXml == "-")
            std::filesystem::remove(conn);
        else
            testsupport::WriteFile(
                conn, c.connXml.empty() ? testsupport::kSampleConnectionXml : c.connXml);
        testsupport::WriteFile(schema,
                               c.schemaXml.empty() ? testsupport::kSampleSchemaXml : c.schemaXml);
        const auto [code, text] = failure();
        EXPECT_EQ(c.code, code) << c.connXml << c.schemaXml;
        EXPECT_NE(std::string::npos, text.find(c.says)) << text;
    }
    EXPECT_EQ(2, CDBException::kSchemaFile);

    // A missing schema file creates no tables.
    std::filesystem::remove(schema);
    auto db = Open();
    CModifiableRecordSet* rs = nullptr;
    EXPECT_FALSE(db->OpenTable(L"QV_VirusScan", rs));
    // None of these failures counts as a lost connection.
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
    EXPECT_TRUE(IsDBStatusOK());
}

TEST_F(DbTest, RecordSetsOfAnUninitialisedDatabaseFailCleanly) {
    CGenericDatabase idle(ConnFile(), true);
    CModifiableRecordSet* none = nullptr;
    EXPECT_EQ(CDBException::kNotConnected,
              CaughtCode<CDBException>([&] { idle.OpenTable(L"T", none); }));
    auto db = Open();
    RS rs = Table(*db, L"QV_VirusScan");
    AddRow(*rs, L"P:S");
    db->Uninitialize();
    EXPECT_EQ(CDBException::kNotConnected, CaughtCode<CDBException>([&] { rs->MoveFirst(); }));
    db->Initialize();  // a new connection; the old record set stays closed to it
    EXPECT_EQ(CDBException::kNotConnected,
              CaughtCode<CDBException>([&] { rs->Seek(L"CFG_INDEX", CVar(L"P:S")); }));
    RS fresh = Table(*db, L"QV_VirusScan");
    EXPECT_EQ(1, fresh->GetRecordCount());
    fresh->Close();
    EXPECT_EQ(CDBException::kNotConnected, CaughtCode<CDBException>([&] { fresh->AddNew(); }));
}

TEST_F(DbTest, WriterBlockedPastTheBusyTimeoutGetsBusy) {
    testsupport::WriteFile(m_home / "config/dbconf_Conf.xml",
                           "<connection provider=\"sqlite\"><database file=\"data/config.db\"/>"
                           "<busyTimeout ms=\"20\"/></connection>");
    auto db = Open();
    RS rs = Table(*db, L"QV_INMEMORY");
    sqlite3* other = Outside();
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    rs->AddNew();
    rs->SetFieldValue(L"CFG_INDEX", CVar(L"P:S"));
    auto e = Caught<CDBException>([&] { rs->Update(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(CDBException::kBusy, e->GetErrorCode());
    EXPECT_EQ(SQLITE_BUSY, e->GetEngineCode() & 0xff);
    EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());  // busy is not lost
    EXPECT_EQ(0, rs->GetRecordCount());             // readers go on in WAL mode

    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    rs->Update();  // the staged row is still there to commit
    EXPECT_EQ(1, rs->GetRecordCount());
}

TEST_F(DbTest, SampleHomeMatchesTheShippedDefaultHome) {
    // The source tree is the one the build folder was configured from.
    const std::string cache = testsupport::ReadFile(ZOLT_TEST_BINARY_DIR "/CMakeCache.txt");
    const std::string tag = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    const size_t at = cache.find(tag);
    ASSERT_NE(std::string::npos, at);
    const std::filesystem::path root =
        cache.substr(at + tag.size(), cache.find('\n', at) - at - tag.size());
    EXPECT_EQ(testsupport::ReadFile(root / "config/dbSchema_Conf.xml"),
              testsupport::kSampleSchemaXml);
    EXPECT_EQ(testsupport::ReadFile(root / "config/dbconf_Conf.xml"),
              testsupport::kSampleConnectionXml);
    EXPECT_TRUE(std::filesystem::is_directory(m_home / "log"));
}
