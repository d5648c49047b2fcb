// CCfgControlSW and its store CCfgCtrlClusterSW: the system watcher's configuration service over
// a process-wide table of databases, filled at start-up outside a cluster only.
// Thread rule: see cfg_Service.h; Initialize takes m_csDbTable for each insertion.
#include <memory>
#include <vector>

#include "cfg_Service.h"
#include "outside/cluster/CVeritasCluster.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/StringUtils.h"
#include "outside/db/CDBException.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_ControlSW";
const wchar_t kComponent[] = L"ID_ZOLT_SYSTEM_WATCHER";

// The system watcher's store: every operation on one setting goes to the table's database of
// the request's server, under the table's lock; the others are refused.
class CCfgCtrlClusterSW : public CCfgVirtualServerDB {
  public:
    bool ResetToDefault(const CCfgIndex&, CCfgSettingCategoryBase&,
                        std::vector<OS::x_wstring>*) override {
        return false;
    }
    bool GetConfiguration(const OS::x_wstring&, const OS::x_wstring&,
                          const std::vector<OS::x_wstring>&, CIPCMsgBuffer&) override {
        return false;
    }
    bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override {
        return One(L"GetConfiguration", index, [&](CCfgSettingGenericDatabase& db) {
            return db.GetConfiguration(index, setting);
        });
    }
    bool SetConfiguration(const OS::x_wstring&, const OS::x_wstring&, const CCfgSettingApplyAll&,
                          CCfgIndexCallback*) override {
        return false;
    }
    bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                          std::vector<OS::x_wstring>* changed, ModifyAction action) override {
        return One(L"SetConfiguration", index, [&](CCfgSettingGenericDatabase& db) {
            return db.SetConfiguration(index, setting, changed, action);
        });
    }
    void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                             std::vector<OS::x_wstring>* removed) override {
        One(L"RemoveConfiguration", index, [&](CCfgSettingGenericDatabase& db) {
            db.RemoveConfiguration(index, category, removed);
            return true;
        });
    }
    bool GetBulkConfiguration(const CCfgIndex&, CCfgSettingCategoryBase&) override {
        return Refused(L"GetBulkConfiguration");
    }
    bool SetBulkConfiguration(const CCfgIndex&, const CCfgSettingCategoryBase&,
                              std::vector<OS::x_wstring>*, ModifyAction) override {
        return Refused(L"SetBulkConfiguration");
    }
    bool GetExistConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override {
        return One(L"GetExistConfiguration", index, [&](CCfgSettingGenericDatabase& db) {
            return db.GetExistConfiguration(index, setting);
        });
    }

    // REQUIRES: the caller holds m_csDbTable.
    CCfgSettingGenericDatabase* GetDatabase(const OS::x_wstring& server) {
        CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterSW::GetDatabase() strVirtualServerName=%ls",
                server.c_str());
        // This machine's names all reach the entry of its host name.
        const OS::x_wstring key = CVirtualServerUtil::IsLocalName(server)
                                      ? CVirtualServerUtil::LocalNames().front()
                                      : server;
        auto it = CCfgControlSW::m_mapDbTable.find(key);
        CCfgSettingGenericDatabase* db =
            it == CCfgControlSW::m_mapDbTable.end() ? nullptr : it->second;
        CFG_LOG(DBG::LVL_EXIT, L"CCfgCtrlClusterSW::GetDatabase()");
        return db;
    }

  private:
    template <class F>
    bool One(const wchar_t* op, const CCfgIndex& index, F call) {
        CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterSW::%ls()", op);
        const OS::x_wstring& server = index.GetServerName();
        bool ok = false;
        CClusterVirtualServerInfo info;
        if (!CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(server),
                                                 info)) {
            CFG_LOG(DBG::LVL_INFO, L"CVirtualServerUtil::QueryServerInfo, virtual server=%ls",
                    server.c_str());
        } else {
            try {
                CFG_LOG(DBG::LVL_INFO, L"database virtual server name=%ls", server.c_str());
                OS::CCriticalSectionSentry lock(CCfgControlSW::m_csDbTable);
                CCfgSettingGenericDatabase* db = GetDatabase(server);
                ok = db && call(*db);
                // The removal has no result to report.
                if (!ok && std::wstring_view(op) != L"RemoveConfiguration")
                    CFG_LOG(DBG::LVL_INFO, L"Database operation fail, virtual server=%ls",
                            server.c_str());
            } catch (const CDBException& e) {
                CFG_LOG(DBG::LVL_ERROR, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                        e.GetErrorCode());
                ok = false;
            }
        }
        CFG_LOG(DBG::LVL_EXIT, L"GetConfiguration::%ls()", op);
        return ok;
    }
    static bool Refused(const wchar_t* op) {
        CFG_LOG(DBG::LVL_ENTRY, L"CCfgCtrlClusterSW::%ls()", op);
        CFG_LOG(DBG::LVL_WARNING, L"You should not get here!!!");
        CFG_LOG(DBG::LVL_EXIT, L"GetConfiguration::%ls()", op);
        return false;
    }
};
}  // namespace

std::map<OS::x_wstring, CCfgSettingGenericDatabase*, CCfgControlSW::CharPtrCompare>
    CCfgControlSW::m_mapDbTable;
OS::CCriticalSection CCfgControlSW::m_csDbTable;

bool CCfgControlSW::CharPtrCompare::operator()(const OS::x_wstring& a,
                                               const OS::x_wstring& b) const {
    return OS::wcsicmp(a, b) < 0;
}

CCfgControlSW::CCfgControlSW() : CCfgControl(kComponent, new CCfgCtrlClusterSW, false) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControlSW::CCfgControlSW(), subject id=%ls", kComponent);
    Initialize();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControlSW::CCfgControlSW()");
}

CCfgControlSW::~CCfgControlSW() {
    // No request may find a database closed under it: stop serving first.
    Deinit();
    OS::CCriticalSectionSentry lock(m_csDbTable);
    for (auto& [name, db] : m_mapDbTable) {
        delete db;
        db = nullptr;
    }
}

int CCfgControlSW::Initialize() {
    if (CVirtualServerUtil::CheckIsClusterByRegKey() ||
        CVeritasCluster::GetThirdPartyClusterType() == 1) {
        CFG_LOG(DBG::LVL_INFO, L"[ZR-116002]: Skip caching connection in cluster environment");
        CVeritasCluster::CleanImpersonation_();
        return 0;
    }
    try {
        int count = 0;
        int rc = CVirtualServerUtil::EnumServersOnCurrentNode(nullptr, &count);
        if (rc == 2) {
            count = 0;
            CFG_LOG(DBG::LVL_ERROR, L"EnumServersOnCurrentNode() fail, return code: %d", rc);
        }
        std::vector<CClusterVirtualServerInfo> servers(static_cast<size_t>(std::max(count, 0)));
        if (count > 0 &&
            (rc = CVirtualServerUtil::EnumServersOnCurrentNode(servers.data(), &count)) != 0) {
            CFG_LOG(DBG::LVL_ERROR, L"EnumServersOnCurrentNode() fail, return code: %d", rc);
            servers.clear();
        }
        servers.resize(static_cast<size_t>(
            std::max(std::min<int>(count, static_cast<int>(servers.size())), 0)));
        for (const auto& server : servers) {
            if (!server.m_bOnline || !CGenericDatabase::IsDBStatusOK()) continue;
            CFG_LOG(DBG::LVL_INFO, L"server: %ls online, and database is online",
                    server.m_strName.c_str());
            OS::CCriticalSectionSentry lock(m_csDbTable);
            CCfgSettingGenericDatabase*& slot = m_mapDbTable[server.m_strName];
            if (slot) continue;
            const OS::x_wstring conf =
                NS_StringUtils::concatPath(server.m_strRootFolder, L"config/dbconf_Conf.xml");
            try {
                slot = new CCfgSettingGenericDatabase(conf, true);
                CFG_LOG(DBG::LVL_INFO, L"db: %ls created", conf.c_str());
            } catch (const CDBException&) {
                // Not reachable now: skipped until the process restarts.
            }
        }
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"error message: %ls", e.GetErrorMsg().c_str());
    }
    CVeritasCluster::CleanImpersonation_();
    return 0;
}
