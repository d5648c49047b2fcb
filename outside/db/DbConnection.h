// CDbConnection: one connection of a CGenericDatabase to its database engine, shared with its
// record sets: the engine-neutral part (lost / probing status, the registry of live connections,
// the active walk, the hooks of CDBFaultInjector) and the interface each engine implements
// (opening, statements, table descriptions, the few spots where the engines' SQL differs).
// The engines are CSqliteConnection and CPgConnection. Internal to the generic database layer.
//
// Every use of the engine's handle happens under m_mutex. A reopen replaces the handle and bumps
// Generation(), so record sets know to prepare their statements again.
// At most one record set's walk statement runs between calls (the active walk): it may hold a
// read of the database open, so every other use of the connection (Usable()) parks it first;
// the walk then resumes by row id with a fresh run.
// Thread rule: m_mutex guards the handle; the status counters are atomics.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outside/db/CDBException.h"
#include "outside/db/CDBFaultInjector.h"
#include "outside/db/DbSchema.h"
#include "outside/db/DbStatement.h"

namespace zoltdb {

// A table as the engine holds it: its name as stored, its columns in order with their declared
// types in the schema's vocabulary (TEXT, INTEGER, DATE, ...), and whether CFG_INDEX is unique.
struct TableInfo {
    std::string name;
    std::vector<std::pair<std::string, std::string>> columns;  // name, declared type
    bool keyUnique = false;
};

class CDbConnection {
  public:
    virtual ~CDbConnection();
    CDbConnection(const CDbConnection&) = delete;
    CDbConnection& operator=(const CDbConnection&) = delete;

    // Opens the database. REQUIRES: m_mutex held. Throws CDBException (kCannotOpen,
    // kNotADatabase, kBusy).
    void Open();
    // Closes for good: later uses throw kNotConnected. REQUIRES: m_mutex held.
    void Close();

    // Makes sure the connection is usable: parks the active walk; throws kNotConnected when
    // closed; reopens a lost connection or throws kConnectionLost. REQUIRES: m_mutex held.
    void Usable();
    // Tries to reopen a lost connection. REQUIRES: m_mutex held.
    bool TryReopen(std::string* error = nullptr);
    unsigned long long Generation() const { return m_generation; }
    bool IsLost() const { return m_lost.load(); }
    bool IsClosed() const { return m_closed; }
    // Where the database is, for messages and logs (a file, or host and database name; never a
    // password).
    const std::string& Where() const { return m_where; }

    // Marks the connection lost (idempotent); counts in the process-wide status.
    void MarkLost();
    // Fires an armed fault of kind `op`, if any (throws). Call before touching the database.
    void CheckFault(CDBFaultInjector::Op op);

    // --- What each engine implements. REQUIRES: m_mutex held for all of them. ---
    // A prepared statement; `context` leads its error messages. Throws CDBException.
    virtual std::unique_ptr<CDbStatement> Prepare(const std::string& sql,
                                                  const std::string& context) = 0;
    // Runs statements that return no rows we need. Throws CDBException.
    virtual void Exec(const std::string& sql, int line) = 0;
    // Runs `sql` ignoring any failure (a rollback after an error).
    virtual void ExecQuietly(const std::string& sql) = 0;
    // The table named `table` (ASCII case ignored); an empty name when there is none.
    virtual TableInfo Describe(const std::string& table) = 0;
    // SQL that differs between engines.
    virtual const char* Provider() const = 0;    // "sqlite", "postgresql"
    virtual std::string RowId() const = 0;       // the column that orders rows as added
    virtual std::string Param(int n) const = 0;  // the n-th parameter (from 1)
    virtual std::string QuoteName(const std::string& name) const = 0;
    // A condition matching `keyColumn` (quoted) to parameter `param` without regard to ASCII
    // case, answered by one index look-up on tables made from the schema.
    virtual std::string KeyEquals(const std::string& keyColumn, const std::string& param) const = 0;
    // The clause of an insert that turns a row of an existing key into an update of `set`.
    virtual std::string OnKeyConflict(const std::string& keyColumn,
                                      const std::string& set) const = 0;
    // How many rows a walk reads in one run (0: the whole rest of the table).
    virtual int WalkBatch() const = 0;
    virtual const char* BeginWrite() const = 0;  // starts a write transaction
    // The statements creating table `t` (with CFG_INDEX, its unique index and the row id), and
    // adding column `c` to table `table`.
    virtual std::vector<std::string> CreateTable(const TableDef& t) const = 0;
    virtual std::string AddColumn(const std::string& table, const ColumnDef& c) const = 0;

    // The walk statement left running between calls, or null. REQUIRES: m_mutex held (all).
    CDbStatement* ActiveWalk() const { return m_walk; }
    void SetActiveWalk(CDbStatement* st) { m_walk = st; }
    // Resets the active walk statement, which ends its read of the database.
    void ParkWalk();
    // Parks `st` if it is the active walk; called before `st` is destroyed.
    void ForgetWalk(CDbStatement* st) {
        if (st != nullptr && m_walk == st) ParkWalk();
    }

    std::recursive_mutex m_mutex;

  protected:
    explicit CDbConnection(std::string where);
    // Takes the connection out of the registry and closes it; the first thing each engine's
    // destructor does, while its handle is still there.
    void Shutdown();
    // Opens the engine's handle (the previous one is closed). Throws CDBException.
    virtual void OpenHandle() = 0;
    virtual void CloseHandle() = 0;
    // Bumps the generation after a new handle.
    void NewGeneration();
    std::string m_where;

  private:
    void MarkRecovered();

    std::atomic<bool> m_closed{true};
    std::atomic<bool> m_lost{false};
    unsigned long long m_generation = 0;
    CDbStatement* m_walk = nullptr;
};

// Process-wide status.
bool StatusOK();
bool Probing();
bool ProbeAll();
void SetProbeIntervalMs(long long ms);
void LoseAll();
// How often the process-wide status went from OK to lost, and from lost back to OK.
unsigned long long StatusLostCount();
unsigned long long StatusRecoveredCount();
// Counts the commits made through this layer in this process (any connection), so that a
// running walk notices a commit made since it began.
void NoteCommit();
unsigned long long CommitCount();

// Wide/UTF-8 and SQL helpers shared by the layer.
std::string Utf8(const std::wstring& s);
std::wstring Wide(const std::string& s);
std::string QuoteIdent(const std::string& name);  // "name" with embedded quotes doubled
// UTF-8 text of an engine as a wide string (ASCII widened byte by byte).
OS::x_wstring WidenText(const char* t, size_t n);

// The armed faults of CDBFaultInjector (CDBFaultInjector.cpp).
// True when a fault of kind `op` fires now; `code` and `lose` say which.
bool TakeFault(CDBFaultInjector::Op op, int& code, bool& lose);
bool TakeReconnectFailure();
void RunProbeHook();

}  // namespace zoltdb
