// CDbConnection: opening, reopening and classifying failures of one SQLite connection, and the
// process-wide connection status with its registry of live connections.
// Thread rule: a connection's handle only under its m_mutex; the registry under g_registryLock;
// the counters are atomics.
#include "outside/db/DbConnection.h"

#include <chrono>
#include <filesystem>
#include <set>

#include "outside/log/DebugLog.h"

namespace zoltdb {
namespace {

static const wchar_t kLogSource[] = L"GenericDatabase";

std::atomic<int> g_lostCount{0};
std::atomic<int> g_probingCount{0};
std::atomic<unsigned long long> g_nextGeneration{1};
std::atomic<long long> g_probeIntervalMs{2000};
std::atomic<long long> g_nextAutoProbe{0};  // steady-clock milliseconds
std::atomic<unsigned long long> g_commits{0};

std::recursive_mutex g_registryLock;
std::set<CDbConnection*>& Registry() {
    static std::set<CDbConnection*> s;
    return s;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ScheduleAutoProbe() {
    g_nextAutoProbe = NowMs() + g_probeIntervalMs.load();
}

const wchar_t* OpName(CDBFaultInjector::Op op) {
    switch (op) {
        case CDBFaultInjector::Op::kOpenTable:
            return L"OpenTable";
        case CDBFaultInjector::Op::kMove:
            return L"Move";
        case CDBFaultInjector::Op::kSeek:
            return L"Seek";
        case CDBFaultInjector::Op::kCount:
            return L"GetRecordCount";
        case CDBFaultInjector::Op::kSetField:
            return L"SetFieldValue";
        case CDBFaultInjector::Op::kUpdate:
            return L"Update";
        case CDBFaultInjector::Op::kDelete:
            return L"Delete";
        default:
            return L"operation";
    }
}

}  // namespace

std::string Utf8(const std::wstring& s) {
    return OS::WideToUtf8(s);
}
std::wstring Wide(const std::string& s) {
    return OS::Utf8ToWide(s);
}

std::string QuoteIdent(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

CDbConnection::CDbConnection(std::string path, int busyTimeoutMs, bool create)
    : m_path(std::move(path)), m_busyTimeoutMs(busyTimeoutMs), m_create(create) {
    std::lock_guard<std::recursive_mutex> lk(g_registryLock);
    Registry().insert(this);
}

CDbConnection::~CDbConnection() {
    {
        std::lock_guard<std::recursive_mutex> lk(g_registryLock);
        Registry().erase(this);
    }
    std::lock_guard<std::recursive_mutex> lk(m_mutex);
    Close();
}

void CDbConnection::OpenHandle() {
    if (m_create) {
        std::error_code ec;
        std::filesystem::path parent = std::filesystem::path(m_path).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (m_create ? SQLITE_OPEN_CREATE : 0);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(m_path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string err = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        OS::x_wstring msg;
        msg.Format(L"Cannot open the database file \"%s\": %s", m_path.c_str(), err.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg, rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, m_busyTimeoutMs);
    // WAL keeps readers of other processes going while one writes; FULL makes every commit
    // durable. The count checks that the file really is a database.
    const char* setup =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; SELECT count(*) FROM sqlite_master;";
    char* errmsg = nullptr;
    rc = sqlite3_exec(db, setup, nullptr, nullptr, &errmsg);
    if (rc != SQLITE_OK) {
        std::string err = errmsg ? errmsg : sqlite3_errstr(rc);
        sqlite3_free(errmsg);
        sqlite3_close_v2(db);
        int primary = rc & 0xff;
        OS::x_wstring msg;
        if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
            msg.Format(L"The file \"%s\" is not a database: %s", m_path.c_str(), err.c_str());
            throw CDBException(CDBException::kNotADatabase, OS_WFILE, __LINE__, msg, rc);
        }
        if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
            msg.Format(L"The database \"%s\" stayed busy: %s", m_path.c_str(), err.c_str());
            throw CDBException(CDBException::kBusy, OS_WFILE, __LINE__, msg, rc);
        }
        msg.Format(L"Cannot open the database file \"%s\": %s", m_path.c_str(), err.c_str());
        throw CDBException(CDBException::kCannotOpen, OS_WFILE, __LINE__, msg, rc);
    }
    m_db = db;
    m_generation = g_nextGeneration++;
}

void CDbConnection::Open() {
    OpenHandle();
    m_closed = false;
    CFG_LOG(DBG::LVL_STARTUP, L"database %s opened", m_path.c_str());
}

void CDbConnection::Close() {
    ParkWalk();
    if (m_db) {
        sqlite3_close_v2(m_db);  // statements still held make it close when they are finalized
        m_db = nullptr;
    }
    m_closed = true;
    m_generation = g_nextGeneration++;
    MarkRecovered();  // a closed connection is no longer a lost one
}

void CDbConnection::MarkLost() {
    bool expected = false;
    if (m_lost.compare_exchange_strong(expected, true)) {
        ++g_lostCount;
        ScheduleAutoProbe();
        CFG_LOG(DBG::LVL_WARNING, L"database %s: connection lost", m_path.c_str());
    }
}

void CDbConnection::MarkRecovered() {
    bool expected = true;
    if (m_lost.compare_exchange_strong(expected, false)) --g_lostCount;
}

bool CDbConnection::TryReopen(std::string* error) {
    if (m_closed) return false;
    if (!m_lost) return true;
    ++g_probingCount;
    bool ok = false;
    try {
        RunProbeHook();
        if (TakeReconnectFailure()) {
            if (error) *error = "reopening failed (injected)";
        } else {
            ParkWalk();
            if (m_db) {
                sqlite3_close_v2(m_db);
                m_db = nullptr;
            }
            OpenHandle();
            ok = true;
        }
    } catch (const CDBException& e) {
        if (error) *error = Utf8(e.GetErrorMsg());
    }
    --g_probingCount;
    if (ok) {
        MarkRecovered();
        CFG_LOG(DBG::LVL_STARTUP, L"database %s: connection reopened", m_path.c_str());
    }
    return ok;
}

void CDbConnection::ParkWalk() {
    if (m_walk == nullptr) return;
    sqlite3_reset(m_walk);
    m_walk = nullptr;
}

sqlite3* CDbConnection::Usable() {
    ParkWalk();
    if (m_closed) {
        OS::x_wstring msg;
        msg.Format(L"The database \"%s\" is not connected", m_path.c_str());
        throw CDBException(CDBException::kNotConnected, OS_WFILE, __LINE__, msg);
    }
    if (m_lost) {
        std::string err;
        if (!TryReopen(&err)) {
            OS::x_wstring msg;
            msg.Format(L"The connection to \"%s\" is lost and cannot be reopened: %s",
                       m_path.c_str(), err.c_str());
            throw CDBException(CDBException::kConnectionLost, OS_WFILE, __LINE__, msg);
        }
    }
    return m_db;
}

void CDbConnection::CheckFault(CDBFaultInjector::Op op) {
    int code = 0;
    bool lose = false;
    if (!TakeFault(op, code, lose)) return;
    OS::x_wstring msg;
    if (lose) {
        MarkLost();
        msg.Format(L"The connection to \"%s\" was lost during %ls (injected)", m_path.c_str(),
                   OpName(op));
        throw CDBException(CDBException::kConnectionLost, OS_WFILE, __LINE__, msg);
    }
    msg.Format(L"Injected failure of %ls on \"%s\"", OpName(op), m_path.c_str());
    throw CDBException(code, OS_WFILE, __LINE__, msg);
}

void CDbConnection::Throw(int rc, const std::string& context, int line) {
    std::string err = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    int primary = rc & 0xff;
    int code = CDBException::kEngine;
    switch (primary) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            code = CDBException::kBusy;
            break;
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            code = CDBException::kConnectionLost;
            MarkLost();
            break;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            code = CDBException::kNotADatabase;
            MarkLost();
            break;
        default:
            break;
    }
    OS::x_wstring msg;
    msg.Format(L"%s: %s (database \"%s\")", context.c_str(), err.c_str(), m_path.c_str());
    throw CDBException(code, OS_WFILE, line, msg, rc);
}

void CDbConnection::Exec(const std::string& sql, int line) {
    sqlite3* db = Usable();
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(rc, sql, line);
    NoteCommit();
}

void NoteCommit() {
    ++g_commits;
}

unsigned long long CommitCount() {
    return g_commits.load();
}

bool StatusOK() {
    if (g_lostCount.load() == 0) return true;
    long long interval = g_probeIntervalMs.load();
    if (interval > 0 && g_probingCount.load() == 0 && NowMs() >= g_nextAutoProbe.load()) {
        ScheduleAutoProbe();
        return ProbeAll();
    }
    return false;
}

bool Probing() {
    return g_probingCount.load() > 0;
}

bool ProbeAll() {
    std::lock_guard<std::recursive_mutex> lk(g_registryLock);
    for (CDbConnection* c : Registry()) {
        if (!c->IsLost()) continue;
        std::unique_lock<std::recursive_mutex> cl(c->m_mutex, std::try_to_lock);
        if (!cl.owns_lock()) continue;  // busy on another thread: its own next operation retries
        c->TryReopen();
    }
    return g_lostCount.load() == 0;
}

void SetProbeIntervalMs(long long ms) {
    g_probeIntervalMs = ms;
    ScheduleAutoProbe();
}

void LoseAll() {
    std::lock_guard<std::recursive_mutex> lk(g_registryLock);
    for (CDbConnection* c : Registry()) {
        if (!c->IsClosed()) c->MarkLost();
    }
}

}  // namespace zoltdb
