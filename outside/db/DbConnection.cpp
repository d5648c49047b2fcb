// CDbConnection: the engine-neutral part of a connection (status, reopening, faults, the walk)
// and the process-wide connection status with its registry of live connections.
// Thread rule: a connection's handle only under its m_mutex; the registry under g_registryLock;
// the counters are atomics.
#include "outside/db/DbConnection.h"

#include <chrono>
#include <set>

#include "outside/log/DebugLog.h"

namespace zoltdb {
namespace {

static const wchar_t kLogSource[] = L"GenericDatabase";

std::atomic<int> g_lostCount{0};
std::atomic<int> g_probingCount{0};
std::atomic<unsigned long long> g_statusLost{0};       // status changes OK -> lost
std::atomic<unsigned long long> g_statusRecovered{0};  // and lost -> OK
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

OS::x_wstring WidenText(const char* t, size_t size) {
    const auto* b = reinterpret_cast<const unsigned char*>(t);
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= b[i];
    if (any >= 0x80) return OS::Utf8ToWide(std::string_view(t, size));
    OS::x_wstring out;
    out.resize(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<wchar_t>(b[i]);
    return out;
}

CDbConnection::CDbConnection(std::string where) : m_where(std::move(where)) {
    std::lock_guard<std::recursive_mutex> lk(g_registryLock);
    Registry().insert(this);
}

CDbConnection::~CDbConnection() = default;

void CDbConnection::Shutdown() {
    {
        std::lock_guard<std::recursive_mutex> lk(g_registryLock);
        Registry().erase(this);
    }
    std::lock_guard<std::recursive_mutex> lk(m_mutex);
    Close();
}

void CDbConnection::NewGeneration() {
    m_generation = g_nextGeneration++;
}

void CDbConnection::Open() {
    OpenHandle();
    NewGeneration();
    m_closed = false;
    CFG_LOG(DBG::LVL_STARTUP, L"database %s opened", m_where.c_str());
}

void CDbConnection::Close() {
    ParkWalk();
    CloseHandle();
    m_closed = true;
    NewGeneration();
    MarkRecovered();  // a closed connection is no longer a lost one
}

void CDbConnection::MarkLost() {
    bool expected = false;
    if (m_lost.compare_exchange_strong(expected, true)) {
        if (g_lostCount.fetch_add(1) == 0) g_statusLost.fetch_add(1, std::memory_order_relaxed);
        ScheduleAutoProbe();
        CFG_LOG(DBG::LVL_WARNING, L"database %s: connection lost", m_where.c_str());
    }
}

void CDbConnection::MarkRecovered() {
    bool expected = true;
    if (m_lost.compare_exchange_strong(expected, false) && g_lostCount.fetch_sub(1) == 1)
        g_statusRecovered.fetch_add(1, std::memory_order_relaxed);
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
            CloseHandle();
            OpenHandle();
            NewGeneration();
            ok = true;
        }
    } catch (const CDBException& e) {
        if (error) *error = Utf8(e.GetErrorMsg());
    }
    --g_probingCount;
    if (ok) {
        MarkRecovered();
        CFG_LOG(DBG::LVL_STARTUP, L"database %s: connection reopened", m_where.c_str());
    }
    return ok;
}

void CDbConnection::ParkWalk() {
    if (m_walk == nullptr) return;
    CDbStatement* walk = m_walk;
    m_walk = nullptr;
    walk->Reset();
}

void CDbConnection::Usable() {
    ParkWalk();
    if (m_closed) {
        OS::x_wstring msg;
        msg.Format(L"The database \"%s\" is not connected", m_where.c_str());
        throw CDBException(CDBException::kNotConnected, OS_WFILE, __LINE__, msg);
    }
    if (m_lost) {
        std::string err;
        if (!TryReopen(&err)) {
            OS::x_wstring msg;
            msg.Format(L"The connection to \"%s\" is lost and cannot be reopened: %s",
                       m_where.c_str(), err.c_str());
            throw CDBException(CDBException::kConnectionLost, OS_WFILE, __LINE__, msg);
        }
    }
}

void CDbConnection::CheckFault(CDBFaultInjector::Op op) {
    int code = 0;
    bool lose = false;
    if (!TakeFault(op, code, lose)) return;
    OS::x_wstring msg;
    if (lose) {
        MarkLost();
        msg.Format(L"The connection to \"%s\" was lost during %ls (injected)", m_where.c_str(),
                   OpName(op));
        throw CDBException(CDBException::kConnectionLost, OS_WFILE, __LINE__, msg);
    }
    msg.Format(L"Injected failure of %ls on \"%s\"", OpName(op), m_where.c_str());
    throw CDBException(code, OS_WFILE, __LINE__, msg);
}

void NoteCommit() {
    ++g_commits;
}

unsigned long long CommitCount() {
    return g_commits.load();
}

unsigned long long StatusLostCount() {
    return g_statusLost.load(std::memory_order_relaxed);
}

unsigned long long StatusRecoveredCount() {
    return g_statusRecovered.load(std::memory_order_relaxed);
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
