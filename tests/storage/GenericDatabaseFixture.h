// The fixture of the database store's tests, run once per provider: a temporary home with a test
// schema, a registry naming it, a store over it, and raw access to check what the store left in
// the database. The PostgreSQL runs need ZOLT_TEST_PG (a libpq connection string of a server
// the tests may make schemas on); each test gets a schema of its own, dropped afterwards.
// Thread rule: the main test thread only (it changes the environment).
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace storetest {

using CCfgIndex = CCfgSettingDBBase::CCfgIndex;
using OS::x_wstring;

// Tables of the tests: plain fields with an ignore list and a default row, an owner with a
// single and a multi-value reference field, the referenced child and item categories.
inline const char* const kTestSchema = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<database>
  <schema version="1">
    <table name="T_Plain">
      <column name="CFG_IGNORE_FIELDS" type="string" default=""/>
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:DEF"/>
      <column name="A" type="string" default="a0"/>
      <column name="B" type="int32" default="7"/>
      <column name="C" type="string" default=""/>
      <column name="D" type="bool" default="1"/>
    </table>
    <table name="T_Owner">
      <column name="CFG_IGNORE_FIELDS" type="string" default=""/>
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:OWNER_DEF"/>
      <column name="NAME" type="string" default=""/>
      <column name="CHILD_CFGSETTING" type="string" default=""/>
      <column name="ITEMS_CFGSETTING_MV" type="string" default=""/>
    </table>
    <table name="T_Child">
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:CHILD_DEF"/>
      <column name="X" type="string" default="x0"/>
      <column name="Y" type="int32" default="0"/>
    </table>
    <table name="T_Item">
      <column name="NAME" type="string" default=""/>
      <column name="PRIO" type="int32" default="0"/>
    </table>
  </schema>
</database>
)XML";

inline CCfgIndex Key(const x_wstring& subject, const x_wstring& policy = L"ZOLT_PLC_NULL") {
    return CCfgIndex(L"SRV",
                     CCfgSettingDBBase::SubjectPair(CSubjectID(policy), CSubjectID(subject)));
}

// A placeholder setting of `category` with subject `subject`.
inline std::unique_ptr<CCfgSettingCategoryFake> Make(const x_wstring& category,
                                                     const x_wstring& subject) {
    auto s = std::make_unique<CCfgSettingCategoryFake>(category);
    s->SetSubjectID(subject);
    return s;
}

// The texts as a vector.
inline std::vector<x_wstring> W(std::initializer_list<const wchar_t*> items) {
    return std::vector<x_wstring>(items.begin(), items.end());
}

// The value of field `name` of `s` (empty when the setting has no such field).
inline CVar Field(CCfgSettingCategoryBase& s, const x_wstring& name) {
    CVar v;
    s.GetFieldValue(name, v);
    return v;
}

// One row of a table as text, column name -> value ("<null>" for NULL).
using Row = std::map<std::string, std::string>;

class GenericDatabaseTest : public ::testing::TestWithParam<const char*> {
  protected:
    GenericDatabaseTest()
        : m_home(m_tmp / "home"),
          m_registry(m_tmp / "registry"),
          m_env("ZOLTCFG_REGISTRY", (m_tmp / "registry").string()) {
        testsupport::CreateSampleHome(m_home);
        testsupport::WriteFile(m_home / "config" / "dbSchema_Conf.xml", kTestSchema);
        testsupport::WriteSampleRegistry(m_registry, m_home);
        CDBFaultInjector::Reset();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(0));
    }
    void SetUp() override {
        if (!Pg()) return;
        const char* server = std::getenv("ZOLT_TEST_PG");
        if (server == nullptr || !*server) GTEST_SKIP() << "ZOLT_TEST_PG names no server";
        static int s_count = 0;
        m_schema = "zt_" + std::to_string(getpid()) + "_" + std::to_string(++s_count);
        m_pg = PQconnectdb(server);
        ASSERT_EQ(PQstatus(m_pg), CONNECTION_OK) << PQerrorMessage(m_pg);
        PQclear(PgRun("SET client_min_messages = warning; CREATE SCHEMA " + m_schema +
                      "; SET search_path = " + m_schema));
        testsupport::WriteFile(m_home / "config" / "dbconf_Conf.xml",
                               "<connection provider=\"postgresql\"><server connect=\"" +
                                   std::string(server) + " options='-c search_path=" + m_schema +
                                   "'\"/></connection>");
    }
    ~GenericDatabaseTest() override {
        m_db.reset();
        CDBFaultInjector::Reset();
        CGenericDatabase::ProbeLostConnections();
        CGenericDatabase::SetProbeInterval(std::chrono::milliseconds(2000));
        if (m_raw) sqlite3_close(m_raw);
        if (m_pg) PQclear(PQexec(m_pg, ("DROP SCHEMA " + m_schema + " CASCADE").c_str()));
        PQfinish(m_pg);
    }
    bool Pg() const { return std::string(GetParam()) == "postgresql"; }

    // SQL of the tests in the server's spelling: names are quoted (the server folds unquoted
    // names to lower case; the store keeps them as the schema spells them).
    static std::string ForServer(const std::string& sql) {
        static const std::regex kName(  // a word outside '...' that is no keyword
            "\\b(?!(INSERT|INTO|VALUES|UPDATE|SET|WHERE|DELETE|FROM|NULL)\\b)([A-Za-z_]\\w*)"
            "(?=([^']*'[^']*')*[^']*$)");
        return std::regex_replace(sql, kName, "\"$2\"");
    }
    PGresult* PgRun(const std::string& sql) {
        PGresult* r = PQexec(m_pg, sql.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << PQresultErrorMessage(r) << " in " << sql;
        return r;
    }

    x_wstring ConnectionFile() const {
        return x_wstring::FromUtf8((m_home / "config" / "dbconf_Conf.xml").string());
    }
    CCfgSettingGenericDatabase& Open(bool refreshOnRead = false) {
        m_db = std::make_unique<CCfgSettingGenericDatabase>(ConnectionFile(), refreshOnRead);
        return *m_db;
    }

    // Runs SQL on the database directly (a connection of its own).
    void Exec(const std::string& sql) {
        if (Pg()) return PQclear(PgRun(ForServer(sql)));
        char* err = nullptr;
        ASSERT_EQ(sqlite3_exec(Raw(), sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
            << (err ? err : "") << " in " << sql;
    }
    // Every row of `table` in the order added (booleans as 1 and 0).
    std::vector<Row> Rows(const std::string& table) {
        std::vector<Row> rows;
        if (Pg()) {
            PGresult* r = PgRun("SELECT * FROM \"" + table + "\" ORDER BY \"CFG_ROWID\"");
            for (int i = 0; i < PQntuples(r); ++i) {
                Row& row = rows.emplace_back();
                for (int c = 1; c < PQnfields(r); ++c) {
                    std::string v = PQgetisnull(r, i, c) ? "<null>" : PQgetvalue(r, i, c);
                    if (PQftype(r, c) == 16) v = v == "t" ? "1" : "0";
                    row[PQfname(r, c)] = v;
                }
            }
            PQclear(r);
            return rows;
        }
        sqlite3_stmt* st = nullptr;
        std::string sql = "SELECT * FROM \"" + table + "\" ORDER BY rowid";
        if (sqlite3_prepare_v2(Raw(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return rows;
        while (sqlite3_step(st) == SQLITE_ROW) {
            Row r;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                r[sqlite3_column_name(st, c)] = t ? reinterpret_cast<const char*>(t) : "<null>";
            }
            rows.push_back(std::move(r));
        }
        sqlite3_finalize(st);
        return rows;
    }
    // The row of `key` in `table` (empty when absent).
    Row RowOf(const std::string& table, const std::string& key) {
        for (Row& r : Rows(table)) {
            if (r["CFG_INDEX"] == key) return r;
        }
        return {};
    }
    std::vector<std::string> Keys(const std::string& table) {
        std::vector<std::string> keys;
        for (Row& r : Rows(table)) keys.push_back(r["CFG_INDEX"]);
        return keys;
    }
    sqlite3* Raw() {
        if (!m_raw) {
            std::string file = (m_home / "data" / "config.db").string();
            EXPECT_EQ(sqlite3_open(file.c_str(), &m_raw), SQLITE_OK);
            sqlite3_busy_timeout(m_raw, 5000);
        }
        return m_raw;
    }

    testsupport::CTempDir m_tmp{"zoltcfg-store"};
    std::filesystem::path m_home;
    std::filesystem::path m_registry;
    testsupport::CScopedEnv m_env;
    std::unique_ptr<CCfgSettingGenericDatabase> m_db;
    sqlite3* m_raw = nullptr;
    PGconn* m_pg = nullptr;
    std::string m_schema;
};

}  // namespace storetest
