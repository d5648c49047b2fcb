// CCfgSettingGenericDatabase: construction and destruction, the guard of the public operations
// (store mutex, two attempts that close the tables after a database exception, the
// connection-lost rule of the writers), the table cache, and the single-setting read, existence
// read, write, apply-all write, delete, delete-all and column dump, and the write batches (many
// writes in one transaction). Bulk operations and the reset to defaults live in their own files.
// Thread rule: see the header; everything here runs under the store mutex.
#include "storage/cfg_SettingGenericDatabase.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"
#include "outside/xml/CXMLParser.h"
#include "storage/cfg_SettingRefField.h"

#if defined(__SANITIZE_THREAD__)
#define STORE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STORE_UNDER_TSAN 1
#endif
#endif

namespace {

const wchar_t kLogSource[] = L"cfg_SettingGenericDatabase";

std::atomic<bool> g_failNextMutexCreation{false};
std::atomic<unsigned long long> g_retries{0};

// The product's home folder, from the registry value "HomeDir" of the product key.
bool ReadHomeDir(OS::x_wstring& home) {
    OS::CRegKey reg;
    return reg.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey, KEY_READ) == ERROR_SUCCESS &&
           reg.QueryValue(L"HomeDir", home) == ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

void CCfgSettingGenericDatabase::FailNextMutexCreation() {
    g_failNextMutexCreation = true;
}

CCfgSettingGenericDatabase::CCfgSettingGenericDatabase(const OS::x_wstring& connectionFile,
                                                       bool refreshOnRead)
    : CGenericDatabase(connectionFile, true), m_bRefreshOnRead(refreshOnRead) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::CCfgSettingGenericDatabase()=%ls",
            connectionFile.c_str());
    try {
        if (g_failNextMutexCreation.exchange(false)) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        m_pMutex = std::make_unique<std::recursive_timed_mutex>();
    } catch (const std::exception&) {
        CFG_LOG(DBG::LVL_FATAL,
                L"Fatal error: Mutex Create failed. CCfgSettingGenericDatabase can not work as "
                L"expected.");
    }
    Initialize();

    OS::x_wstring schemaFile;
    OS::x_wstring home;
    if (ReadHomeDir(home)) {
        schemaFile = NS_StringUtils::concatPath(home, L"config/dbSchema_Conf.xml");
    } else {
        CFG_LOG(DBG::LVL_ERROR, L"reg.QueryValue %ls fail", L"HomeDir");
        std::filesystem::path conn(connectionFile.ToUtf8());
        OS::x_wstring folder = OS::x_wstring::FromUtf8(conn.parent_path().string());
        schemaFile = NS_StringUtils::concatPath(NS_StringUtils::concatPath(folder, L".."),
                                                L"config/dbSchema_Conf.xml");
    }
    CacheAllConfig(schemaFile);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::CCfgSettingGenericDatabase()");
}

CCfgSettingGenericDatabase::~CCfgSettingGenericDatabase() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::~CCfgSettingGenericDatabase()");
    if (StoreLock lock = LockStore(true)) {
        try {
            CloseAllTables();
            Uninitialize();
        } catch (const CDBException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                    e.GetErrorCode());
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::~CCfgSettingGenericDatabase()");
}

// ---------------------------------------------------------------------------------------------
// The store mutex and the guard

CCfgSettingGenericDatabase::StoreLock CCfgSettingGenericDatabase::LockStore(bool logOtherFailure) {
    if (!m_pMutex) {
        // The platform wait's failure value, as the message has always shown it.
        constexpr int kWaitFailed = -1;
        if (logOtherFailure)
            CFG_LOG(DBG::LVL_WARNING, L"WaitForSingleObject() return: %d", kWaitFailed);
        return StoreLock();
    }
    StoreLock lock(*m_pMutex, std::defer_lock);
#if defined(STORE_UNDER_TSAN)
    // ThreadSanitizer does not see a wait on the monotonic clock (pthread_mutex_clocklock) and
    // then reports the matching unlock; under it the bound is taken on the system clock.
    lock.try_lock_until(std::chrono::system_clock::now() + m_waitTimeout);
#else
    lock.try_lock_for(m_waitTimeout);
#endif
    if (!lock) {
        CFG_LOG(DBG::LVL_WARNING,
                L"dwReturn = WAIT_TIMEOUT, Possible hang, abort current function executing.");
    }
    return lock;
}

unsigned long long CCfgSettingGenericDatabase::RetryCount() {
    return g_retries.load(std::memory_order_relaxed);
}

template <class Worker, class ExitTrace>
bool CCfgSettingGenericDatabase::RunGuarded(const GuardRule& rule, Worker&& worker,
                                            ExitTrace&& exitTrace) {
    if (rule.writer && !IsDBStatusOK()) return false;
    // Released on every way out, also when something other than a database exception leaves
    // the worker (that one goes on to the caller, but the store stays usable).
    const StoreLock lock = LockStore(rule.logWaitFailure);
    if (!lock) {
        if (rule.exitTraceAfterFailedWait) exitTrace(false);
        return false;
    }
    // A failed batch refuses its later writes: it is rolled back whole.
    if (rule.writer && m_batch == BatchState::kFailed) {
        exitTrace(false);
        return false;
    }
    bool result = false;
    for (int attempt = 0; attempt < rule.attempts && !result; ++attempt) {
        try {
            result = worker();
        } catch (const CDBException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                    e.GetErrorCode());
            result = false;
            if (m_batch != BatchState::kNone) {
                // The batch's transaction may be spoilt: no second attempt, the batch fails.
                m_batch = BatchState::kFailed;
                break;
            }
            if (rule.keepTablesOnLostLink && !IsDBStatusOK()) {
                CFG_LOG(DBG::LVL_INFO,
                        L"The exception is caused by DB connection lost, do not clear cache");
                return false;
            }
            CloseAllTables();
            if (attempt + 1 < rule.attempts) g_retries.fetch_add(1, std::memory_order_relaxed);
        }
    }
    exitTrace(result);
    return result;
}

bool CCfgSettingGenericDatabase::GetConfiguration(const OS::x_wstring& server,
                                                  const OS::x_wstring& category,
                                                  const std::vector<OS::x_wstring>& fields,
                                                  CIPCMsgBuffer& out) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::GetConfiguration(), category=%ls",
            category.c_str());
    return RunGuarded(
        kReadGuard, [&] { return GetConfigurationEx(server, category, fields, out); },
        [&](bool) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfiguration(), category=%ls",
                    category.c_str());
        });
}

bool CCfgSettingGenericDatabase::GetConfiguration(const CCfgIndex& index,
                                                  CCfgSettingCategoryBase& setting) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetConfiguration(), category=%ls, subject id=%ls",
            setting.GetCategroyName().c_str(), index.GetSubjectID().Str().c_str());
    return RunGuarded(
        kReadGuard, [&] { return GetConfigurationEx(index, setting); },
        [&](bool) { CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfiguration()"); });
}

namespace {
// Stands between the apply-all walk and the caller's callback: passes each row on once, however
// many attempts the guard makes, and remembers whether the caller stopped the walk.
class CRowsOnce final : public CCfgSettingDBBase::CCfgIndexCallback {
  public:
    explicit CRowsOnce(CCfgSettingDBBase::CCfgIndexCallback& target) : m_target(target) {}
    bool operator()(const CCfgSettingDBBase::CCfgIndex& index) override {
        // Row keys are unique without regard to ASCII case; the server is the same for all.
        if (!m_reported.insert(index.GetIndexValue()).second) return true;
        if (m_target(index)) return true;
        m_bStopped = true;
        return false;
    }
    bool Stopped() const { return m_bStopped; }

  private:
    CCfgSettingDBBase::CCfgIndexCallback& m_target;
    std::set<OS::x_wstring, OS::NoCaseLess> m_reported;
    bool m_bStopped = false;
};
}  // namespace

bool CCfgSettingGenericDatabase::SetConfiguration(const OS::x_wstring& server,
                                                  const OS::x_wstring& category,
                                                  const CCfgSettingApplyAll& setting,
                                                  CCfgIndexCallback* callback) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::SetConfiguration(), category=%ls",
            category.c_str());
    // A walk the caller stopped is an answer, not a failure: it ends the operation with false
    // and is not tried again. A second attempt after a database exception reports only rows the
    // first did not.
    std::optional<CRowsOnce> once;
    if (callback != nullptr) once.emplace(*callback);
    auto stopped = [&] { return once && once->Stopped(); };
    const bool walked = RunGuarded(
        kApplyAllGuard,
        [&] {
            return SetConfigurationEx(server, category, setting, once ? &*once : nullptr) ||
                   stopped();
        },
        [&](bool result) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetConfiguration(), return = %d",
                    result && !stopped() ? 1 : 0);
        });
    return walked && !stopped();
}

bool CCfgSettingGenericDatabase::SetConfiguration(const CCfgIndex& index,
                                                  const CCfgSettingCategoryBase& setting,
                                                  std::vector<OS::x_wstring>* changed,
                                                  ModifyAction action) {
    CCfgSettingCategoryBase& s = const_cast<CCfgSettingCategoryBase&>(setting);
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::SetConfiguration(), category=%ls, subject id=%ls, "
            L"modify action=%d, dirty=%d",
            s.GetCategroyName().c_str(), index.GetSubjectID().Str().c_str(),
            static_cast<int>(action), setting.IsDirty() ? 1 : 0);
    return RunGuarded(
        kWriteGuard, [&] { return SetConfigurationEx(index, setting, changed, action); },
        [&](bool) { CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetConfiguration()"); });
}

void CCfgSettingGenericDatabase::RemoveConfiguration(const CCfgIndex& index,
                                                     const OS::x_wstring& category,
                                                     std::vector<OS::x_wstring>* removed) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::RemoveConfiguration(), category=%ls",
            category.c_str());
    RunGuarded(
        kRemoveGuard,
        [&] {
            RemoveConfigurationEx(index, category, removed);
            return true;
        },
        [&](bool) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::RemoveConfiguration()");
        });
}

bool CCfgSettingGenericDatabase::GetBulkConfiguration(const CCfgIndex& index,
                                                      CCfgSettingCategoryBase& setting) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetBulkConfiguration(), category=%ls, subject id=%ls",
            setting.GetCategroyName().c_str(), index.GetSubjectID().Str().c_str());
    return RunGuarded(
        kReadGuard, [&] { return GetBulkConfigurationEx(index, setting); },
        [&](bool) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetBulkConfiguration()");
        });
}

bool CCfgSettingGenericDatabase::SetBulkConfiguration(const CCfgIndex& index,
                                                      const CCfgSettingCategoryBase& setting,
                                                      std::vector<OS::x_wstring>* changed,
                                                      ModifyAction action) {
    CCfgSettingCategoryBase& s = const_cast<CCfgSettingCategoryBase&>(setting);
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::SetBulkConfiguration(), category=%ls, subject id=%ls, "
            L"modify action=%d, dirty=%d",
            s.GetCategroyName().c_str(), index.GetSubjectID().Str().c_str(),
            static_cast<int>(action), setting.IsDirty() ? 1 : 0);
    return RunGuarded(
        kWriteGuard, [&] { return SetBulkConfigurationEx(index, setting, changed, action, false); },
        [&](bool) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetBulkConfiguration()");
        });
}

bool CCfgSettingGenericDatabase::GetExistConfiguration(const CCfgIndex& index,
                                                       CCfgSettingCategoryBase& setting) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetExistConfiguration(), category=%ls, subject id=%ls",
            setting.GetCategroyName().c_str(), index.GetSubjectID().Str().c_str());
    return RunGuarded(
        kReadGuard, [&] { return GetExistConfigurationEx(index, setting); },
        [&](bool) {
            CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetExistConfiguration()");
        });
}

bool CCfgSettingGenericDatabase::ResetToDefault(const CCfgIndex& index,
                                                CCfgSettingCategoryBase& setting,
                                                std::vector<OS::x_wstring>* changed) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::ResetToDefault(), category=%ls",
            setting.GetCategroyName().c_str());
    return RunGuarded(
        kResetGuard,
        [&] {
            if (!SubResetToDefault(index, setting)) {
                CFG_LOG(DBG::LVL_ERROR, L"ResetToDefault(), SubResetToDefault fail");
                return false;
            }
            if (!SetConfigurationEx(index, setting, changed, MA_NO_IGNORE_FIELDS)) {
                CFG_LOG(DBG::LVL_ERROR, L"ResetToDefault(), SetConfiguration fail");
                return false;
            }
            return true;
        },
        [&](bool) { CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::ResetToDefault()"); });
}

// ---------------------------------------------------------------------------------------------
// Tables and rows

uint32_t CCfgSettingGenericDatabase::GetTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

OS::x_wstring CCfgSettingGenericDatabase::ValueText(const CVar& value) {
    if (value.IsString()) return value.GetString();
    try {
        return value.ToString();
    } catch (const OS::CException&) {
        return OS::x_wstring();
    }
}

CModifiableRecordSet* CCfgSettingGenericDatabase::LookupTable(const OS::x_wstring& table) {
    TableEntry& entry = m_mapDbTable[table];
    entry.dwLastUse = GetTickCount();
    if (!entry.pRecordSet) {
        CModifiableRecordSet* rs = nullptr;
        OpenTable(table, rs);
        entry.pRecordSet.reset(rs);
    }
    return entry.pRecordSet.get();
}

void CCfgSettingGenericDatabase::CloseAllTables() {
    m_mapDbTable.clear();
}

size_t CCfgSettingGenericDatabase::GetOpenTableCount() const {
    return static_cast<size_t>(
        std::count_if(m_mapDbTable.begin(), m_mapDbTable.end(),
                      [](const auto& e) { return e.second.pRecordSet != nullptr; }));
}

bool CCfgSettingGenericDatabase::IsTableOpen(const OS::x_wstring& table) const {
    auto it = m_mapDbTable.find(table);
    return it != m_mapDbTable.end() && it->second.pRecordSet != nullptr;
}

bool CCfgSettingGenericDatabase::GetBulkCacheEntry(const OS::x_wstring& subject,
                                                   BulkEntry& out) const {
    auto it = m_mapBulkCfgSetting.find(subject);
    if (it == m_mapBulkCfgSetting.end()) return false;
    out = it->second;
    return true;
}

bool CCfgSettingGenericDatabase::FindRow(CModifiableRecordSet& rs, const OS::x_wstring& key) {
    // A record set left at its end by an earlier walk is rewound first, so that only an empty
    // table counts as "at its end".
    if (rs.IsEOF()) rs.MoveFirst();
    if (rs.IsEOF()) return false;
    return rs.Seek(kIndexColumn, CVar(key));
}

void CCfgSettingGenericDatabase::FindOrAddRow(CModifiableRecordSet& rs, const OS::x_wstring& key) {
    if (FindRow(rs, key)) return;
    rs.AddNew();
    rs.SetFieldValue(kIndexColumn, CVar(key));
    rs.Update();
}

void CCfgSettingGenericDatabase::FindOrStageRow(CModifiableRecordSet& rs,
                                                const OS::x_wstring& key) {
    // With a unique key the new row needs no search: adding it updates the row of that key.
    if (!rs.IsKeyUnique() && FindRow(rs, key)) return;
    rs.AddNew();
    rs.SetFieldValue(kIndexColumn, CVar(key));
}

namespace {

// True when a field of `setting` refers to other settings: writing those moves record sets,
// possibly the one a new row of this setting is staged on.
bool HasReferenceField(const CCfgSettingCategoryBase& setting) {
    class CFind : public CCfgSettingCategoryBase::CFieldInfoCallback {
      public:
        bool operator()(unsigned int, const OS::x_wstring& name, const CVar&) override {
            found = CCfgSettingCategoryBase::IsCfgSettingField(name) ||
                    CCfgSettingCategoryBase::IsCfgSettingMVField(name);
            return !found;
        }
        bool found = false;
    } find;
    setting.EnumerateFieldValue(find);
    return find.found;
}

}  // namespace

CCfgSettingDBBase::CCfgIndex CCfgSettingGenericDatabase::RefIndex(const CCfgIndex& index,
                                                                  const OS::x_wstring& subject) {
    return CCfgIndex(index.GetServerName(),
                     SubjectPair(index.GetPolicySubject(), CSubjectID(subject)));
}

CCfgSettingDBBase::CCfgIndex CCfgSettingGenericDatabase::RefIndex(const CCfgIndex& index,
                                                                  CCfgSettingCategoryRef& target) {
    return RefIndex(index, target.GetRefKey().m_strSubjectID);
}

void CCfgSettingGenericDatabase::SetFieldLogged(CModifiableRecordSet& rs, const OS::x_wstring& name,
                                                CVar&& value) {
    try {
        rs.SetFieldValue(name, std::move(value));  // left as it was when it throws
    } catch (const CDBException& e) {
        CFG_LOG(DBG::LVL_WARNING,
                L"DB Exception: %ls (%x) when executing SetField(%ls,%ls), if this happens when "
                L"the server management is running and two servers have different version ZOLT "
                L"installed(Like ZOLT 8.0 and ZOLT 8.5), please ignore this exception, it is a "
                L"right behavior.",
                e.GetErrorMsg().c_str(), e.GetErrorCode(), name.c_str(), ValueText(value).c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// Reads

void CCfgSettingGenericDatabase::FillFromRow(const CCfgIndex& index, CModifiableRecordSet& rs,
                                             CCfgSettingCategoryBase& setting) {
    const long count = rs.GetFieldCount();
    const std::vector<OS::x_wstring>& names = rs.GetFieldNames();
    bool refers = false;
    for (long p = 1; p < count && !refers; ++p)
        refers = CCfgSettingCategoryBase::IsCfgSettingField(names[p]) ||
                 CCfgSettingCategoryBase::IsCfgSettingMVField(names[p]);
    if (!refers) {  // each value goes from the record set straight into the setting
        for (long p = 1; p < count; ++p) setting.AddFieldValue(names[p], rs.GetFieldValueRef(p));
        return;
    }
    // The row is copied first: following a reference may move this record set (a setting may
    // refer to one of its own category).
    std::vector<std::pair<OS::x_wstring, CVar>> row;
    row.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    for (long p = 1; p < count; ++p) row.emplace_back(rs.GetFieldName(p), rs.GetFieldValue(p));

    for (auto& [name, value] : row) {
        CSettingRefField refs;
        if (refs.Resolve(name, value)) {
            for (CCfgSettingCategoryRef* target : refs.Targets()) {
                GetConfigurationEx(RefIndex(index, *target), *target->GetRefValue().m_pSetting);
            }
            setting.AddFieldValue(name, refs.CopyForm());
            continue;
        }
        setting.AddFieldValue(name, value);
    }
}

bool CCfgSettingGenericDatabase::GetConfigurationEx(const CCfgIndex& index,
                                                    CCfgSettingCategoryBase& setting) {
    const OS::x_wstring category = setting.GetCategroyName();
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetConfigurationEx(), category=%ls, subject id=%ls",
            category.c_str(), index.GetSubjectID().Str().c_str());
    if (m_bRefreshOnRead && IsDBStatusOK() && !IsProbingDBStatus()) m_mapDbTable.erase(category);
    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_WARNING, L"can't open database");
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfigurationEx()");
        return false;
    }
    FindOrAddRow(*rs, index.GetIndexValue());
    FillFromRow(index, *rs, setting);
    setting.ResetDirtyFlag(false);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfigurationEx()");
    return true;
}

bool CCfgSettingGenericDatabase::GetExistConfigurationEx(const CCfgIndex& index,
                                                         CCfgSettingCategoryBase& setting) {
    const OS::x_wstring category = setting.GetCategroyName();
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::GetExistConfigurationEx(), category=%ls, subject id=%ls",
            category.c_str(), index.GetSubjectID().Str().c_str());
    bool result = false;
    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_WARNING, L"can't open database");
    } else if (!FindRow(*rs, index.GetIndexValue())) {
        CFG_LOG(DBG::LVL_INFO, L"this configuration does not exist");
    } else {
        FillFromRow(index, *rs, setting);
        setting.ResetDirtyFlag(false);
        result = true;
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetExistConfigurationEx()");
    return result;
}

// Column dump (the body of the query-all reply; docs/store-column-dump.md), for each requested
// column in the order asked:
//   column := name:text  rows:uint32  value*rows     -- rows in table order
//   value  := the setting serialization's value (tag:uint16 payload); NULL reads as tag 0
// Pinned by GenericDatabaseTest.ColumnDumpWritesNameCountAndEveryRowPerColumn.
bool CCfgSettingGenericDatabase::GetConfigurationEx(const OS::x_wstring& /*server*/,
                                                    const OS::x_wstring& category,
                                                    const std::vector<OS::x_wstring>& fields,
                                                    CIPCMsgBuffer& out) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::GetConfigurationEx(), category=%ls",
            category.c_str());
    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_ERROR, L"can't open database");
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfiguration()");
        return false;
    }
    for (const OS::x_wstring& name : fields) {
        out << name;
        const long column = rs->GetFieldIndex(name);
        if (column < 0) {  // a column the table lacks reads as empty in every row
            const auto rows = static_cast<unsigned int>(rs->GetRecordCount());
            out << rows;
            for (unsigned int r = 0; r < rows; ++r)
                CCfgSettingCategoryBase::CVarToBuffer(CVar(), out);
            continue;
        }
        // One read of the column alone; the count is known once its rows are.
        CIPCMsgBuffer values;
        unsigned int rows = 0;
        rs->ReadColumn(column, [&](const CVar& value) {
            CCfgSettingCategoryBase::CVarToBuffer(value, values);
            ++rows;
        });
        out << rows;
        out.Put(values.GetBuffer(), static_cast<unsigned int>(values.BytesUsed()));
    }
    rs->MoveFirst();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::GetConfigurationEx()");
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writes

std::vector<OS::x_wstring> CCfgSettingGenericDatabase::BuildIgnoreList(CModifiableRecordSet& rs,
                                                                       ModifyAction action) {
    std::vector<OS::x_wstring> ignore;
    if (action & MA_NO_IGNORE_FIELDS) return ignore;
    CVar list = rs.GetFieldValue(kIgnoreColumn);
    if (list.IsEmpty()) return ignore;
    std::vector<OS::x_wstring> entries;
    NS_StringUtils::GetStrings(ValueText(list), L";", entries);
    for (OS::x_wstring& entry : entries) {
        if (entry.find(L"###") != OS::x_wstring::npos) {
            entry.FindAndReplace(L"###", L"", 0);
            ignore.push_back(std::move(entry));
        } else if (!(action & MA_MARKED_IGNORE_ONLY)) {
            ignore.push_back(std::move(entry));
        }
    }
    return ignore;
}

CCfgSettingGenericDatabase::DbFieldInfoCB::DbFieldInfoCB(
    CCfgSettingGenericDatabase& db, const CCfgIndex& index, CModifiableRecordSet& rs,
    const CCfgSettingCategoryBase& setting, const std::vector<OS::x_wstring>& ignore,
    ModifyAction action, std::vector<OS::x_wstring>* changed)
    : m_db(db),
      m_index(index),
      m_rs(rs),
      m_setting(setting),
      m_ignore(ignore),
      m_action(action),
      m_pChanged(changed) {}

bool CCfgSettingGenericDatabase::DbFieldInfoCB::operator()(unsigned int /*id*/,
                                                           const OS::x_wstring& name,
                                                           const CVar& /*value*/) {
    const bool ignored = std::any_of(m_ignore.begin(), m_ignore.end(),
                                     [&](const auto& e) { return OS::wcsicmp(e, name) == 0; });
    CVar value;
    if (!m_setting.GetFieldValue(name, value)) return true;

    CSettingRefField refs;
    if (refs.Resolve(name, value)) {
        if (!ignored) {
            for (CCfgSettingCategoryRef* target : refs.Targets()) {
                m_db.SetConfigurationEx(RefIndex(m_index, *target),
                                        *target->GetRefValue().m_pSetting, m_pChanged, m_action);
            }
        }
        m_rs.SetFieldValue(name, refs.ReferenceForm());
        return true;
    }
    if (!ignored) SetFieldLogged(m_rs, name, std::move(value));
    return true;
}

bool CCfgSettingGenericDatabase::SetConfigurationEx(const CCfgIndex& index,
                                                    const CCfgSettingCategoryBase& setting,
                                                    std::vector<OS::x_wstring>* changed,
                                                    ModifyAction action) {
    CCfgSettingCategoryBase& s = const_cast<CCfgSettingCategoryBase&>(setting);
    const OS::x_wstring category = s.GetCategroyName();
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::SetConfigurationEx(), category=%ls, subject id=%ls, "
            L"modify action=%d, dirty=%d",
            category.c_str(), index.GetSubjectID().Str().c_str(), static_cast<int>(action),
            setting.IsDirty() ? 1 : 0);
    const StoreLock lock = LockStore(true);
    if (!lock) return false;

    bool result = true;
    if (!setting.IsDirty() && !(action & MA_WRITE_CLEAN)) {
        CFG_LOG(DBG::LVL_INFO, L"Setting is not dirty");
    } else if (CModifiableRecordSet* rs = LookupTable(category); rs == nullptr) {
        CFG_LOG(DBG::LVL_ERROR, L"can't open database!");
        result = false;
    } else {
        // A new row whose ignore list is not read, and whose fields write no other rows, is
        // inserted whole (and not read back: the next operation seeks its own row); otherwise it
        // is added first and its fields written into it.
        const bool whole = (action & MA_NO_IGNORE_FIELDS) && !HasReferenceField(setting);
        if (whole)
            FindOrStageRow(*rs, index.GetIndexValue());
        else
            FindOrAddRow(*rs, index.GetIndexValue());
        const std::vector<OS::x_wstring> ignore = BuildIgnoreList(*rs, action);
        if (changed != nullptr) changed->push_back(index.GetSubjectID().ToString());
        DbFieldInfoCB cb(*this, index, *rs, setting, ignore, action, changed);
        setting.EnumerateFieldValue(cb);
        if (whole)
            rs->UpdateWithoutReadBack();
        else
            rs->Update();
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetConfigurationEx()");
    return result;
}

bool CCfgSettingGenericDatabase::SetConfigurationEx(const OS::x_wstring& server,
                                                    const OS::x_wstring& category,
                                                    const CCfgSettingApplyAll& setting,
                                                    CCfgIndexCallback* callback) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::SetConfigurationEx(), category=%ls",
            category.c_str());
    const StoreLock lock = LockStore(true);
    if (!lock) return false;

    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetConfigurationEx(%d)", 0);
        return false;
    }
    bool result = true;
    const std::vector<OS::x_wstring> noIgnore;
    rs->MoveFirst();
    while (!rs->IsEOF()) {
        CCfgIndex rowIndex(server,
                           SubjectPair(CSubjectID(L"ZOLT_PLC_NULL"), CSubjectID(L"ZOLT_SUB_NULL")));
        rowIndex.SetIndexValue(ValueText(rs->GetFieldValue(0L)));
        DbFieldInfoCB cb(*this, rowIndex, *rs, setting, noIgnore, MA_NO_IGNORE_FIELDS, nullptr);
        setting.EnumerateFieldValue(cb);
        rs->Update();
        rs->MoveNext();
        if (callback != nullptr && !(*callback)(rowIndex)) {
            result = false;
            break;
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::SetConfigurationEx()");
    return result;
}

// ---------------------------------------------------------------------------------------------
// Deletes

void CCfgSettingGenericDatabase::RemoveConfigurationEx(const CCfgIndex& index,
                                                       const OS::x_wstring& category,
                                                       std::vector<OS::x_wstring>* removed) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgSettingGenericDatabase::RemoveConfigurationEx(), category=%ls, subjectid=%ls",
            category.c_str(), index.GetSubjectID().Str().c_str());
    const StoreLock lock = LockStore(true);
    if (!lock) return;

    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_WARNING, L"failed to open DB");
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::RemoveConfiguration()");
        return;
    }
    const OS::x_wstring key = index.GetIndexValue();
    if (!FindRow(*rs, key)) {
        CFG_LOG(DBG::LVL_WARNING, L"table reach end or cannot seek %ls", key.c_str());
        CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::RemoveConfigurationEx()");
        return;
    }
    if (removed != nullptr) removed->push_back(index.GetSubjectID().ToString());

    // The settings this one owns go first. Their keys are collected before any is deleted, since
    // deleting one of the same category moves this record set.
    std::vector<std::pair<OS::x_wstring, OS::x_wstring>> owned;  // (category, subject)
    const long count = rs->GetFieldCount();
    for (long p = 1; p < count; ++p) {
        const OS::x_wstring name = rs->GetFieldName(p);
        if (!CCfgSettingCategoryBase::IsCfgSettingField(name) &&
            !CCfgSettingCategoryBase::IsCfgSettingMVField(name)) {
            continue;  // the column's value is read only for reference fields
        }
        CVar value = rs->GetFieldValue(p);
        CSettingRefField refs;
        if (!refs.Resolve(name, value)) continue;
        for (CCfgSettingCategoryRef* target : refs.Targets()) {
            owned.emplace_back(target->GetRefValue().m_pSetting->GetCategroyName(),
                               target->GetRefKey().m_strSubjectID);
        }
    }
    bool moved = false;
    for (const auto& [refCategory, refSubject] : owned) {
        RemoveConfigurationEx(RefIndex(index, refSubject), refCategory, nullptr);
        if (refCategory == category) moved = true;
    }
    if (!moved || FindRow(*rs, key)) rs->Delete();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::RemoveConfigurationEx()");
}

void CCfgSettingGenericDatabase::RemoveAllConfigurationEx(CCfgSettingCategoryBase& setting) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::RemoveAllConfigurationEx()");
    const OS::x_wstring category = setting.GetCategroyName();
    CModifiableRecordSet* rs = LookupTable(category);
    if (rs == nullptr) {
        CFG_LOG(DBG::LVL_WARNING, L"can't open database %ls", category.c_str());
        return;
    }
    rs->MoveFirst();
    while (!rs->IsEOF()) {
        rs->Delete();
        rs->MoveFirst();
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::RemoveAllConfigurationEx()");
}

// ---------------------------------------------------------------------------------------------
// Opening all tables

void CCfgSettingGenericDatabase::CacheAllConfig(const OS::x_wstring& schemaFile) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgSettingGenericDatabase::CacheAllConfig");
    CFG_LOG(DBG::LVL_INFO, L"get CFG DB Schema from %ls", schemaFile.c_str());
    try {
        CXMLParser parser;
        parser.Load(schemaFile);
        CXMLNodeList tables = parser.XPathSelectNodes(L"//database/schema/table");
        for (CXMLNode node = tables.NextNode(); !node.IsNull(); node = tables.NextNode()) {
            const OS::x_wstring name = node.GetAttribute(L"name");
            CFG_LOG(DBG::LVL_INFO, L"get table name = %ls", name.c_str());
            TableEntry& entry = m_mapDbTable[name];
            entry.dwLastUse = GetTickCount();
            if (entry.pRecordSet) continue;
            CModifiableRecordSet* rs = nullptr;
            OpenTable(name, rs);
            entry.pRecordSet.reset(rs);
            if (rs == nullptr) {
                CFG_LOG(DBG::LVL_ERROR, L"can't open table %ls", name.c_str());
            } else {
                CFG_LOG(DBG::LVL_ERROR, L"open table %ls successfully", name.c_str());
            }
        }
    } catch (const CXMLException& e) {
        throw CDBException(CDBException::kSchemaFile, OS_WFILE, __LINE__, e.GetErrorMsg());
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgSettingGenericDatabase::CacheAllConfig");
}

// ---------------------------------------------------------------------------------------------
// Write batches

CCfgSettingGenericDatabase::CWriteBatch::CWriteBatch(CCfgSettingGenericDatabase& store)
    : m_store(store), m_lock(store.LockStore(true)) {
    if (!m_lock) return;
    try {
        m_store.BeginWrite();
        m_open = true;
        m_store.m_batch = BatchState::kOpen;
    } catch (const CDBException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                e.GetErrorCode());
    }
}

CCfgSettingGenericDatabase::CWriteBatch::~CWriteBatch() {
    if (m_open) Rollback();
}

void CCfgSettingGenericDatabase::CWriteBatch::Rollback() {
    m_store.RollbackWrite();
    // The bulk cache may hold values that were rolled back.
    m_store.m_mapBulkCfgSetting.clear();
    m_store.m_batch = BatchState::kNone;
    m_open = false;
}

bool CCfgSettingGenericDatabase::CWriteBatch::Commit() {
    if (!m_open) return true;
    if (m_store.m_batch == BatchState::kFailed) {
        CFG_LOG(DBG::LVL_WARNING, L"a write of the batch failed: the batch is rolled back");
        Rollback();
        return false;
    }
    try {
        m_store.CommitWrite();
    } catch (const CDBException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"DB Exception: %ls (%x)", e.GetErrorMsg().c_str(),
                e.GetErrorCode());
        CFG_LOG(DBG::LVL_WARNING, L"the batch could not be committed: it is rolled back");
        Rollback();
        return false;
    }
    m_store.m_batch = BatchState::kNone;
    m_open = false;
    return true;
}
