// Client access to the configuration service: the agent that sends one request per call to the
// service's component and reports the outcome as a bool (CCfgAgentBase, CCfgAgent, CCfgAgentSW).
// The virtual operations of every exported class keep their slot order.
// Thread rule: an agent holds no state beyond its two members, set by the constructor; one agent
// may be used from several threads at once (each call builds its own buffers and RPC client and
// blocks its own thread until the service answers or the RPC library gives up).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "cfg_Export.h"
#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/audit/SourceType.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CSubjectID.h"

// The agent interface that the factory hands out.
class ZOLTCFG_API CCfgAgentBase {
  public:
    CCfgAgentBase() {}
    CCfgAgentBase(const CCfgAgentBase&) {}
    CCfgAgentBase& operator=(const CCfgAgentBase&) { return *this; }

    // ---- virtual operations, in slot order ----
    virtual ~CCfgAgentBase();
    // Reads the stored setting (server, (subject, setting's own subject)) into `setting`.
    virtual bool QueryConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                            CCfgSettingCategoryBase& setting,
                                            const wchar_t* remote) = 0;
    // Writes `setting` under (server, (subject, setting's own subject)).
    virtual bool ModifyConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                             const CCfgSettingCategoryBase& setting,
                                             const wchar_t* remote,
                                             CCfgSettingDBBase::ModifyAction action) = 0;
};

// The working agent. Every operation sends one request to the component given to the
// constructor, on the computer `remote` names (null: this computer), and returns true only when
// the reply carries the expected reply id and the result 0.
//
// Failures: QueryConfigurationSettings (setting form), QueryBulkConfigurationSettings,
// QueryExistConfigurationSettings and IsDBStatusOK catch every OS::CException (an unreachable or
// silent service, a malformed reply, a setting that cannot read itself), log it and return
// false. Every other operation lets such exceptions through to the caller (CRPCException when
// the service cannot be reached or does not answer in time, CIPCMsgBufferException for a short
// reply).
class ZOLTCFG_API CCfgAgent : public CCfgAgentBase {
  public:
    // Supplies the (policy subject, setting) pairs that QueryConfigurationSettingsEx reads.
    class CInterateCfgSettingCallback {
      public:
        // ---- virtual operations, in slot order ----
        virtual ~CInterateCfgSettingCallback() = 0;
        // The number of entries.
        virtual int GetSettingCount() = 0;
        // Gives entry `index`'s policy subject and setting; false (or a null pointer) skips it.
        virtual bool GetSettingAt(int index, CSubjectID*& subject,
                                  CCfgSettingCategoryBase*& setting) = 0;
    };

    // `notify` is sent with every modify: the service publishes change notifications for what
    // it wrote only when it is true.
    CCfgAgent(OS::x_wstring componentId = L"ID_ZOLT_MASTER", bool notify = true);
    CCfgAgent(const CCfgAgent& other);
    CCfgAgent& operator=(const CCfgAgent& other);

    // ---- virtual operations, in slot order ----
    ~CCfgAgent() override;
    // 301 -> 302: on success `setting` reads the stored values. Catches.
    bool QueryConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                    CCfgSettingCategoryBase& setting,
                                    const wchar_t* remote) override;
    // 303 -> 304, with the agent's notify flag. Throws.
    bool ModifyConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                     const CCfgSettingCategoryBase& setting, const wchar_t* remote,
                                     CCfgSettingDBBase::ModifyAction action) override;
    // 311 -> 312: the stored setting is replaced by its defaults, which `setting` reads. Throws.
    virtual bool ResetToDefault(const OS::x_wstring& server, const CSubjectID& subject,
                                CCfgSettingCategoryBase& setting, const wchar_t* remote);
    // 315 -> 316: the named fields of every stored setting of `category`, as the store wrote
    // them, replace the content of `out`. Throws.
    virtual bool QueryConfigurationSettings(const OS::x_wstring& server,
                                            const OS::x_wstring& category,
                                            const std::vector<OS::x_wstring>& subjects,
                                            CIPCMsgBuffer& out, const wchar_t* remote);
    // 343 -> 344: the bulk form of the setting query. Catches.
    virtual bool QueryBulkConfigurationSettings(const OS::x_wstring& server,
                                                const CSubjectID& subject,
                                                CCfgSettingCategoryBase& setting,
                                                const wchar_t* remote);
    // 313 -> 314: writes the apply-all setting's fields into every stored setting of its
    // category on `server`. Throws.
    virtual bool ModifyConfigurationSettings(const OS::x_wstring& server,
                                             const CCfgSettingApplyAll& setting,
                                             const wchar_t* remote);
    // 345 -> 346: the bulk form of the modify. Throws.
    virtual bool ModifyBulkConfigurationSettings(const OS::x_wstring& server,
                                                 const CSubjectID& subject,
                                                 const CCfgSettingCategoryBase& setting,
                                                 const wchar_t* remote,
                                                 CCfgSettingDBBase::ModifyAction action);
    // 305 -> 306. Throws.
    virtual bool DelConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                          const CCfgSettingCategoryBase& setting,
                                          const wchar_t* remote);
    // 317 -> 318: tells the setting's observers it was loaded; `setting` is left as it was.
    // Throws.
    virtual bool LoadConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                           CCfgSettingCategoryBase& setting, const wchar_t* remote);
    // 319 -> 320: tells the setting's observers it was unloaded. Throws.
    virtual bool UnloadConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                             CCfgSettingCategoryBase& setting,
                                             const wchar_t* remote);
    // Runs the setting query once per entry the callback yields; the result of the last query
    // run, or false when none ran. Sends nothing of its own.
    virtual bool QueryConfigurationSettingsEx(const OS::x_wstring& server,
                                              CInterateCfgSettingCallback& callback,
                                              const wchar_t* remote);

    // ---- non-virtual members ----
    // 321 -> 322, sent to the agent's component on the computer `server` names. Nothing in this
    // library serves it. Throws.
    bool BackupStorage(const OS::x_wstring& server, const OS::x_wstring& backupPath);
    // 339 -> 340: the setting query that also reports settings the store keeps only as
    // existing. Catches.
    bool QueryExistConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                         CCfgSettingCategoryBase& setting, const wchar_t* remote);
    // 341 -> 342, always to "ID_ZOLT_MASTER" on this computer (whatever the agent's component):
    // true exactly when the service reports its database reachable. Catches.
    bool IsDBStatusOK();

    // Batch requests. A batch query reads the settings `selection` names ("subject:category"
    // entries separated by ";"; further ":" parts of an entry are ignored, entries without a
    // category are logged and left out) under (server, (subject, entry's subject)); on success
    // it appends the reply behind its id to `out`: the item count and, per item, its result and,
    // when that is 0, the key and the setting. A batch modify sends such a body (`settings`)
    // to be stored on `server` by the service of `remote`; `reply` receives the service's reply,
    // of which the agent reads the item count and the first item's result. Source type 3 first
    // drops what `server` is too old to take (rewriting `settings`); source type 2 sends nothing
    // and answers false when the product versions of `server` and this computer do not fit.
    // None of the four catches: transport, reply and replication-check errors reach the caller.
    // 309 -> 310.
    bool QueryBatchConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                         const OS::x_wstring& selection, CIPCMsgBuffer& out,
                                         const wchar_t* remote);
    // 347 -> 348.
    bool QueryBatchBulkConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                             const OS::x_wstring& selection, CIPCMsgBuffer& out,
                                             const wchar_t* remote);
    // 307 -> 308: true when the reply carries no item or its first item's result is 0.
    bool ModifyBatchConfigurationSettings(const OS::x_wstring& server, long sourceRole,
                                          CIPCMsgBuffer& settings, CIPCMsgBuffer& reply,
                                          const wchar_t* remote,
                                          CCfgSettingDBBase::ModifyAction action,
                                          const OS::x_wstring& sourceServer,
                                          const OS::x_wstring& originator, SourceType sourceType);
    // 349 -> 350.
    bool ModifyBatchBulkConfigurationSettings(
        const OS::x_wstring& server, long sourceRole, CIPCMsgBuffer& settings, CIPCMsgBuffer& reply,
        const wchar_t* remote, CCfgSettingDBBase::ModifyAction action,
        const OS::x_wstring& sourceServer, const OS::x_wstring& originator, SourceType sourceType);

    const CComponentID& GetComponentID() const { return m_ComponentID; }
    bool GetNotifyFlag() const { return m_bNotify; }

    // Sends `request`, of the caller's own making, to the agent's component on `remote` (null:
    // this computer) and waits at most `timeout` for the reply. `endpoint` receives where the
    // component is served ("unix:<socket>" or "tcp:<host>:<port>"), also when sending fails.
    // Throws CRPCException (an OS::CException) when the component cannot be reached or does not
    // answer in time.
    void SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply, const wchar_t* remote,
                     std::chrono::milliseconds timeout, std::string& endpoint) const;
    // The largest request or reply one call can carry, in bytes; larger ones are refused.
    static size_t MaxMessageBytes();

  private:
    // The shared frame of the requests that name one setting: entry log, key header, send,
    // reply judgement, optional read-back of the setting, exit log. Throws what the transport
    // or the reply throws.
    bool SendKeyedRequest(int requestId, const OS::x_wstring& server, const CSubjectID& subject,
                          CCfgSettingCategoryBase& setting, const wchar_t* remote,
                          bool readSetting);
    bool SendModifyRequest(int requestId, const OS::x_wstring& server, const CSubjectID& subject,
                           const CCfgSettingCategoryBase& setting, const wchar_t* remote,
                           CCfgSettingDBBase::ModifyAction action);
    // The three catching queries.
    bool CatchingQuery(int requestId, const wchar_t* entryFormat, const wchar_t* exitText,
                       const wchar_t* exceptionFormat, const OS::x_wstring& server,
                       const CSubjectID& subject, CCfgSettingCategoryBase& setting,
                       const wchar_t* remote);

    // The shared frames of the plain and bulk batch requests.
    struct CBatchKind;
    bool SendBatchQuery(const CBatchKind& kind, const OS::x_wstring& server,
                        const CSubjectID& subject, const OS::x_wstring& selection,
                        CIPCMsgBuffer& out, const wchar_t* remote);
    bool SendBatchModify(const CBatchKind& kind, const OS::x_wstring& server, long sourceRole,
                         CIPCMsgBuffer& settings, CIPCMsgBuffer& reply, const wchar_t* remote,
                         CCfgSettingDBBase::ModifyAction action, const OS::x_wstring& sourceServer,
                         const OS::x_wstring& originator, SourceType sourceType);
    // The agent's replication checks: drops from `settings` (a batch query reply body) the
    // settings the product on `server` is too old to take; tells whether the product on
    // `server` fits the one on this computer.
    void FilterBeforeReplication(const OS::x_wstring& server, CIPCMsgBuffer& settings);
    bool IsZOLTVersionMatch(OS::x_wstring server);

    CComponentID m_ComponentID;
    bool m_bNotify;
};

// The agent of the system-watcher service: the same requests, sent to "ID_ZOLT_SYSTEM_WATCHER".
class ZOLTCFG_API CCfgAgentSW : public CCfgAgent {
  public:
    CCfgAgentSW();
};

// ===========================================================================================
// The caching proxy, its hooks, the factory and its module loader.
//
// The library's own proxy (type id -1 of the factory) answers reads from a private cache and
// fetches misses from "ID_ZOLT_MASTER" through an agent; it observes the subject of every setting
// it served and drops cached settings when the service announces their change, then calls the
// registered hooks. Thread rule: a proxy may be used from any number of threads; hooks run on the
// change-notification thread, without any of the proxy's locks held. The factory and its loader:
// creates and frees may run on several threads; Instance() may be called from any thread;
// CloseSingleton() must not race with anything.
// ===========================================================================================

class CCfgProxyBase;
class CCfgFactoryDllMgr;

// What a proxy's user registers to hear of changes. The proxy does not own its hooks and never
// deletes one through this class (no virtual destructor).
class ZOLTCFG_API CCfgProxyHook {
  public:
    // ---- virtual operations, in slot order ----
    // A setting (server, (policySubject, subject)) changed: changeKind 3 written, 4 deleted,
    // 5 loaded, 6 unloaded. Called on the change-notification thread; the result is not used.
    virtual long NotifyCallBack(const OS::x_wstring& server, const CSubjectID& policySubject,
                                const CSubjectID& subject, int changeKind) = 0;
    // The hook's id; "CCR_CONF_HOOK_ID" keeps a hook out of the per-setting calls of a virtual
    // server's environment change. Empty unless overridden.
    virtual OS::x_wstring GetHookID();

  protected:
    CCfgProxyHook() = default;
    CCfgProxyHook(const CCfgProxyHook&) = default;
    CCfgProxyHook& operator=(const CCfgProxyHook&) = default;
    ~CCfgProxyHook() = default;
};

// What the library's caching proxies of this process have seen since it started, all proxies
// together: reads answered from the cache (hits) or from the service (misses), cached settings
// dropped by change notifications or by a reconnection (drops), and reconnections or gaps after
// which changes may have been missed (reconnections).
struct CCfgProxyCounters {
    unsigned long long hits = 0;
    unsigned long long misses = 0;
    unsigned long long drops = 0;
    unsigned long long reconnections = 0;
};

// The proxy interface that the factory hands out.
class ZOLTCFG_API CCfgProxyBase {
  public:
    CCfgProxyBase() = default;
    CCfgProxyBase(const CCfgProxyBase&) = delete;
    CCfgProxyBase& operator=(const CCfgProxyBase&) = delete;

    // ---- virtual operations, in slot order ----
    virtual ~CCfgProxyBase();
    // Fills `setting` with the stored setting (server, (subject, setting's own subject)).
    virtual bool GetConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                          CCfgSettingCategoryBase& setting) = 0;
    virtual void Hook(CCfgProxyHook& hook) = 0;
    virtual void Unhook(CCfgProxyHook& hook) = 0;
    // Observes `subject` from now on (once); `requirePreviousChange` also asks for the last
    // change already published on it.
    virtual void UpdateSubjectID(const CSubjectID& subject, bool requirePreviousChange) = 0;
    // Returns 0 and does nothing; nothing in the library calls it.
    virtual long EventNotifyCallBack(const OS::x_wstring& server, const CSubjectID& policySubject,
                                     const CSubjectID& subject);

    // The counters of this process's library proxies (any thread).
    static CCfgProxyCounters GetCounters();
};

// The process-wide factory of agents and proxies. Type id -1 is the library's own CCfgAgent or
// CCfgProxy; any other type names a module of the factory setting file. When the file lists a
// module, every create and free uses the module with the lowest type id.
class ZOLTCFG_API CCfgFactory {
  public:
    // The process-wide factory, created on first use from the default setting file
    // "config/cfg_FactorySetting.txt" under the home folder.
    static CCfgFactory* Instance();
    // Deletes the process-wide factory. REQUIRES: no other thread uses the factory or calls
    // Instance() meanwhile.
    static void CloseSingleton();

    // `settingFile` null: "config/cfg_FactorySetting.txt" under the home folder (registry
    // "HomeDir", else ZOLTCFG_HOME); otherwise the path as given.
    explicit CCfgFactory(const wchar_t* settingFile = nullptr, bool useModuleType = false);
    virtual ~CCfgFactory();
    CCfgFactory(const CCfgFactory&) = delete;
    CCfgFactory& operator=(const CCfgFactory&) = delete;

    // Type -1: a new CCfgAgent("ID_ZOLT_MASTER", true). Otherwise the module's object of kind 0
    // (null when there is none).
    CCfgAgentBase* CreateCCfgAgent(int type, void* parameter);
    // Type -1: a new CCfgProxy for the CComponentID `parameter` points to (null: the component
    // "ID_ZOLT_CFG_PROXY"). Otherwise the module's object of kind 1 (null when there is none).
    CCfgProxyBase* CreateCCfgProxy(int type, void* parameter);
    // Give an object back with the type id it was created with. False for null, or when the
    // module's free entry cannot be found (the object is then not freed).
    bool FreeCCfgAgent(CCfgAgentBase* agent, int type);
    bool FreeCCfgProxy(CCfgProxyBase* proxy, int type);

    bool UsesModuleType() const { return m_bUseModuleType; }
    int GetModuleType() const { return m_nModuleType; }

  private:
    void Init(const wchar_t* settingFile);
    int ResolveType(int type) const { return m_bUseModuleType ? m_nModuleType : type; }

    bool m_bUseModuleType;
    int m_nModuleType;
    CCfgFactoryDllMgr* m_pDllMgr;
    // The process-wide instance pointer and its lock are file-local to cfg_Factory.cpp.
};

// ===========================================================================================
// The library's own log: where its lines go and how many are written. A program that links the
// library writes warnings and errors only, to standard error, until it chooses otherwise.
// Thread rule: every function may be called from any thread at any time; a line written while
// the destination changes goes to the old destination or to the new one, whole.
// ===========================================================================================
class ZOLTCFG_API CCfgLog {
  public:
    enum class Verbosity {
        kErrors,   // warnings and errors (the default)
        kInfo,     // also information lines and start-up notes
        kTrace,    // also the entry and exit of every operation
        kNotices,  // warnings, errors and start-up notes (what a daemon writes by default)
    };
    // The kinds of line a program writes into the library's log with Write.
    enum class Kind { kInfo, kStartup, kWarning, kError };

    static void SetVerbosity(Verbosity v);
    static Verbosity GetVerbosity();

    // Standard error (the default).
    static void ToStandardError();
    // A file, appended to, rotated at `maxBytes` with `maxFiles` old files kept. Throws
    // OS::CException when the file cannot be opened; the destination is then unchanged.
    static void ToFile(const std::string& path, size_t maxBytes = 10 * 1024 * 1024,
                       size_t maxFiles = 3);
    // Nowhere: every line is dropped.
    static void ToNothing();

    // Writes one line of the program's own, named by `source`, when its kind is enabled.
    static void Write(Kind kind, const char* source, const std::string& text);
    // Writes out what the destination still buffers.
    static void Flush();
};
