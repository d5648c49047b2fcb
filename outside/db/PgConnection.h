// CPgConnection: a connection to a database on a PostgreSQL server through libpq, given by a
// libpq connection string (and optionally a password file), with every commit synchronous
// (durable), the busy timeout as the server's statement and lock timeouts, and its prepared
// statements (named statements of the server session, made again after a reconnect).
// Tables made from the schema hold a hidden row id column CFG_ROWID (the order rows were added)
// and a unique index on the key's ASCII lower case, so a key seek is one index look-up.
// Thread rule: as CDbConnection (the handle only under m_mutex).
#pragma once

#include "outside/db/DbConnection.h"

struct pg_conn;
struct pg_result;

namespace zoltdb {

class CPgConnection : public CDbConnection {
  public:
    CPgConnection(std::string conninfo, std::string passwordFile, int busyTimeoutMs);
    ~CPgConnection() override;

    // Checks a connection string; sets `where` to "host:port/dbname" (never a password), or to
    // libpq's complaint when the string does not parse.
    static bool Location(const std::string& conninfo, std::string& where);

    std::unique_ptr<CDbStatement> Prepare(const std::string& sql,
                                          const std::string& context) override;
    void Exec(const std::string& sql, int line) override;
    void ExecQuietly(const std::string& sql) override;
    TableInfo Describe(const std::string& table) override;

    const char* Provider() const override { return "postgresql"; }
    std::string RowId() const override { return "\"CFG_ROWID\""; }
    std::string Param(int n) const override { return std::to_string(n).insert(0, 1, '$'); }
    std::string QuoteName(const std::string& name) const override { return QuoteIdent(name); }
    std::string KeyEquals(const std::string& key, const std::string& param) const override;
    std::string OnKeyConflict(const std::string& key, const std::string& set) const override;
    int WalkBatch() const override { return 256; }
    const char* BeginWrite() const override { return "BEGIN"; }
    std::vector<std::string> CreateTable(const TableDef& t) const override;
    std::string AddColumn(const std::string& table, const ColumnDef& c) const override;

    // Throws the CDBException for a failed result `res` (cleared here; null: the connection's
    // own error); marks the connection lost when the link broke. `context` says what was done.
    [[noreturn]] void Fail(pg_result* res, const std::string& context, int line);
    pg_conn* Handle() const { return m_pg; }
    // A new name for a prepared statement of this session.
    std::string NextStatementName() { return "zs" + std::to_string(++m_statements); }

  protected:
    void OpenHandle() override;
    void CloseHandle() override;

  private:
    std::string m_conninfo;
    std::string m_passwordFile;
    int m_busyTimeoutMs;
    pg_conn* m_pg = nullptr;
    unsigned long long m_statements = 0;
};

}  // namespace zoltdb
