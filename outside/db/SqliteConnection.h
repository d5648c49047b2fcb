// CSqliteConnection: a connection to one SQLite database file in WAL mode with full
// synchronisation (every commit durable), and its prepared statements.
// Thread rule: as CDbConnection (the handle only under m_mutex).
#pragma once

#include <sqlite3.h>

#include "outside/db/DbConnection.h"

namespace zoltdb {

class CSqliteConnection : public CDbConnection {
  public:
    // `create`: the file and its folder are created when missing.
    CSqliteConnection(std::string path, int busyTimeoutMs, bool create);
    ~CSqliteConnection() override;

    std::unique_ptr<CDbStatement> Prepare(const std::string& sql,
                                          const std::string& context) override;
    void Exec(const std::string& sql, int line) override;
    void ExecQuietly(const std::string& sql) override;
    TableInfo Describe(const std::string& table) override;

    const char* Provider() const override { return "sqlite"; }
    std::string RowId() const override { return "rowid"; }
    std::string Param(int n) const override { return std::to_string(n).insert(0, 1, '?'); }
    std::string QuoteName(const std::string& name) const override { return QuoteIdent(name); }
    std::string KeyEquals(const std::string& key, const std::string& param) const override {
        return key + " = " + param;  // the key column's collation ignores ASCII case
    }
    std::string OnKeyConflict(const std::string& key, const std::string& set) const override {
        return " ON CONFLICT(" + key + ") DO UPDATE SET " + set;
    }
    int WalkBatch() const override { return 0; }
    const char* BeginWrite() const override { return "BEGIN IMMEDIATE"; }
    std::vector<std::string> CreateTable(const TableDef& t) const override;
    std::string AddColumn(const std::string& table, const ColumnDef& c) const override;

    // Throws the CDBException for SQLite result `rc`; marks the connection lost for I/O
    // failures. `context` says what was being done.
    [[noreturn]] void Throw(int rc, const std::string& context, int line);
    sqlite3* Handle() const { return m_db; }

  protected:
    void OpenHandle() override;
    void CloseHandle() override;

  private:
    int m_busyTimeoutMs;
    bool m_create;
    sqlite3* m_db = nullptr;
};

}  // namespace zoltdb
