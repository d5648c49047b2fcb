// CDBFaultInjector: the armed faults, kept under one lock and taken by the connections.
// Thread rule: every member is guarded by g_lock; g_anyArmed mirrors !g_armed.empty() so that a
// connection's check costs no lock while nothing is armed (every statement makes one).
#include "outside/db/CDBFaultInjector.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "outside/db/DbConnection.h"

namespace {

struct Armed {
    CDBFaultInjector::Op op;
    int remaining;
    int code;
    bool lose;
};

std::mutex g_lock;
std::vector<Armed> g_armed;
std::atomic<bool> g_anyArmed{false};
int g_reconnectFailures = 0;
int g_fired = 0;
std::function<void()> g_probeHook;

}  // namespace

void CDBFaultInjector::FailNext(Op op, int count, int code) {
    std::lock_guard<std::mutex> lk(g_lock);
    if (count > 0) g_armed.push_back({op, count, code, false});
    g_anyArmed.store(!g_armed.empty(), std::memory_order_release);
}

void CDBFaultInjector::LoseConnectionAt(Op op) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_armed.push_back({op, 1, CDBException::kConnectionLost, true});
    g_anyArmed.store(true, std::memory_order_release);
}

void CDBFaultInjector::LoseAllConnections() {
    {
        std::lock_guard<std::mutex> lk(g_lock);
        ++g_fired;
    }
    zoltdb::LoseAll();
}

void CDBFaultInjector::FailReconnects(int count) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_reconnectFailures = count;
}

void CDBFaultInjector::SetProbeHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_probeHook = std::move(hook);
}

void CDBFaultInjector::Reset() {
    std::lock_guard<std::mutex> lk(g_lock);
    g_armed.clear();
    g_anyArmed.store(false, std::memory_order_release);
    g_reconnectFailures = 0;
    g_fired = 0;
    g_probeHook = nullptr;
}

int CDBFaultInjector::FiredCount() {
    std::lock_guard<std::mutex> lk(g_lock);
    return g_fired;
}

namespace zoltdb {

bool TakeFault(CDBFaultInjector::Op op, int& code, bool& lose) {
    if (!g_anyArmed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lk(g_lock);
    for (auto it = g_armed.begin(); it != g_armed.end(); ++it) {
        if (it->op != CDBFaultInjector::Op::kAny && it->op != op) continue;
        code = it->code;
        lose = it->lose;
        if (--it->remaining <= 0) g_armed.erase(it);
        g_anyArmed.store(!g_armed.empty(), std::memory_order_release);
        ++g_fired;
        return true;
    }
    return false;
}

bool TakeReconnectFailure() {
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_reconnectFailures <= 0) return false;
    --g_reconnectFailures;
    return true;
}

void RunProbeHook() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        hook = g_probeHook;
    }
    if (hook) hook();
}

}  // namespace zoltdb
