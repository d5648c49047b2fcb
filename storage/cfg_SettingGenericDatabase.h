// CCfgSettingGenericDatabase: the store that keeps settings in the configuration database, one
// table per category (named after it), one row per setting keyed by CFG_INDEX = "policy:subject",
// one column per field. Adds to the store interface the bulk read/write with its per-store bulk
// cache, the existence read and the reset to the defaults named by CFG_DEFAULT_INSTANCE.
//
// Thread rule: every public operation runs under the store's recursive timed mutex (one per
// store, waited for at most 60000 ms), held for the whole operation including its retry; the
// workers (names ending in Ex) rely on their caller holding it, and those that write wait for it
// again on the same thread. The table cache and the bulk cache are touched only under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/common/x_wstring.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/db/CModifiableRecordSet.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/variant/CVar.h"

class CCfgSettingGenericDatabase : public CCfgSettingDBBase, public CGenericDatabase {
  public:
    // The bound of every wait for the store mutex.
    static constexpr std::chrono::milliseconds kMutexWait{60000};

    // Connects through `connectionFile` (the service passes its "config/dbconf_Conf.xml"),
    // creates the store mutex and opens every table the schema file lists. The schema file is
    // <HomeDir>/config/dbSchema_Conf.xml, HomeDir read from the registry; without it, the
    // folder above the connection file's folder stands in for the home.
    // `refreshOnRead`: a read reopens the category's table first, to see other processes' writes
    // (the system-watcher service's stores).
    // Throws CDBException: code 2 when the schema file cannot be read or is not XML, and what
    // CGenericDatabase::Initialize() throws.
    CCfgSettingGenericDatabase(const OS::x_wstring& connectionFile, bool refreshOnRead);
    CCfgSettingGenericDatabase(const CCfgSettingGenericDatabase&) = delete;
    CCfgSettingGenericDatabase& operator=(const CCfgSettingGenericDatabase&) = delete;

    // ---- virtual operations, in slot order ----
    ~CCfgSettingGenericDatabase() override;

    // Fills `setting` from the row its own row names in CFG_DEFAULT_INSTANCE (referenced settings
    // from their own defaults) and writes it back with every field (action 2). `changed` gets the
    // subject ids written, the setting's own first.
    bool ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                        std::vector<OS::x_wstring>* changed) override;
    // Column dump: for each name in `fields`, appends the name, the row count (unsigned int) and
    // the column's value in every row (CCfgSettingCategoryBase::CVarToBuffer). `server` unused.
    bool GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out) override;
    // Reads one setting, following references; a setting never stored gets its row added
    // (column defaults). Clears the setting's dirty flag.
    bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override;
    // Writes the apply-all setting's fields into every row of `category`; `callback` is called
    // after each row and stops the walk (result false, no second attempt) by returning false.
    // Each row is reported once, also when a database exception makes the store walk again.
    bool SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const CCfgSettingApplyAll& setting, CCfgIndexCallback* callback) override;
    // Writes one setting (minus the row's CFG_IGNORE_FIELDS, per `action`), and the settings its
    // reference fields name; `changed` gets the subject ids written, outer setting first.
    bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                          std::vector<OS::x_wstring>* changed, ModifyAction action) override;
    // Deletes one setting and, first, the settings its reference fields name (to any depth);
    // `removed` gets the setting's own subject id.
    void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                             std::vector<OS::x_wstring>* removed) override;

    // Bulk read: the owner's row once, each item table in one pass; the owner's columns are then
    // kept in the bulk cache, which answers the next bulk read of the same subject.
    virtual bool GetBulkConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting);
    // Bulk write: the owner's row, then its multi-value items' rows; updates the bulk cache.
    virtual bool SetBulkConfiguration(const CCfgIndex& index,
                                      const CCfgSettingCategoryBase& setting,
                                      std::vector<OS::x_wstring>* changed, ModifyAction action);
    // As the read, but a missing row is not added: the result is false.
    virtual bool GetExistConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting);

    // Workers. REQUIRES (all): the calling thread holds the store mutex, or the worker waits for it
    // itself (the write, apply-all, delete and bulk-write workers do). They may throw CDBException.
    virtual void RemoveConfigurationEx(const CCfgIndex& index, const OS::x_wstring& category,
                                       std::vector<OS::x_wstring>* removed);
    virtual void RemoveAllConfigurationEx(CCfgSettingCategoryBase& setting);
    virtual bool SetConfigurationEx(const OS::x_wstring& server, const OS::x_wstring& category,
                                    const CCfgSettingApplyAll& setting,
                                    CCfgIndexCallback* callback);
    virtual bool SetConfigurationEx(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                                    std::vector<OS::x_wstring>* changed, ModifyAction action);
    virtual bool SetBulkConfigurationEx(const CCfgIndex& index,
                                        const CCfgSettingCategoryBase& setting,
                                        std::vector<OS::x_wstring>* changed, ModifyAction action,
                                        bool isSubTable);
    virtual bool GetConfigurationEx(const OS::x_wstring& server, const OS::x_wstring& category,
                                    const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out);
    virtual bool GetConfigurationEx(const CCfgIndex& index, CCfgSettingCategoryBase& setting);
    virtual bool GetBulkConfigurationEx(const CCfgIndex& index, CCfgSettingCategoryBase& setting);
    virtual bool SubResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting);
    virtual bool GetExistConfigurationEx(const CCfgIndex& index, CCfgSettingCategoryBase& setting);
    // Opens every table the schema file lists ("//database/schema/table", attribute "name").
    // Throws CDBException code 2 when the file cannot be read or is not XML.
    virtual void CacheAllConfig(const OS::x_wstring& schemaFile);

    // Swaps the database file for `file`, a copy written by BackupTo: the file is copied beside
    // the database and checked whole (a database, its integrity, every table and column of the
    // schema) before anything changes; then, under the store mutex, the tables are closed, the
    // database file is kept as "<db>.before-restore", the copy takes its place and the database
    // is reopened. Any failure puts the old file back. Throws CDBException (kEngine) with one
    // sentence; SQLite only.
    void RestoreFrom(const std::string& file);

    // A batch of writes made durable together: the writes of this store made on the
    // constructing thread until Commit form one database transaction (one sync to disk instead
    // of one per write). The batch holds the store mutex from construction to destruction, so
    // other threads' operations wait for it. A write of the batch that meets a database
    // exception is not tried again and every later write of the batch is refused (false): the
    // batch fails as a whole and Commit rolls it back. When the transaction cannot begin, each
    // write commits by itself as without a batch.
    class CWriteBatch {
      public:
        explicit CWriteBatch(CCfgSettingGenericDatabase& store);
        // Rolls back what Commit did not make durable.
        ~CWriteBatch();
        CWriteBatch(const CWriteBatch&) = delete;
        CWriteBatch& operator=(const CWriteBatch&) = delete;
        // True when every write of the batch is durable, false (logged) when none of them is.
        // Call once.
        bool Commit();

      private:
        void Rollback();
        CCfgSettingGenericDatabase& m_store;
        std::unique_lock<std::recursive_timed_mutex> m_lock;
        bool m_open = false;
    };

    // ---- for tests and diagnostics ----
    // Shortens (or restores) the bound of the waits for the store mutex.
    void SetMutexWaitTimeout(std::chrono::milliseconds timeout) { m_waitTimeout = timeout; }
    // Makes the next store constructed in this process fail to create its mutex, as when the
    // system has no resources left (the store then refuses every guarded operation).
    static void FailNextMutexCreation();
    // How often a store of this process tried an operation again after a database exception
    // made it close its tables (any thread).
    static unsigned long long RetryCount();
    // The store mutex itself, so a test can hold it from another thread. Null when it could not
    // be created.
    std::recursive_timed_mutex* GetStoreMutex() { return m_pMutex.get(); }
    // The number of tables open in the table cache, and whether `table` is one of them.
    size_t GetOpenTableCount() const;
    bool IsTableOpen(const OS::x_wstring& table) const;
    // The bulk cache entry of `subject` (false when there is none).
    bool GetBulkCacheEntry(const OS::x_wstring& subject,
                           std::map<OS::x_wstring, CVar, OS::NoCaseLess>& out) const;

    // The field callback of the write: writes one field of the setting into the current row.
    class DbFieldInfoCB : public CCfgSettingCategoryBase::CFieldInfoCallback {
      public:
        DbFieldInfoCB(CCfgSettingGenericDatabase& db, const CCfgIndex& index,
                      CModifiableRecordSet& rs, const CCfgSettingCategoryBase& setting,
                      const std::vector<OS::x_wstring>& ignore, ModifyAction action,
                      std::vector<OS::x_wstring>* changed);
        bool operator()(unsigned int id, const OS::x_wstring& name, const CVar& value) override;

      private:
        CCfgSettingGenericDatabase& m_db;
        const CCfgIndex& m_index;
        CModifiableRecordSet& m_rs;
        const CCfgSettingCategoryBase& m_setting;
        const std::vector<OS::x_wstring>& m_ignore;
        ModifyAction m_action;
        std::vector<OS::x_wstring>* m_pChanged;
    };

    // The field callback of the bulk write: as DbFieldInfoCB with no ignore list, writing
    // multi-value items as rows of their own table and keeping the owner's values in the cache.
    class DbFieldInfoCBForBulk : public CCfgSettingCategoryBase::CFieldInfoCallback {
      public:
        DbFieldInfoCBForBulk(CCfgSettingGenericDatabase& db, const CCfgIndex& index,
                             CModifiableRecordSet& rs, const CCfgSettingCategoryBase& setting,
                             const std::vector<OS::x_wstring>& ignore, ModifyAction action,
                             std::vector<OS::x_wstring>* changed, bool isSubTable);
        bool operator()(unsigned int id, const OS::x_wstring& name, const CVar& value) override;

      private:
        void WriteMultiValueField(const OS::x_wstring& name, const CVar& value);

        CCfgSettingGenericDatabase& m_db;
        const CCfgIndex& m_index;
        CModifiableRecordSet& m_rs;
        const CCfgSettingCategoryBase& m_setting;
        // Kept for symmetry with DbFieldInfoCB; the bulk write applies no ignore list.
        [[maybe_unused]] const std::vector<OS::x_wstring>& m_ignore;
        ModifyAction m_action;
        std::vector<OS::x_wstring>* m_pChanged;
        bool m_bSubTable;
    };

  private:
    // What distinguishes one guarded operation from another.
    struct GuardRule {
        bool writer;                // refuses at once while the database status is not OK
        bool logWaitFailure;        // logs "WaitForSingleObject() return: %d"
        int attempts;               // 1 or 2
        bool keepTablesOnLostLink;  // the connection-lost rule of the writers
        bool exitTraceAfterFailedWait;
    };
    // The reads: two attempts, every wait failure logged.
    static constexpr GuardRule kReadGuard{.writer = false,
                                          .logWaitFailure = true,
                                          .attempts = 2,
                                          .keepTablesOnLostLink = false,
                                          .exitTraceAfterFailedWait = true};
    // The single and bulk writes: the tables stay open when the connection is lost.
    static constexpr GuardRule kWriteGuard{.writer = true,
                                           .logWaitFailure = false,
                                           .attempts = 2,
                                           .keepTablesOnLostLink = true,
                                           .exitTraceAfterFailedWait = true};
    static constexpr GuardRule kApplyAllGuard{.writer = true,
                                              .logWaitFailure = false,
                                              .attempts = 2,
                                              .keepTablesOnLostLink = false,
                                              .exitTraceAfterFailedWait = true};
    static constexpr GuardRule kRemoveGuard{.writer = true,
                                            .logWaitFailure = false,
                                            .attempts = 1,
                                            .keepTablesOnLostLink = false,
                                            .exitTraceAfterFailedWait = true};
    // The reset: one attempt, its exit traced only after a successful wait.
    static constexpr GuardRule kResetGuard{.writer = true,
                                           .logWaitFailure = true,
                                           .attempts = 1,
                                           .keepTablesOnLostLink = false,
                                           .exitTraceAfterFailedWait = false};
    using BulkEntry = std::map<OS::x_wstring, CVar, OS::NoCaseLess>;
    struct TableEntry {
        std::unique_ptr<CModifiableRecordSet> pRecordSet;
        uint32_t dwLastUse = 0;
    };

    // Runs `worker` under the guard; `exitTrace` logs the exit.
    template <class Worker, class ExitTrace>
    bool RunGuarded(const GuardRule& rule, Worker&& worker, ExitTrace&& exitTrace);

    using StoreLock = std::unique_lock<std::recursive_timed_mutex>;
    // Waits for the store mutex (at most the wait bound); the lock owns nothing when the wait
    // failed. A timeout is always logged, a missing mutex only with `logOtherFailure`.
    StoreLock LockStore(bool logOtherFailure);

    // The cached record set of `table`, opened when needed; null when it cannot be opened.
    CModifiableRecordSet* LookupTable(const OS::x_wstring& table);
    // Empties the table cache, closing every record set.
    void CloseAllTables();
    // Makes the row of `key` current, adding (and committing) it when absent.
    static void FindOrAddRow(CModifiableRecordSet& rs, const OS::x_wstring& key);
    // Stages a row with `key`, to be inserted with the fields set on it by the next Update, or
    // written into the row of that key where there is one: one statement instead of three. A
    // table whose key is not unique is searched first (an existing row then becomes current).
    static void FindOrStageRow(CModifiableRecordSet& rs, const OS::x_wstring& key);
    // Makes the row of `key` current; false when absent (nothing is added).
    static bool FindRow(CModifiableRecordSet& rs, const OS::x_wstring& key);
    // Copies columns 1..count-1 of the current row into the setting, following references.
    void FillFromRow(const CCfgIndex& index, CModifiableRecordSet& rs,
                     CCfgSettingCategoryBase& setting);
    // The ignore list of the current row for a write with `action`.
    static std::vector<OS::x_wstring> BuildIgnoreList(CModifiableRecordSet& rs,
                                                      ModifyAction action);
    // The key of a referenced setting: this index's server and policy, `subject`.
    static CCfgIndex RefIndex(const CCfgIndex& index, const OS::x_wstring& subject);
    static CCfgIndex RefIndex(const CCfgIndex& index, CCfgSettingCategoryRef& target);
    // Sets one plain column, taking the value over; a CDBException is logged with the SetField
    // message and swallowed.
    static void SetFieldLogged(CModifiableRecordSet& rs, const OS::x_wstring& name, CVar&& value);

    static uint32_t GetTickCount();
    // A value as text for the logs ("" when it has no text form).
    static OS::x_wstring ValueText(const CVar& value);

    static constexpr const wchar_t* kIndexColumn = L"CFG_INDEX";
    static constexpr const wchar_t* kIgnoreColumn = L"CFG_IGNORE_FIELDS";
    static constexpr const wchar_t* kDefaultColumn = L"CFG_DEFAULT_INSTANCE";

    std::map<OS::x_wstring, BulkEntry> m_mapBulkCfgSetting;
    std::unique_ptr<std::recursive_timed_mutex> m_pMutex;
    bool m_bRefreshOnRead;
    std::map<OS::x_wstring, TableEntry> m_mapDbTable;
    std::chrono::milliseconds m_waitTimeout = kMutexWait;
    // Whether a write batch is open on the thread holding the store mutex, and whether one of
    // its writes failed. Touched only under the store mutex.
    enum class BatchState { kNone, kOpen, kFailed };
    BatchState m_batch = BatchState::kNone;
};
