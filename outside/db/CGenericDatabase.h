// CGenericDatabase: a connection to the configuration database described by a connection file
// (provider "sqlite": one SQLite database file in WAL mode; provider "postgresql": a database on
// a PostgreSQL server; every commit durable either way), with the
// tables of a schema file created at Initialize(), and OpenTable() giving record sets.
//
// Connection status is process-wide: IsDBStatusOK() is false only while a connection of this
// process is known to be lost (an I/O failure, or CDBFaultInjector) and not yet reopened; it is
// true before any database is opened. A lost connection is reopened by the next operation on
// that database, by ProbeLostConnections(), or by IsDBStatusOK() itself once the probe interval
// (SetProbeInterval, default 2000 ms after the loss or the last probe) has passed;
// IsProbingDBStatus() is true while such a reopen is being tried.
// The connection file format is in docs/database-files.md.
// Thread rule: a database and its record sets may be used from several threads, one at a time
// per record set; the connection is guarded inside.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/db/CDBException.h"
#include "outside/db/CModifiableRecordSet.h"

namespace zoltdb {
class CDbConnection;
}

class CGenericDatabase {
  public:
    // `connectionFile`: path of the connection file; relative paths inside it are taken from the
    // folder above the connection file's folder (the home: <home>/config/dbconf_Conf.xml).
    // `createMissing`: Initialize() creates the database file and the schema's missing tables
    // and columns; when false it only opens an existing database.
    // Nothing is opened before Initialize(); the constructor does not throw.
    CGenericDatabase(const OS::x_wstring& connectionFile, bool createMissing);
    virtual ~CGenericDatabase();
    CGenericDatabase(const CGenericDatabase&) = delete;
    CGenericDatabase& operator=(const CGenericDatabase&) = delete;

    // Reads the connection file, opens the database (connects to the server) and brings the
    // schema in. Throws CDBException: kConnectionFile, kCannotOpen (also: server unreachable,
    // login refused, no such database), kNotADatabase, kSchemaFile (schema file not XML; a
    // missing schema file only means no tables are created), kBusy, kEngine.
    virtual void Initialize();
    // Closes the connection; record sets still open fail with kNotConnected afterwards.
    virtual void Uninitialize();
    bool IsInitialized() const;

    // A new record set over the whole table `table` (the caller owns it; delete it when done).
    // `rs` stays null (and the result is false) when the table does not exist. Throws
    // CDBException when the database cannot be reached (kNotConnected, kConnectionLost, ...).
    bool OpenTable(const OS::x_wstring& table, CModifiableRecordSet*& rs);
    // Tries to reopen this database's connection if it is lost; true when it is usable.
    bool Reconnect();
    // Checks the open database without changing it: the engine's own integrity check, and every
    // table and column of the schema file present. One sentence per problem, at most `limit`;
    // empty when the database is fit to serve.
    // REQUIRES: IsInitialized().
    std::vector<std::string> CheckDatabase(size_t limit = 20);

    // Writes a consistent copy of the database to `target` (an absolute path) while the
    // database stays in use: a copy of one moment, written to a temporary file beside the
    // target, flushed to disk and renamed over it. SQLite: the engine's online copy through a
    // connection of its own, page runs at a time, never blocking writers; PostgreSQL: pg_dump's
    // custom format. Returns the bytes written; throws CDBException (kEngine) with one sentence.
    // REQUIRES: IsInitialized().
    unsigned long long BackupTo(const std::string& target);

    // A write transaction over this database's connection: what the record sets of this
    // database write from BeginWrite to CommitWrite becomes durable together, with one sync to
    // disk; RollbackWrite (or a reopen of a lost connection in between) discards it. The caller
    // keeps every other user of the database away meanwhile (the store holds its mutex).
    // Throw CDBException; CommitWrite also when the connection was reopened since BeginWrite
    // (kConnectionLost: what was written before the reopen is gone). RollbackWrite never throws.
    // REQUIRES: IsInitialized().
    void BeginWrite();
    void CommitWrite();
    void RollbackWrite();

    const OS::x_wstring& GetConnectionFile() const { return m_strConnectionFile; }
    // Known after Initialize(): the provider ("sqlite" or "postgresql"), where the database is
    // (the database file, or host, port and database name of the server; never a password) and
    // the schema file in use.
    const OS::x_wstring& GetProvider() const { return m_strProvider; }
    const OS::x_wstring& GetDatabaseFile() const { return m_strDatabaseFile; }
    const OS::x_wstring& GetSchemaFile() const { return m_strSchemaFile; }

    static bool IsDBStatusOK();
    static bool IsProbingDBStatus();
    // Tries to reopen every lost connection of this process now (databases busy on another
    // thread are skipped); returns IsDBStatusOK() afterwards.
    static bool ProbeLostConnections();
    // How long IsDBStatusOK() waits after a loss (or a probe) before probing by itself;
    // zero turns these automatic probes off.
    static void SetProbeInterval(std::chrono::milliseconds interval);
    // How often this process's status changed from OK to lost, and from lost back to OK.
    struct CStatusChanges {
        unsigned long long lost = 0;
        unsigned long long recovered = 0;
    };
    static CStatusChanges StatusChanges();

  private:
    void ReadConnectionFile();

    OS::x_wstring m_strConnectionFile;
    bool m_bCreateMissing;
    OS::x_wstring m_strProvider;
    OS::x_wstring m_strDatabaseFile;
    OS::x_wstring m_strSchemaFile;
    OS::x_wstring m_strServer;        // the libpq connection string (postgresql)
    OS::x_wstring m_strPasswordFile;  // the libpq password file, empty for libpq's own default
    int m_nBusyTimeoutMs = 30000;
    std::shared_ptr<zoltdb::CDbConnection> m_conn;
    unsigned long long m_writeGeneration = 0;  // the connection's generation at BeginWrite
};

// The same status checks as free functions, for callers outside a database object.
inline bool IsDBStatusOK() {
    return CGenericDatabase::IsDBStatusOK();
}
inline bool IsProbingDBStatus() {
    return CGenericDatabase::IsProbingDBStatus();
}
