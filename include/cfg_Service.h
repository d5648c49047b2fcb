// The configuration service: CCfgControl receives the requests of the agents on the RPC
// library's threads, runs them against its store and publishes a change notification for every
// setting it changed. CCfgVirtualServerDB is the store interface it works on: it picks the
// database of the server a request names.
// Thread rule: CCfgControl's operator() and handlers run on several RPC threads at once; the
// single-setting handlers take no lock of their own (the store serialises its work), the batch
// handlers take m_csBatch. Construction and destruction happen on one thread.
#pragma once

#include <atomic>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "cfg_Export.h"
#include "cfg_Storage.h"
#include "outside/common/CAutoObjPtr.h"
#include "outside/common/CCriticalSection.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/rpc/CIPCServerRequestCallback.h"

class CCfgSettingGenericDatabase;
class CRPCServerHelper;
class CSubjectServerHelper;

// The service's store: routes every operation to the database of the server named in the
// request. Adds the bulk and existence reads of the database store to the store interface.
// The TLS of the remote service ("ID_ZOLT_REMOTE_CFG"): the remote service is served on TCP
// only with mutual TLS, and other computers are reached with the same certificate. The values
// live in the product key's "Remote" subkey of the registry file: "ListenAddress", "Port" (a
// number), "Certificate", "PrivateKey", "CAFile" and "AllowedNames" (names separated by ";").
struct ZOLTCFG_API CCfgRemoteTls {
    std::string listenAddress;  // empty: every address
    unsigned short port = 0;    // 0: the default port of the remote service
    std::string certFile, keyFile, caFile;
    std::vector<std::string> allowedNames;  // peers' certificate names (CN or DNS); empty: any

    static CCfgRemoteTls FromRegistry();
    // True when certificate, key and CA file are all given.
    bool Configured() const;
    // Makes these the settings this process serves with and reaches other computers with.
    void Apply() const;
    // The port the remote service listens on with these settings.
    unsigned short ServicePort() const;
};

class ZOLTCFG_API CCfgVirtualServerDB : public CCfgSettingDBBase {
  public:
    // Added operations, in this order (after the store interface's).
    virtual bool GetBulkConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) = 0;
    virtual bool SetBulkConfiguration(const CCfgIndex& index,
                                      const CCfgSettingCategoryBase& setting,
                                      std::vector<OS::x_wstring>* changed, ModifyAction action) = 0;
    virtual bool GetExistConfiguration(const CCfgIndex& index,
                                       CCfgSettingCategoryBase& setting) = 0;
};

// The log path of the virtual server `server`, from its environment setting as the master
// service ("ID_ZOLT_MASTER" on this computer) stores it: true and `path` set when the setting was
// read and says the virtual server is on; false (logged, `path` unchanged) otherwise. Never
// throws an OS::CException.
ZOLTCFG_API bool GetLogPathname(const OS::x_wstring& server, OS::x_wstring& path);

// The configuration service object. A local service (the default) serves the setting requests
// from its store; a remote service (`asRemoteServer`) serves the file requests itself and relays
// every other request to "ID_ZOLT_MASTER" on this machine.
class ZOLTCFG_API CCfgControl : public CIPCServerRequestCallback {
  public:
    // Registers the object for `componentId` and serves from the end of the constructor. A local
    // service takes ownership of `pDb`; given none it opens the store of this machine's own
    // database. A remote service neither uses nor frees `pDb` (the caller keeps it).
    // Throws OS::CException when the endpoint or the store cannot be created.
    explicit CCfgControl(const OS::x_wstring& componentId = L"ID_ZOLT_MASTER",
                         CCfgVirtualServerDB* pDb = nullptr, bool asRemoteServer = false);
    CCfgControl(const CCfgControl&) = delete;
    CCfgControl& operator=(const CCfgControl&) = delete;

    // The local socket a local service of `componentId` listens on (its runtime folder is
    // created when missing). Throws CRPCException when the folder cannot be created or the path
    // does not fit a socket address.
    static std::string LocalEndpoint(const OS::x_wstring& componentId);

    // ---- virtual operations, in slot order ----
    // Hands out a new array of the served ids (the 27 common ones, then 901, what the service
    // serves); give it back with FreeMsgID.
    bool GetMsgID(int** ids, int* count) const override;
    // The dispatcher: runs the handler of `msgID` (local) or relays it (remote).
    void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override;
    void FreeMsgID(int* ids) override;
    ~CCfgControl() override;

    // Collects the indexes an apply-all write reports, in order.
    class CCfgIndexCtrlCB : public CCfgSettingDBBase::CCfgIndexCallback {
      public:
        explicit CCfgIndexCtrlCB(std::vector<CCfgSettingDBBase::CCfgIndex>* indexes)
            : m_pIndexes(indexes) {}
        // Appends a copy of `index`; always true (go on).
        bool operator()(const CCfgSettingDBBase::CCfgIndex& index) override;

      private:
        std::vector<CCfgSettingDBBase::CCfgIndex>* m_pIndexes;
    };

  protected:
    virtual void DoResetToDefault(unsigned int msgID, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply);
    virtual void DoQuerySettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                 CIPCMsgBuffer& reply);
    virtual void DoQueryBulkSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                     CIPCMsgBuffer& reply);
    virtual void DoModifySettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply);
    virtual void DoModifyBulkSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                      CIPCMsgBuffer& reply);
    virtual void DoDelSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                               CIPCMsgBuffer& reply);
    virtual void DoModifyApplyAll(unsigned int msgID, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply);
    virtual void DoQueryAll(unsigned int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    virtual void DoBatchQuerySettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                      CIPCMsgBuffer& reply);
    virtual void DoBatchModifySettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                       CIPCMsgBuffer& reply);
    virtual void DoBatchQueryBulkSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                          CIPCMsgBuffer& reply);
    virtual void DoBatchModifyBulkSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                           CIPCMsgBuffer& reply);
    virtual void DoLoadSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                CIPCMsgBuffer& reply);
    virtual void DoUnloadSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply);
    virtual void DoReplayClusterStatus(unsigned int msgID, const CIPCMsgBuffer& request,
                                       CIPCMsgBuffer& reply);
    virtual void DoCopyFile(unsigned int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    virtual void DoDeleteFile(unsigned int msgID, const CIPCMsgBuffer& request,
                              CIPCMsgBuffer& reply);
    virtual void DoEnumFile(unsigned int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    virtual void DoIsFileExist(unsigned int msgID, const CIPCMsgBuffer& request,
                               CIPCMsgBuffer& reply);
    virtual void DoGetMaxTimeStampFromOtherNodes(unsigned int msgID, const CIPCMsgBuffer& request,
                                                 CIPCMsgBuffer& reply);
    virtual void DoSyncFolder(unsigned int msgID, const CIPCMsgBuffer& request,
                              CIPCMsgBuffer& reply);
    virtual void DoQueryExistSettings(unsigned int msgID, const CIPCMsgBuffer& request,
                                      CIPCMsgBuffer& reply);
    virtual void DoQueryDBConnectionStatus(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

    // Called by the constructor and the destructor only.
    void Init(const OS::x_wstring& componentId);
    void Deinit();

  private:
    // Sends `relayedId` and the bytes of `request` to the master; its reply becomes `reply`.
    void Relay(int relayedId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    // The store once it is attached; null before (and in a remote service).
    CCfgVirtualServerDB* Store() const;
    // Publishes one change notification (body: mark, policy, server, kind).
    void NotifyChange(const CSubjectID& subject, const CSubjectID& policy,
                      const OS::x_wstring& server, int changeKind, bool flag);
    // Publishes one notification per subject, flagged for the environment subject only.
    void NotifyChanges(std::span<const OS::x_wstring> subjects, const CSubjectID& policy,
                       const OS::x_wstring& server, int changeKind);
    // The shared frame of the three single reads and the two single writes.
    enum class ReadKind { kPlain, kBulk, kExist };
    void QueryOne(ReadKind kind, int replyId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    void ModifyOne(bool bulk, int replyId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    void LoadOrUnload(bool load, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    // The shared frames of the batch handlers, the plain and bulk forms told apart by their
    // table (store operation, reply id, log texts); both run under m_csBatch.
    struct CBatchQueryKind;
    struct CBatchModifyKind;
    void BatchQuery(const CBatchQueryKind& kind, const CIPCMsgBuffer& request,
                    CIPCMsgBuffer& reply);
    void BatchModify(const CBatchModifyKind& kind, const CIPCMsgBuffer& request,
                     CIPCMsgBuffer& reply);
    // The handler of `msgID` (operator() counts around it).
    void Dispatch(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
    // 901: the version, home, database, provider and server names of a store of this machine's
    // own database; the reply id and -1 for any other store.
    void AnswerServiceInfo(CIPCMsgBuffer& reply);
    // 903, on a remote service: "Version", "ServicePack" and "PatchBuild" of this machine's
    // product key, read-only; the reply id and -1 when the key is missing.
    void AnswerProductValues(CIPCMsgBuffer& reply);
    // 907 and 909: a copy of this machine's own database to a file, or a file put in its place
    // (after which every observer is made to reconnect, as after a restart of the service).
    // Implemented in cfg_ControlBackup.cpp.
    void BackupOrRestore(bool restore, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

    OS::CAutoObjPtr<CCfgVirtualServerDB> m_pDB;
    bool m_bAsRemoteServer;
    CRPCServerHelper* m_pRPCSrvHelper;
    CSubjectServerHelper* m_pSubjectSrvHelper;
    OS::CCriticalSection m_csBatch;
    // Set once m_pDB is attached; handlers that find it unset answer -1.
    std::atomic<CCfgVirtualServerDB*> m_pServingDB{nullptr};
};

// The service's store on a machine that runs no virtual servers: one database (the home's
// config/dbconf_Conf.xml), served under the names of this machine. A request that names another
// server finds no database: reads and writes answer false, a delete does nothing, exactly as for
// a virtual server that is off line. Every operation may run on several threads at once; the
// database serialises its own work, the name list never changes after construction.

class ZOLTCFG_API CCfgLocalServerDB : public CCfgVirtualServerDB {
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

// The system watcher's configuration service ("ID_ZOLT_SYSTEM_WATCHER"), so that its settings
// stay readable and writable while the master is down. Its store opens, once per process and
// only outside a cluster, one database (refresh-on-read) per server on line on this node; on a
// cluster node it opens none and every setting request answers -1. Bulk requests answer -1.
// Thread rule: m_csDbTable guards the process-wide table and every database operation made
// through it, so the service runs one setting operation at a time.
class ZOLTCFG_API CCfgControlSW : public CCfgControl {
  public:
    // Orders server names without regard to ASCII letter case.
    struct CharPtrCompare {
        bool operator()(const OS::x_wstring& a, const OS::x_wstring& b) const;
    };

    // Registers "ID_ZOLT_SYSTEM_WATCHER" with its store and fills the table. Throws
    // OS::CException when the endpoint cannot be created.
    CCfgControlSW();
    // Stops serving, then closes every database of the table (the entries stay, empty).
    ~CCfgControlSW() override;

    // Opens the databases of the servers on line on this node that the table lacks; always 0.
    int Initialize();

    static std::map<OS::x_wstring, CCfgSettingGenericDatabase*, CharPtrCompare> m_mapDbTable;
    static OS::CCriticalSection m_csDbTable;
};
