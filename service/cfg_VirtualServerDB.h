// CCfgLocalServerDB: the service's store on a machine that runs no virtual servers: one database
// (the home's config/dbconf_Conf.xml), served under the names of this machine. A request that
// names another server finds no database: reads and writes answer false, a delete does nothing,
// exactly as for a virtual server that is off line.
// Thread rule: every operation may run on several threads at once; the database serialises its
// own work, the name list never changes after construction.
#pragma once

#include <vector>

#include "cfg_Service.h"
#include "outside/common/CAutoObjPtr.h"

class CCfgSettingGenericDatabase;

class CCfgLocalServerDB : public CCfgVirtualServerDB {
  public:
    // Opens the database of `connectionFile` (creating missing tables) and serves it under
    // `serverNames` (compared without regard to letter case). Throws CDBException when the
    // database cannot be opened.
    CCfgLocalServerDB(const OS::x_wstring& connectionFile, std::vector<OS::x_wstring> serverNames);
    // Serves an already open store (owned from now on) under `serverNames`.
    CCfgLocalServerDB(CCfgSettingGenericDatabase* db, std::vector<OS::x_wstring> serverNames);
    ~CCfgLocalServerDB() override;
    CCfgLocalServerDB(const CCfgLocalServerDB&) = delete;
    CCfgLocalServerDB& operator=(const CCfgLocalServerDB&) = delete;

    // This machine's names: its host name as the system reports it, the host name without its
    // domain part, and "localhost".
    static std::vector<OS::x_wstring> DefaultServerNames();
    // <home>/config/dbconf_Conf.xml, the home being the registry's "HomeDir", else ZOLTCFG_HOME,
    // else /var/lib/zoltcfg.
    static OS::x_wstring DefaultConnectionFile();

    // The database serving `server`, or null (logged) when the name is not one of this machine's.
    CCfgSettingGenericDatabase* GetDatabase(const OS::x_wstring& server) const;
    const std::vector<OS::x_wstring>& GetServerNames() const { return m_vecServerNames; }

    bool ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                        std::vector<OS::x_wstring>* changed) override;
    bool GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out) override;
    bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override;
    bool SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const CCfgSettingApplyAll& setting, CCfgIndexCallback* callback) override;
    bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                          std::vector<OS::x_wstring>* changed, ModifyAction action) override;
    void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                             std::vector<OS::x_wstring>* removed) override;
    bool GetBulkConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override;
    bool SetBulkConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                              std::vector<OS::x_wstring>* changed, ModifyAction action) override;
    bool GetExistConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override;

  private:
    OS::CAutoObjPtr<CCfgSettingGenericDatabase> m_pDatabase;
    std::vector<OS::x_wstring> m_vecServerNames;
};
