// CDbConnection: one SQLite connection of a CGenericDatabase, shared with its record sets, with
// the process-wide connection status (lost / probing), the registry of live connections and
// the hooks of CDBFaultInjector. Internal to the generic database layer.
//
// Every use of the sqlite3 handle happens under m_mutex. A reopen replaces the handle and bumps
// Generation(), so record sets know to prepare their statements again.
// At most one record set's walk statement runs between calls (the active walk): it holds a read
// transaction open, so every other use of the connection (Usable()) parks it first; the walk
// then resumes by rowid with a fresh statement run.
// Thread rule: m_mutex guards the handle; the status counters are atomics.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <mutex>
#include <string>

#include "outside/db/CDBException.h"
#include "outside/db/CDBFaultInjector.h"

namespace zoltdb {

class CDbConnection {
  public:
    CDbConnection(std::string path, int busyTimeoutMs, bool create);
    ~CDbConnection();
    CDbConnection(const CDbConnection&) = delete;
    CDbConnection& operator=(const CDbConnection&) = delete;

    // Opens the database (creating the file and its folder when `create`), sets WAL mode, full
    // synchronisation and the busy timeout, and checks that the file is a database.
    // REQUIRES: m_mutex held. Throws CDBException (kCannotOpen, kNotADatabase, kBusy).
    void Open();
    // Closes for good: later uses throw kNotConnected. REQUIRES: m_mutex held.
    void Close();

    // The handle, after making sure the connection is usable: parks the active walk; throws
    // kNotConnected when closed; reopens a lost connection or throws kConnectionLost.
    // REQUIRES: m_mutex held.
    sqlite3* Usable();
    // Tries to reopen a lost connection. REQUIRES: m_mutex held.
    bool TryReopen(std::string* error = nullptr);
    unsigned long long Generation() const { return m_generation; }
    bool IsLost() const { return m_lost.load(); }
    bool IsClosed() const { return m_closed; }
    const std::string& Path() const { return m_path; }

    // Marks the connection lost (idempotent); counts in the process-wide status.
    void MarkLost();
    // Fires an armed fault of kind `op`, if any (throws). Call before touching the database.
    void CheckFault(CDBFaultInjector::Op op);
    // Throws the CDBException for SQLite result `rc` on this connection; marks the connection
    // lost for I/O failures. `context` says what was being done.
    [[noreturn]] void Throw(int rc, const std::string& context, int line);
    // Runs a statement that returns no rows we need. REQUIRES: m_mutex held.
    void Exec(const std::string& sql, int line);

    // The walk statement left running between calls, or null. REQUIRES: m_mutex held (all).
    sqlite3_stmt* ActiveWalk() const { return m_walk; }
    void SetActiveWalk(sqlite3_stmt* st) { m_walk = st; }
    // Resets the active walk statement, which ends its read transaction.
    void ParkWalk();
    // Parks `st` if it is the active walk; called before `st` is finalized.
    void ForgetWalk(sqlite3_stmt* st) {
        if (st != nullptr && m_walk == st) ParkWalk();
    }

    std::recursive_mutex m_mutex;

  private:
    void MarkRecovered();
    void OpenHandle();

    std::string m_path;
    int m_busyTimeoutMs;
    bool m_create;
    sqlite3* m_db = nullptr;
    std::atomic<bool> m_closed{true};
    std::atomic<bool> m_lost{false};
    unsigned long long m_generation = 0;
    sqlite3_stmt* m_walk = nullptr;
};

// Process-wide status.
bool StatusOK();
bool Probing();
bool ProbeAll();
void SetProbeIntervalMs(long long ms);
void LoseAll();
// Counts the commits made through this layer in this process (any connection), so that a
// running walk notices a commit made since it began.
void NoteCommit();
unsigned long long CommitCount();

// Wide/UTF-8 and SQL helpers shared by the layer.
std::string Utf8(const std::wstring& s);
std::wstring Wide(const std::string& s);
std::string QuoteIdent(const std::string& name);  // "name" with embedded quotes doubled

// The armed faults of CDBFaultInjector (CDBFaultInjector.cpp).
// True when a fault of kind `op` fires now; `code` and `lose` say which.
bool TakeFault(CDBFaultInjector::Op op, int& code, bool& lose);
bool TakeReconnectFailure();
void RunProbeHook();

}  // namespace zoltdb
