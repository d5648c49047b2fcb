// CCfgFactoryDllMgr: the factory's module loader, behind CCfgFactory.
// Thread rule: creates and frees may run on several threads (the loader guards its modules);
// Init must not race with them.
#pragma once

#include <map>
#include <vector>

#include "cfg_Client.h"
#include "outside/common/CCriticalSection.h"
#include "outside/dll/CDllManager.h"

// The module loader of the factory: reads the factory setting file, loads the listed modules
// and finds their "CFG_FACTORY_CREATE" and "CFG_FACTORY_FREE" entries.
class CCfgFactoryDllMgr {
  public:
    // The two entries of a module.
    class CConfigurationDllHandler {
      public:
        void* (*m_pfnCreate)(int kind, void* parameter) = nullptr;
        void (*m_pfnFree)(void* object, int kind) = nullptr;
    };
    // One module line of the setting file.
    struct CConfigurationDll {
        int m_nType = 0;
        OS::x_wstring m_strLogicalID;
        OS::x_wstring m_strFileName;
    };

    // With a setting file, reads it now (and Init then reads nothing).
    explicit CCfgFactoryDllMgr(const wchar_t* settingFile = nullptr);
    virtual ~CCfgFactoryDllMgr();
    CCfgFactoryDllMgr(const CCfgFactoryDllMgr&) = delete;
    CCfgFactoryDllMgr& operator=(const CCfgFactoryDllMgr&) = delete;

    // Reads `settingFile` into the mapping unless the constructor already did (then false).
    // REQUIRES: no create or free runs at the same time.
    bool Init(const wchar_t* settingFile);
    // Loads every mapped module, in type-id order; a failure is logged and the walk goes on.
    void LoadAllModule();
    // True when the mapping has an entry.
    bool GetNewType();
    // The lowest mapped type id, or -1.
    int GetNewTypeId();
    // The create or free entry of the module of `type`, loading it when needed; null when the
    // type is not mapped, the module cannot be loaded or lacks the entry.
    void* (*GetFactoryCreatePF(int type))(int, void*);
    void (*GetFactoryFreePF(int type))(void*, int);
    // Inserts or replaces the mapping entry of `type`.
    void AddConfigurationDll(int type, const wchar_t* logicalId, const wchar_t* fileName);

    // A copy of the mapping (tests and diagnostics).
    std::map<int, CConfigurationDll> GetMapping() const { return m_mapConfigurationDll; }

  private:
    bool InitConfigurationMapping(const wchar_t* settingFile);
    bool FindModuleleFilename(int type, wchar_t* fileName, int length);
    OS::CDllManager::DllModule* FindModule(const wchar_t* fileName) const;
    OS::CDllManager::DllModule* LoadHandler(const wchar_t* fileName,
                                            CConfigurationDllHandler& handler);
    void LoadHandler(const wchar_t* fileName);

    bool m_bMapped;
    OS::CDllManager m_DllManager;
    std::vector<OS::x_wstring> m_vecEntryNames;
    mutable OS::CCriticalSection m_csLoad;
    std::map<int, CConfigurationDll> m_mapConfigurationDll;
};
