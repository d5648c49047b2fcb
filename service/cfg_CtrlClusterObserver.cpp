// CCfgCtrlClusterObserver: the per-virtual-server databases of a local service, their opening and
// closing on cluster notifications, and the routing of store operations.
// Thread rule: see cfg_CtrlClusterObserver.h.
#include "service/cfg_CtrlClusterObserver.h"

#include <new>

#include "cfg_Client.h"
#include "cfg_Setting.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/StringUtils.h"
#include "outside/db/CDBException.h"
#include "outside/log/DebugLog.h"
#include "service/cfg_DatabaseServiceRestart.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_CtrlClusterObserver";
const wchar_t kConfFile[] = L"config/dbconf_Conf.xml";
const wchar_t kLogFile[] = L"config/dbconf_Log.xml";
const wchar_t kReportFile[] = L"config/dbconf_Report.xml";

// Logs `what` (with the server) at information level and gives false.
bool Failed(const wchar_t* what, const OS::x_wstring& server) {
    CFG_LOG(DBG::LVL_INFO, what, server.c_str());
    return false;
}
}  // namespace

CCfgCtrlClusterObserver::CCfgCtrlClusterObserver(const OS::x_wstring& component,
                                                 const OS::x_wstring& homeConnectionFile,
                                                 std::vector<OS::x_wstring> homeNames,
                                                 OS::CTickClock& clock)
    : CClusterObserver(CComponentID(component)),
      m_strComponent(component),
      m_clock(clock),
      m_pHome(Create(homeConnectionFile)),
      m_vecHomeNames(std::move(homeNames)) {
    SetOpenServerSource([this] { return OpenServers(); });
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterObserver::CCfgCtrlClusterObserver() component id=%ls",
            component.c_str());
    CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::CCfgCtrlClusterObserver()");
}

CCfgCtrlClusterObserver::~CCfgCtrlClusterObserver() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterObserver::~CCfgCtrlClusterObserver()");
    UnInit();
    std::lock_guard<std::mutex> g(m_mutex);
    m_mapDatabases.clear();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::~CCfgCtrlClusterObserver()");
}

void CCfgCtrlClusterObserver::FreeDatabase() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterObserver::FreeDatabase()");
    CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::FreeDatabase()");
}

CCfgCtrlClusterObserver::DatabasePtr CCfgCtrlClusterObserver::Create(
    const OS::x_wstring& connectionFile) {
    auto* db = new (std::nothrow) CCfgSettingGenericDatabase(connectionFile, false);
    if (!db)
        throw CDBException(CDBException::kNoMemory, OS_WFILE, __LINE__,
                           L"no memory for a configuration database");
    return DatabasePtr(db);
}

CCfgCtrlClusterObserver::DatabasePtr CCfgCtrlClusterObserver::Find(const OS::x_wstring& name) {
    std::lock_guard<std::mutex> g(m_mutex);
    auto it = m_mapDatabases.find(name);
    return it == m_mapDatabases.end() ? nullptr : it->second;
}

std::vector<OS::x_wstring> CCfgCtrlClusterObserver::OpenServers() {
    std::lock_guard<std::mutex> g(m_mutex);
    std::vector<OS::x_wstring> names;
    for (const auto& [name, db] : m_mapDatabases) names.push_back(name);
    return names;
}

CCfgCtrlClusterObserver::DatabasePtr CCfgCtrlClusterObserver::GetDatabase(
    const OS::x_wstring& server) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterObserver::GetDatabase() strVirtualServerName=%ls",
            server.c_str());
    for (const auto& name : m_vecHomeNames)
        if (OS::wcsicmp(name, server) == 0) return m_pHome;
    if (DatabasePtr db = Find(server)) return db;
    if (!TryReconnect(server)) return nullptr;
    return Find(server);
}

bool CCfgCtrlClusterObserver::TryReconnect(const OS::x_wstring& name) {
    CClusterVirtualServerInfo info;
    if (!CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(name), info)) {
        CFG_LOG(DBG::LVL_WARNING, L"Can not query virtual server status. TryReconnect() failed.");
        return false;
    }
    if (!info.m_bOnline) {
        CFG_LOG(DBG::LVL_ERROR, L"%ls server is offline", name.c_str());
        return false;
    }
    {
        // One lazy open per minute for the whole service: a server whose database keeps
        // failing must not make every request pay for a new attempt.
        std::lock_guard<std::mutex> g(m_mutexReconnect);
        const uint64_t now = m_clock.Now();
        if (m_nLastReconnect && now - *m_nLastReconnect <= kReconnectIntervalMs) return false;
        m_nLastReconnect = now;
    }
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_mapDatabases.count(name)) return true;
    m_mapDatabases[name] = Create(NS_StringUtils::concatPath(info.m_strRootFolder, kConfFile));
    return true;
}

void CCfgCtrlClusterObserver::FillEnvironment(CCfgSettingVServerEnvironment& env, bool online,
                                              const OS::x_wstring& root) {
    env.SetVirtualServerOn(online);
    env.SetConfigurationFileName(NS_StringUtils::concatPath(root, kConfFile));
    env.SetLogFileName(NS_StringUtils::concatPath(root, kLogFile));
    env.SetReportFileName(NS_StringUtils::concatPath(root, kReportFile));
    env.SetRootFolder(root);
}

void CCfgCtrlClusterObserver::OpenOnline(const OS::x_wstring& name,
                                         const OS::x_wstring& connectionFile) {
    std::lock_guard<std::mutex> g(m_mutex);
    // The old database goes now; requests still using it keep it until they return.
    m_mapDatabases.erase(name);
    const uint64_t start = m_clock.Now();
    const int mode = NS_DatabaseService::QueryRestartMode();
    bool restarted = false;
    DatabasePtr db;
    for (;;) {
        if (mode == NS_DatabaseService::kModeBeforeOpen && !restarted) {
            NS_DatabaseService::Restart(m_clock);
            restarted = true;
        }
        try {
            db = Create(connectionFile);
            break;
        } catch (const CDBException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"DB Exception: %ls (%x), will retry later",
                    e.GetErrorMsg().c_str(), e.GetErrorCode());
            if (mode == NS_DatabaseService::kModeOnError && !restarted) {
                NS_DatabaseService::Restart(m_clock);
                restarted = true;
            }
            if (m_clock.Now() - start >= kCreateWindowMs) throw;
            m_clock.Sleep(kCreateRetryMs);
        }
    }
    m_mapDatabases[name] = std::move(db);
    CFG_LOG(DBG::LVL_INFO, L"Create configuration database,%ls", name.c_str());
}

void CCfgCtrlClusterObserver::operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterObserver::operator() subject id=%ls",
            subject.ToString().c_str());
    if (subject.ToString() != kSubject) {
        CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::operator()");
        return;
    }
    CClusterVirtualServerInfo info;
    try {
        body >> info;
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"malformed cluster notification: %ls", e.GetErrorMsg().c_str());
        ReportFailure();
        CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::operator()");
        return;
    }
    const OS::x_wstring& name = info.m_strName;
    try {
        CCfgSettingVServerEnvironment env(L"ZOLT_SUB_CFG_VRS_ENV");
        FillEnvironment(env, info.m_bOnline, info.m_strRootFolder);
        if (info.m_bOnline)
            OpenOnline(name, NS_StringUtils::concatPath(info.m_strRootFolder, kConfFile));
        // Through the service itself, so the change lands in the server's own database and its
        // observers are told.
        CCfgAgent agent(m_strComponent, true);
        if (!agent.ModifyConfigurationSettings(name, CSubjectID(L"ZOLT_PLC_NULL"), env, nullptr,
                                               CCfgSettingDBBase::MA_NO_IGNORE_FIELDS))
            CFG_LOG(DBG::LVL_WARNING, L"environment setting of %ls not written", name.c_str());
        if (!info.m_bOnline) {
            std::lock_guard<std::mutex> g(m_mutex);
            m_mapDatabases.erase(name);
            CFG_LOG(DBG::LVL_INFO, L"delete configuration database,%ls", name.c_str());
        }
    } catch (const CDBException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                e.GetErrorCode());
        ReportFailure();
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"cluster notification of %ls failed: %ls (%d)", name.c_str(),
                e.GetErrorMsg().c_str(), e.GetErrorCode());
        ReportFailure();
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterObserver::operator()");
}

bool CCfgCtrlClusterObserver::ResetToDefault(const CCfgIndex& index,
                                             CCfgSettingCategoryBase& setting,
                                             std::vector<OS::x_wstring>* changed) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->ResetToDefault(index, setting, changed))
        return Failed(L"GetDatabase fail, server = %ls", index.GetServerName());
    return true;
}

bool CCfgCtrlClusterObserver::GetConfiguration(const OS::x_wstring& server,
                                               const OS::x_wstring& category,
                                               const std::vector<OS::x_wstring>& fields,
                                               CIPCMsgBuffer& out) {
    const auto db = GetDatabase(server);
    if (!db) return Failed(L"GetConfiguration fail, virtual server=%ls", server);
    return db->GetConfiguration(server, category, fields, out);
}

bool CCfgCtrlClusterObserver::GetConfiguration(const CCfgIndex& index,
                                               CCfgSettingCategoryBase& setting) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->GetConfiguration(index, setting))
        return Failed(L"GetDatabase fail, virtual server=%ls", index.GetServerName());
    return true;
}

bool CCfgCtrlClusterObserver::SetConfiguration(const OS::x_wstring& server,
                                               const OS::x_wstring& category,
                                               const CCfgSettingApplyAll& setting,
                                               CCfgIndexCallback* callback) {
    const auto db = GetDatabase(server);
    if (!db) return Failed(L"SetConfiguration fail, virtual server=%ls", server);
    return db->SetConfiguration(server, category, setting, callback);
}

bool CCfgCtrlClusterObserver::SetConfiguration(const CCfgIndex& index,
                                               const CCfgSettingCategoryBase& setting,
                                               std::vector<OS::x_wstring>* changed,
                                               ModifyAction action) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->SetConfiguration(index, setting, changed, action))
        return Failed(L"SetConfiguration fail, virtual server=%ls", index.GetServerName());
    return true;
}

void CCfgCtrlClusterObserver::RemoveConfiguration(const CCfgIndex& index,
                                                  const OS::x_wstring& category,
                                                  std::vector<OS::x_wstring>* removed) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db) {
        Failed(L"RemoveConfiguration fail, virtual server=%ls", index.GetServerName());
        return;
    }
    db->RemoveConfiguration(index, category, removed);
}

bool CCfgCtrlClusterObserver::GetBulkConfiguration(const CCfgIndex& index,
                                                   CCfgSettingCategoryBase& setting) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->GetBulkConfiguration(index, setting))
        return Failed(L"GetDatabase fail, virtual server=%ls", index.GetServerName());
    return true;
}

bool CCfgCtrlClusterObserver::SetBulkConfiguration(const CCfgIndex& index,
                                                   const CCfgSettingCategoryBase& setting,
                                                   std::vector<OS::x_wstring>* changed,
                                                   ModifyAction action) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->SetBulkConfiguration(index, setting, changed, action))
        return Failed(L"SetBulkConfiguration fail, virtual server=%ls", index.GetServerName());
    return true;
}

bool CCfgCtrlClusterObserver::GetExistConfiguration(const CCfgIndex& index,
                                                    CCfgSettingCategoryBase& setting) {
    const auto db = GetDatabase(index.GetServerName());
    if (!db || !db->GetExistConfiguration(index, setting))
        return Failed(L"GetExistConfiguration fail, virtual server=%ls", index.GetServerName());
    return true;
}
