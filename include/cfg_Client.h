// Client access to the configuration service: the agent that sends one request per call to the
// service's component and reports the outcome as a bool (CCfgAgentBase, CCfgAgent, CCfgAgentSW).
// The virtual operations of every exported class keep their slot order.
// Thread rule: an agent holds no state beyond its two members, set by the constructor; one agent
// may be used from several threads at once (each call builds its own buffers and RPC client and
// blocks its own thread until the service answers or the RPC library gives up).
#pragma once

#include <vector>

#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CSubjectID.h"

// The agent interface that the factory hands out.
class CCfgAgentBase {
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
class CCfgAgent : public CCfgAgentBase {
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

    const CComponentID& GetComponentID() const { return m_ComponentID; }
    bool GetNotifyFlag() const { return m_bNotify; }

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

    CComponentID m_ComponentID;
    bool m_bNotify;
};

// The agent of the system-watcher service: the same requests, sent to "ID_ZOLT_SYSTEM_WATCHER".
class CCfgAgentSW : public CCfgAgent {
  public:
    CCfgAgentSW();
};
