// The database-service restart policy and the restart.
// Thread rule: stateless.
#include "service/cfg_DatabaseServiceRestart.h"

#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/CException.h"
#include "outside/common/CServiceManager.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_DatabaseServiceRestart";
const wchar_t kModeValue[] = L"RestartSQLServiceWhenResourceOnline";
}  // namespace

namespace NS_DatabaseService {

int QueryRestartMode() {
    CFG_LOG(DBG::LVL_ENTRY, L"[ZR-132391] RestartSQLServiceWhenResourceOnline");
    int mode = kModeNever;
    if (CVirtualServerUtil::CheckIsClusterByRegKey() &&
        CVirtualServerUtil::GetClusterQuorumModeByRegKey() == 1) {
        CFG_LOG(DBG::LVL_INFO, L"[ZR-132391] 64bit Single Copy Cluster environment detected");
        OS::CRegKey key;
        unsigned long value = 0;
        if (key.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey) == ERROR_SUCCESS &&
            key.QueryValue(value, kModeValue) == ERROR_SUCCESS)
            mode = static_cast<int>(value);
        CFG_LOG(DBG::LVL_INFO, L"[ZR-132391] %ls Mode (1: always, 2: On Error): %d", kModeValue,
                mode);
    }
    CFG_LOG(DBG::LVL_EXIT, L"[ZR-132391] RestartSQLServiceWhenResourceOnline");
    return mode;
}

OS::x_wstring ServiceName() {
    OS::CRegKey key;
    OS::x_wstring name;
    if (key.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey) == ERROR_SUCCESS &&
        key.QueryValue(L"DatabaseService", name) == ERROR_SUCCESS && !name.empty())
        return name;
    return L"postgresql.service";
}

void Restart(OS::CTickClock& clock) {
    CFG_LOG(DBG::LVL_ENTRY, L"[ZR-132391] RestartSQLService");
    const OS::x_wstring service = ServiceName();
    int budget = kBudgetMs;
    try {
        CServiceManager manager(service, nullptr, clock);
        unsigned long state = manager.QueryServiceStatus();
        while (state != CServiceManager::kRunning && state != CServiceManager::kStopped &&
               budget > 0) {
            CFG_LOG(DBG::LVL_INFO,
                    L"[ZR-132391] Waiting service %ls to enter either running/stopping state...",
                    service.c_str());
            clock.Sleep(CServiceManager::kPollMs);
            budget -= static_cast<int>(CServiceManager::kPollMs);
            state = manager.QueryServiceStatus();
        }
        if (manager.QueryServiceStatus() != CServiceManager::kStopped) {
            CFG_LOG(DBG::LVL_INFO, L"[ZR-132391] Stoping service %ls, timeout left:%d",
                    service.c_str(), budget);
            const uint64_t before = clock.Now();
            manager.Stop(budget, 0, state);
            budget -= static_cast<int>(clock.Now() - before);
            if (budget < 0) budget = kFallbackStartMs;
        }
        if (manager.QueryServiceStatus() != CServiceManager::kRunning) {
            CFG_LOG(DBG::LVL_INFO, L"[ZR-132391] Starting service %ls, timeout left:%d",
                    service.c_str(), budget);
            manager.Start(budget, 0, state);
        }
        if (manager.QueryServiceStatus() == CServiceManager::kRunning)
            CFG_LOG(DBG::LVL_INFO, L"[ZR-132391], service %ls started.", service.c_str());
        else
            CFG_LOG(DBG::LVL_WARNING, L"[ZR-132391], service %ls start timeout...",
                    service.c_str());
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"[ZR-132391] Failed to restart %ls service, code: %d, msg: %ls",
                service.c_str(), e.GetErrorCode(), e.GetErrorMsg().c_str());
    }
    CFG_LOG(DBG::LVL_EXIT, L"[ZR-132391] RestartSQLService RestartSQLService succeed.");
}

}  // namespace NS_DatabaseService
