// CCfgCtrlClusterObserver: the store of a local service given no store of its own. It keeps one
// database per virtual server that runs on this node, opened when the server's on-line
// notification arrives (or on first use when that notification was missed) and closed when its
// off-line notification arrives, and routes every store operation to the database of the server
// the request names. This machine's own names always reach the home database, opened at
// construction, so a standalone machine is served exactly as a node with one virtual server.
//
// A database handed out by GetDatabase is shared: an off-line notification removes it from the
// table, and it closes when the last request using it has returned, so no request ever runs on a
// closed database.
// Thread rule: requests on the RPC threads, notifications one at a time on the cluster
// endpoint's thread. m_mutex guards the table; an on-line notification holds it while it creates
// the database (retries included), so requests for any virtual server wait for it then.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cfg_Service.h"
#include "outside/cluster/CClusterObserver.h"
#include "outside/common/CTickClock.h"
#include "storage/cfg_SettingGenericDatabase.h"

class CCfgCtrlClusterObserver : public CClusterObserver, public CCfgVirtualServerDB {
  public:
    using DatabasePtr = std::shared_ptr<CCfgSettingGenericDatabase>;
    static constexpr uint64_t kReconnectIntervalMs = 60000;
    static constexpr uint64_t kCreateWindowMs = 60000;
    static constexpr uint32_t kCreateRetryMs = 500;

    // Observes the cluster for `component` and writes environment settings through it. Opens
    // `homeConnectionFile` for `homeNames` now; throws CDBException when it cannot.
    CCfgCtrlClusterObserver(const OS::x_wstring& component, const OS::x_wstring& homeConnectionFile,
                            std::vector<OS::x_wstring> homeNames,
                            OS::CTickClock& clock = OS::CTickClock::System());
    ~CCfgCtrlClusterObserver() override;

    // The cluster notification: opens, replaces or closes a virtual server's database and
    // records the change in its environment setting.
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override;

    // The database of `server` (home names first, then the table, then a lazy open); null when
    // there is none.
    DatabasePtr GetDatabase(const OS::x_wstring& server);
    void FreeDatabase();

    // This machine's names and their database.
    const std::vector<OS::x_wstring>& GetHomeNames() const { return m_vecHomeNames; }
    const DatabasePtr& GetHomeDatabase() const { return m_pHome; }
    // The virtual servers whose database is open now.
    std::vector<OS::x_wstring> OpenServers();

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

    // The environment setting of a virtual server with root folder `root`.
    static void FillEnvironment(CCfgSettingVServerEnvironment& env, bool online,
                                const OS::x_wstring& root);

  private:
    // Opens the database of a server whose on-line notification was missed; false when it is
    // unknown, off line, or a reconnect was tried within the last 60 s.
    bool TryReconnect(const OS::x_wstring& name);
    // Opens a database (refresh-on-read off); throws CDBException.
    static DatabasePtr Create(const OS::x_wstring& connectionFile);
    DatabasePtr Find(const OS::x_wstring& name);
    // The on-line part of a notification: (re)creates the database within the retry window.
    void OpenOnline(const OS::x_wstring& name, const OS::x_wstring& connectionFile);

    OS::x_wstring m_strComponent;
    OS::CTickClock& m_clock;
    DatabasePtr m_pHome;
    std::vector<OS::x_wstring> m_vecHomeNames;
    std::mutex m_mutex;
    std::map<OS::x_wstring, DatabasePtr, OS::NoCaseLess> m_mapDatabases;
    std::mutex m_mutexReconnect;
    std::optional<uint64_t> m_nLastReconnect;
};
