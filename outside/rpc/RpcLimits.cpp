// The frame deadline setting and the connection limit read from the registry.
// Thread rule: the deadline is atomic; the registry is read on each call.
#include "outside/rpc/RpcLimits.h"

#include <atomic>

#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"

namespace RPC {

namespace {
std::atomic<long long> g_frameDeadlineMs{30000};
}

std::chrono::milliseconds FrameDeadline() {
    return std::chrono::milliseconds(g_frameDeadlineMs.load(std::memory_order_relaxed));
}

void SetFrameDeadline(std::chrono::milliseconds deadline) {
    g_frameDeadlineMs.store(deadline.count(), std::memory_order_relaxed);
}

size_t MaxConnections() {
    OS::CRegKey key;
    unsigned long value = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey, KEY_READ) == ERROR_SUCCESS &&
        key.QueryValue(value, L"MaxConnections") == ERROR_SUCCESS && value > 0)
        return value;
    return kDefaultMaxConnections;
}

}  // namespace RPC
