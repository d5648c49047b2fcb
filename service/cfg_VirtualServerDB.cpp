// CCfgLocalServerDB: routes every store operation to this machine's one database when the
// request names this machine, and refuses it (false, logged) for any other server name.
// Thread rule: no state changes after construction; the database serialises its own work.
#include "service/cfg_VirtualServerDB.h"

#include "cfg_Setting.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/HomeDir.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_VirtualServerDB";
}  // namespace

CCfgLocalServerDB::CCfgLocalServerDB(const OS::x_wstring& connectionFile,
                                     std::vector<OS::x_wstring> serverNames)
    : m_pDatabase(new CCfgSettingGenericDatabase(connectionFile, false)),
      m_vecServerNames(std::move(serverNames)) {}

CCfgLocalServerDB::CCfgLocalServerDB(CCfgSettingGenericDatabase* db,
                                     std::vector<OS::x_wstring> serverNames)
    : m_pDatabase(db), m_vecServerNames(std::move(serverNames)) {}

CCfgLocalServerDB::~CCfgLocalServerDB() = default;

std::vector<OS::x_wstring> CCfgLocalServerDB::DefaultServerNames() {
    return CVirtualServerUtil::LocalNames();
}

OS::x_wstring CCfgLocalServerDB::DefaultConnectionFile() {
    return NS_StringUtils::concatPath(OS::GetHomeDir(), L"config/dbconf_Conf.xml");
}

CCfgSettingGenericDatabase* CCfgLocalServerDB::GetDatabase(const OS::x_wstring& server) const {
    for (const auto& name : m_vecServerNames)
        if (OS::wcsicmp(name, server) == 0) return m_pDatabase.get();
    return nullptr;
}

bool CCfgLocalServerDB::ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                                       std::vector<OS::x_wstring>* changed) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"GetDatabase fail, server = %ls", index.GetServerName().c_str());
        return false;
    }
    return db->ResetToDefault(index, setting, changed);
}

bool CCfgLocalServerDB::GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                                         const std::vector<OS::x_wstring>& fields,
                                         CIPCMsgBuffer& out) {
    auto* db = GetDatabase(server);
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"GetConfiguration fail, virtual server=%ls", server.c_str());
        return false;
    }
    return db->GetConfiguration(server, category, fields, out);
}

bool CCfgLocalServerDB::GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"GetDatabase fail, virtual server=%ls",
                index.GetServerName().c_str());
        return false;
    }
    return db->GetConfiguration(index, setting);
}

bool CCfgLocalServerDB::SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                                         const CCfgSettingApplyAll& setting,
                                         CCfgIndexCallback* callback) {
    auto* db = GetDatabase(server);
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"SetConfiguration fail, virtual server=%ls", server.c_str());
        return false;
    }
    return db->SetConfiguration(server, category, setting, callback);
}

bool CCfgLocalServerDB::SetConfiguration(const CCfgIndex& index,
                                         const CCfgSettingCategoryBase& setting,
                                         std::vector<OS::x_wstring>* changed, ModifyAction action) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"SetConfiguration fail, virtual server=%ls",
                index.GetServerName().c_str());
        return false;
    }
    return db->SetConfiguration(index, setting, changed, action);
}

void CCfgLocalServerDB::RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                                            std::vector<OS::x_wstring>* removed) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"RemoveConfiguration fail, virtual server=%ls",
                index.GetServerName().c_str());
        return;
    }
    db->RemoveConfiguration(index, category, removed);
}

bool CCfgLocalServerDB::GetBulkConfiguration(const CCfgIndex& index,
                                             CCfgSettingCategoryBase& setting) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"GetDatabase fail, virtual server=%ls",
                index.GetServerName().c_str());
        return false;
    }
    return db->GetBulkConfiguration(index, setting);
}

bool CCfgLocalServerDB::SetBulkConfiguration(const CCfgIndex& index,
                                             const CCfgSettingCategoryBase& setting,
                                             std::vector<OS::x_wstring>* changed,
                                             ModifyAction action) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"SetBulkConfiguration fail, virtual server=%ls",
                index.GetServerName().c_str());
        return false;
    }
    return db->SetBulkConfiguration(index, setting, changed, action);
}

bool CCfgLocalServerDB::GetExistConfiguration(const CCfgIndex& index,
                                              CCfgSettingCategoryBase& setting) {
    auto* db = GetDatabase(index.GetServerName());
    if (!db) {
        CFG_LOG(DBG::LVL_INFO, L"GetExistConfiguration fail, virtual server=%ls",
                index.GetServerName().c_str());
        return false;
    }
    return db->GetExistConfiguration(index, setting);
}
