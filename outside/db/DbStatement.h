// CDbStatement: one prepared statement of a database engine, as the record sets use it: bind
// parameters by position, step through the result rows, read columns as variants, reset.
// Each engine's connection prepares its own kind (CDbConnection::Prepare). Internal to the
// generic database layer.
// Thread rule: used only under its connection's m_mutex.
#pragma once

#include <string>

#include "outside/variant/CVar.h"

namespace zoltdb {

class CDbStatement {
  public:
    virtual ~CDbStatement() = default;

    // Binds parameter `pos` (from 1) for the next run: VT_EMPTY and VT_NULL bind NULL.
    virtual void Bind(int pos, const CVar& value) = 0;
    virtual void BindInt64(int pos, long long value) = 0;
    // Runs the statement on its first call after a reset, then moves to the next result row:
    // true when a row is current, false at the end. Throws CDBException (the connection
    // classifies the failure and marks itself lost for a broken link).
    virtual bool Step() = 0;
    // Column `col` (from 0) of the current row.
    virtual long long Int64(int col) const = 0;
    // Sets `out` to column `col` of the current row read as kind `kind` (VT_EMPTY: as stored;
    // a value that does not convert is given as stored). NULL reads as VT_EMPTY.
    virtual void Read(int col, VARTYPE kind, CVar& out) const = 0;
    // Ends the current run (and its read of the database) and clears the bindings.
    virtual void Reset() = 0;
    const std::string& Sql() const { return m_sql; }

  protected:
    explicit CDbStatement(std::string sql) : m_sql(std::move(sql)) {}
    std::string m_sql;
};

}  // namespace zoltdb
