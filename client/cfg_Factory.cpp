// CCfgFactory: the process-wide factory of agents and proxies, creating the library's own
// classes for type id -1 and a module's objects otherwise (or always the lowest-numbered module
// when the factory setting file lists one).
// Thread rule: Instance() is double-checked under a static lock; creates and frees may run on
// several threads (the loader guards its modules); CloseSingleton() takes no lock.
#include "cfg_Client.h"
#include "client/cfg_FactoryDllMgr.h"
#include "client/cfg_Proxy.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/HomeDir.h"

static const wchar_t kLogSource[] = L"cfg_Factory";

namespace {

constexpr wchar_t kDefaultSettingFile[] = L"config/cfg_FactorySetting.txt";
constexpr wchar_t kDefaultProxyComponent[] = L"ID_ZOLT_CFG_PROXY";
constexpr int kKindAgent = 0;
constexpr int kKindProxy = 1;

// Guards the creation of the process-wide factory. A function-local object, so that it exists
// whenever Instance() runs, also from the library's load-time entry.
OS::CCriticalSection& InstanceLock() {
    static OS::CCriticalSection lock;
    return lock;
}

// The process-wide factory. File-local: a program may hold this module twice (linked in and
// through the shared library), and the two copies must not be one exported object.
std::atomic<CCfgFactory*> g_pInstance{nullptr};

}  // namespace

CCfgFactory* CCfgFactory::Instance() {
    CCfgFactory* factory = g_pInstance.load(std::memory_order_acquire);
    if (!factory) {
        OS::CCriticalSectionSentry guard(InstanceLock());
        factory = g_pInstance.load(std::memory_order_relaxed);
        if (!factory) {
            factory = new CCfgFactory(nullptr, false);
            g_pInstance.store(factory, std::memory_order_release);
        }
    }
    return factory;
}

void CCfgFactory::CloseSingleton() {
    delete g_pInstance.exchange(nullptr, std::memory_order_acq_rel);
}

CCfgFactory::CCfgFactory(const wchar_t* settingFile, bool useModuleType)
    : m_bUseModuleType(useModuleType),
      m_nModuleType(-1),
      m_pDllMgr(new CCfgFactoryDllMgr(nullptr)) {
    Init(settingFile);
}

CCfgFactory::~CCfgFactory() {
    delete m_pDllMgr;
}

void CCfgFactory::Init(const wchar_t* settingFile) {
    try {
        OS::x_wstring file;
        if (settingFile) {
            file = settingFile;
        } else {
            file = NS_StringUtils::concatPath(OS::GetHomeDir(), kDefaultSettingFile);
        }
        m_pDllMgr->Init(file.c_str());
        m_pDllMgr->LoadAllModule();
        if (m_pDllMgr->GetNewType()) {
            m_bUseModuleType = true;
            m_nModuleType = m_pDllMgr->GetNewTypeId();
        }
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgFactory::Init, (err:%d, msg:'%ls')", e.GetErrorCode(),
                e.GetErrorMsg().c_str());
    }
}

CCfgAgentBase* CCfgFactory::CreateCCfgAgent(int type, void* parameter) {
    type = ResolveType(type);
    if (type == -1) return new CCfgAgent(L"ID_ZOLT_MASTER", true);
    auto create = m_pDllMgr->GetFactoryCreatePF(type);
    if (!create) return nullptr;
    return static_cast<CCfgAgentBase*>(create(kKindAgent, parameter));
}

CCfgProxyBase* CCfgFactory::CreateCCfgProxy(int type, void* parameter) {
    type = ResolveType(type);
    if (type == -1) {
        const CComponentID component = parameter ? *static_cast<const CComponentID*>(parameter)
                                                 : CComponentID(kDefaultProxyComponent);
        return new CCfgProxy(component);
    }
    auto create = m_pDllMgr->GetFactoryCreatePF(type);
    if (!create) return nullptr;
    return static_cast<CCfgProxyBase*>(create(kKindProxy, parameter));
}

bool CCfgFactory::FreeCCfgAgent(CCfgAgentBase* agent, int type) {
    if (!agent) return false;
    type = ResolveType(type);
    if (type == -1) {
        delete agent;
        return true;
    }
    auto release = m_pDllMgr->GetFactoryFreePF(type);
    if (!release) return false;
    release(agent, kKindAgent);
    return true;
}

bool CCfgFactory::FreeCCfgProxy(CCfgProxyBase* proxy, int type) {
    if (!proxy) return false;
    type = ResolveType(type);
    if (type == -1) {
        delete proxy;
        return true;
    }
    auto release = m_pDllMgr->GetFactoryFreePF(type);
    if (!release) return false;
    release(proxy, kKindProxy);
    return true;
}
