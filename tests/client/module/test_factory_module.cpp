// A factory module for the client tests: exports "CFG_FACTORY_CREATE" and "CFG_FACTORY_FREE",
// creates agents (kind 0) and proxies (kind 1) that answer nothing, and records every call in
// the CFactoryModuleProbe the caller passes as the parameter.
// Thread rule: test-only, one thread.
#include "cfg_Client.h"
#include "tests/client/module/FactoryModuleProbe.h"

namespace {

class CModuleAgent : public CCfgAgentBase {
  public:
    explicit CModuleAgent(CFactoryModuleProbe* probe) : m_pProbe(probe) { ++m_pProbe->liveObjects; }
    ~CModuleAgent() override { --m_pProbe->liveObjects; }
    bool QueryConfigurationSettings(const OS::x_wstring&, const CSubjectID&,
                                    CCfgSettingCategoryBase&, const wchar_t*) override {
        return false;
    }
    bool ModifyConfigurationSettings(const OS::x_wstring&, const CSubjectID&,
                                     const CCfgSettingCategoryBase&, const wchar_t*,
                                     CCfgSettingDBBase::ModifyAction) override {
        return false;
    }

    CFactoryModuleProbe* Probe() const { return m_pProbe; }

  private:
    CFactoryModuleProbe* m_pProbe;
};

class CModuleProxy : public CCfgProxyBase {
  public:
    explicit CModuleProxy(CFactoryModuleProbe* probe) : m_pProbe(probe) { ++m_pProbe->liveObjects; }
    ~CModuleProxy() override { --m_pProbe->liveObjects; }
    bool GetConfigurationSettings(const OS::x_wstring&, const CSubjectID&,
                                  CCfgSettingCategoryBase&) override {
        return false;
    }
    void Hook(CCfgProxyHook&) override {}
    void Unhook(CCfgProxyHook&) override {}
    void UpdateSubjectID(const CSubjectID&, bool) override {}
    CFactoryModuleProbe* Probe() const { return m_pProbe; }

  private:
    CFactoryModuleProbe* m_pProbe;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void* CFG_FACTORY_CREATE(int kind,
                                                                           void* parameter) {
    auto* probe = static_cast<CFactoryModuleProbe*>(parameter);
    if (!probe) return nullptr;
    ++probe->creates;
    if (kind == 0) return static_cast<CCfgAgentBase*>(new CModuleAgent(probe));
    if (kind == 1) return static_cast<CCfgProxyBase*>(new CModuleProxy(probe));
    return nullptr;
}

extern "C" __attribute__((visibility("default"))) void CFG_FACTORY_FREE(void* object, int kind) {
    CFactoryModuleProbe* probe = nullptr;
    if (kind == 0) {
        auto* agent = static_cast<CModuleAgent*>(static_cast<CCfgAgentBase*>(object));
        probe = agent->Probe();
        delete agent;
    } else if (kind == 1) {
        auto* proxy = static_cast<CModuleProxy*>(static_cast<CCfgProxyBase*>(object));
        probe = proxy->Probe();
        delete proxy;
    }
    if (probe) probe->lastFreed = object;
}
