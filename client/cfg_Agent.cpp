// CCfgAgent: builds one request per call, sends it to the service's component through a
// CRPCClientHelper made for that call only (so an agent outlives service restarts), judges the
// reply by its id and result, and lets the caller's setting read itself from the reply.
// Thread rule: no lock; every call works on its own buffers and RPC client, the members are
// only read.
#include "cfg_Client.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/RpcFrame.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Agent";

namespace P = NS_CfgProtocol;

// The name and subject accessors of a setting are not const; reading them changes nothing.
CCfgSettingCategoryBase& Mutable(const CCfgSettingCategoryBase& setting) {
    return const_cast<CCfgSettingCategoryBase&>(setting);
}

OS::x_wstring SubjectText(const CCfgSettingCategoryBase& setting) {
    return Mutable(setting).GetSubjectID().ToString();
}

// The key header: server, the caller's policy subject, the setting's own subject, its category.
P::CKey KeyOf(const OS::x_wstring& server, const CSubjectID& subject,
              const CCfgSettingCategoryBase& setting) {
    CCfgSettingCategoryBase& s = Mutable(setting);
    return P::CKey{server, subject, s.GetSubjectID(), s.GetCategroyName()};
}

// One round trip on a client that lives for this call only.
void Send(const CComponentID& component, const wchar_t* remote, const CIPCMsgBuffer& request,
          CIPCMsgBuffer& reply) {
    CRPCClientHelper client(component, remote);
    client.SendRequest(request, reply);
}
}  // namespace

CCfgAgentBase::~CCfgAgentBase() {}

CCfgAgent::CInterateCfgSettingCallback::~CInterateCfgSettingCallback() {}

CCfgAgent::CCfgAgent(OS::x_wstring componentId, bool notify)
    : m_ComponentID(componentId), m_bNotify(notify) {}

CCfgAgent::CCfgAgent(const CCfgAgent& other)
    : CCfgAgentBase(other), m_ComponentID(other.m_ComponentID), m_bNotify(other.m_bNotify) {}

CCfgAgent& CCfgAgent::operator=(const CCfgAgent& other) {
    CCfgAgentBase::operator=(other);
    m_ComponentID = other.m_ComponentID;
    m_bNotify = other.m_bNotify;
    return *this;
}

CCfgAgent::~CCfgAgent() {}

bool CCfgAgent::SendKeyedRequest(int requestId, const OS::x_wstring& server,
                                 const CSubjectID& subject, CCfgSettingCategoryBase& setting,
                                 const wchar_t* remote, bool readSetting) {
    CIPCMsgBuffer request(P::kBufferSize, false);
    CIPCMsgBuffer reply(P::kBufferSize, false);
    P::WriteKeyRequest(request, requestId, KeyOf(server, subject, setting));
    Send(m_ComponentID, remote, request, reply);
    if (!P::ReadReplyOk(reply, P::ReplyIdOf(requestId))) return false;
    if (readSetting) P::ReadSetting(reply, setting);
    return true;
}

bool CCfgAgent::SendModifyRequest(int requestId, const OS::x_wstring& server,
                                  const CSubjectID& subject, const CCfgSettingCategoryBase& setting,
                                  const wchar_t* remote, CCfgSettingDBBase::ModifyAction action) {
    CIPCMsgBuffer request(P::kBufferSize, false);
    CIPCMsgBuffer reply(P::kBufferSize, false);
    P::WriteModifyRequest(request, requestId, KeyOf(server, subject, setting), setting,
                          static_cast<int>(action), m_bNotify);
    Send(m_ComponentID, remote, request, reply);
    return P::ReadReplyOk(reply, P::ReplyIdOf(requestId));
}

bool CCfgAgent::CatchingQuery(int requestId, const wchar_t* entryFormat, const wchar_t* exitText,
                              const wchar_t* exceptionFormat, const OS::x_wstring& server,
                              const CSubjectID& subject, CCfgSettingCategoryBase& setting,
                              const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, entryFormat, SubjectText(setting).c_str());
    bool result = false;
    try {
        result = SendKeyedRequest(requestId, server, subject, setting, remote, true);
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, exceptionFormat, static_cast<unsigned int>(e.GetErrorCode()));
        result = false;
    }
    CFG_LOG(DBG::LVL_EXIT, exitText);
    return result;
}

bool CCfgAgent::QueryConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                           CCfgSettingCategoryBase& setting,
                                           const wchar_t* remote) {
    return CatchingQuery(P::kMsgQuery, L"CCfgAgent::QueryConfigurationSettings(), subject id = %ls",
                         L"CCfgAgent::QueryConfigurationSettings()",
                         L"CCfgAgent::QueryConfigurationSettings exception. ErrCode=0x%x", server,
                         subject, setting, remote);
}

bool CCfgAgent::QueryBulkConfigurationSettings(const OS::x_wstring& server,
                                               const CSubjectID& subject,
                                               CCfgSettingCategoryBase& setting,
                                               const wchar_t* remote) {
    return CatchingQuery(P::kMsgQueryBulk,
                         L"CCfgAgent::QueryBulkConfigurationSettings(), subject id = %ls",
                         L"CCfgAgent::QueryBulkConfigurationSettings()",
                         L"CCfgAgent::QueryBulkConfigurationSettings exception. ErrCode=0x%x",
                         server, subject, setting, remote);
}

bool CCfgAgent::QueryExistConfigurationSettings(const OS::x_wstring& server,
                                                const CSubjectID& subject,
                                                CCfgSettingCategoryBase& setting,
                                                const wchar_t* remote) {
    return CatchingQuery(P::kMsgQueryExist,
                         L"CCfgAgent::QueryExistConfigurationSettings(), subject id = %ls",
                         L"CCfgAgent::QueryExistConfigurationSettings()",
                         L"CCfgAgent::QueryExistConfigurationSettings exception. ErrCode=0x%x",
                         server, subject, setting, remote);
}

bool CCfgAgent::ModifyConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                            const CCfgSettingCategoryBase& setting,
                                            const wchar_t* remote,
                                            CCfgSettingDBBase::ModifyAction action) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::ModifyConfigurationSettings() subject id = %ls",
            SubjectText(setting).c_str());
    const bool result = SendModifyRequest(P::kMsgModify, server, subject, setting, remote, action);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::ModifyConfigurationSettings()");
    return result;
}

bool CCfgAgent::ModifyBulkConfigurationSettings(const OS::x_wstring& server,
                                                const CSubjectID& subject,
                                                const CCfgSettingCategoryBase& setting,
                                                const wchar_t* remote,
                                                CCfgSettingDBBase::ModifyAction action) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::ModifyBulkConfigurationSettings() subject id = %ls",
            SubjectText(setting).c_str());
    const bool result =
        SendModifyRequest(P::kMsgModifyBulk, server, subject, setting, remote, action);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::ModifyBulkConfigurationSettings()");
    return result;
}

bool CCfgAgent::ResetToDefault(const OS::x_wstring& server, const CSubjectID& subject,
                               CCfgSettingCategoryBase& setting, const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::ResetToDefault(), subject id = %ls",
            SubjectText(setting).c_str());
    const bool result =
        SendKeyedRequest(P::kMsgResetToDefault, server, subject, setting, remote, true);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::ResetToDefault()");
    return result;
}

bool CCfgAgent::DelConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                         const CCfgSettingCategoryBase& setting,
                                         const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::DelConfigurationSettings() subject id = %ls",
            SubjectText(setting).c_str());
    const bool result =
        SendKeyedRequest(P::kMsgDelete, server, subject, Mutable(setting), remote, false);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::DelConfigurationSettings()");
    return result;
}

bool CCfgAgent::LoadConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                          CCfgSettingCategoryBase& setting, const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, L"CConfigurationSetting::LoadConfigurationSettings(), subject id = %ls",
            SubjectText(setting).c_str());
    const bool result = SendKeyedRequest(P::kMsgLoad, server, subject, setting, remote, false);
    CFG_LOG(DBG::LVL_EXIT, L"CConfigurationSetting::LoadConfigurationSettings(), bResult = %d",
            result ? 1 : 0);
    return result;
}

bool CCfgAgent::UnloadConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                            CCfgSettingCategoryBase& setting,
                                            const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CConfigurationSetting::UnloadConfigurationSettings(), subject id = %ls",
            SubjectText(setting).c_str());
    const bool result = SendKeyedRequest(P::kMsgUnload, server, subject, setting, remote, false);
    CFG_LOG(DBG::LVL_EXIT, L"CConfigurationSetting::UnloadConfigurationSettings(), bResult = %d",
            result ? 1 : 0);
    return result;
}

bool CCfgAgent::ModifyConfigurationSettings(const OS::x_wstring& server,
                                            const CCfgSettingApplyAll& setting,
                                            const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::ModifyConfigurationSettings(), apply all");
    CIPCMsgBuffer request(P::kBufferSize, false);
    CIPCMsgBuffer reply(P::kBufferSize, false);
    // No subject and no action: the apply-all setting addresses every stored setting of its
    // category on the server; the notify flag goes before the setting's body.
    P::WriteApplyAllRequest(request, server,
                            const_cast<CCfgSettingApplyAll&>(setting).GetCategroyName(), m_bNotify,
                            setting);
    Send(m_ComponentID, remote, request, reply);
    unsigned int replyId = 0;
    unsigned int errorCode = 0;
    reply >> replyId >> errorCode;
    const bool result =
        replyId == static_cast<unsigned int>(P::kMsgModifyApplyAllReply) && errorCode == 0;
    if (!result) {
        CFG_LOG(DBG::LVL_ERROR, L"ModifyConfigurationSettings fail, reply msg=%d, error code=%d",
                static_cast<int>(replyId), static_cast<int>(errorCode));
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::ModifyConfigurationSettings()");
    return result;
}

bool CCfgAgent::QueryConfigurationSettings(const OS::x_wstring& server,
                                           const OS::x_wstring& category,
                                           const std::vector<OS::x_wstring>& subjects,
                                           CIPCMsgBuffer& out, const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::QueryConfigurationSettings()");
    CIPCMsgBuffer request(P::kBufferSize, false);
    CIPCMsgBuffer reply(P::kBufferSize, false);
    P::WriteQueryAllRequest(request, server, category, subjects);
    Send(m_ComponentID, remote, request, reply);
    const bool result = P::ReadReplyOk(reply, P::kMsgQueryAllReply);
    if (result) reply >> out;
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::QueryConfigurationSettings()");
    return result;
}

bool CCfgAgent::QueryConfigurationSettingsEx(const OS::x_wstring& server,
                                             CInterateCfgSettingCallback& callback,
                                             const wchar_t* remote) {
    const int count = callback.GetSettingCount();
    if (count < 1) return false;
    bool result = false;
    for (int i = 0; i < count; ++i) {
        CSubjectID* subject = nullptr;
        CCfgSettingCategoryBase* setting = nullptr;
        if (!callback.GetSettingAt(i, subject, setting) || !subject || !setting) continue;
        // Through the virtual table, so a derived agent's query is the one that runs.
        result = QueryConfigurationSettings(server, *subject, *setting, remote);
    }
    return result;
}

bool CCfgAgent::BackupStorage(const OS::x_wstring& server, const OS::x_wstring& backupPath) {
    CFG_LOG(DBG::LVL_ENTRY, L"CConfigurationSetting::BackupStorage(), %ls, strBackupPath",
            server.c_str(), backupPath.c_str());
    CIPCMsgBuffer request(P::kBufferSize, false);
    CIPCMsgBuffer reply(P::kBufferSize, false);
    request << static_cast<int>(P::kMsgBackup) << server << backupPath;
    // The request goes to the computer the server names.
    Send(m_ComponentID, server.c_str(), request, reply);
    const bool result = P::ReadReplyOk(reply, P::kMsgBackupReply);
    CFG_LOG(DBG::LVL_ENTRY, L"CConfigurationSetting::BackupStorage");
    return result;
}

bool CCfgAgent::IsDBStatusOK() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgAgent::IsDBStatusOK()");
    bool result = false;
    try {
        CIPCMsgBuffer request(P::kBufferSize, false);
        CIPCMsgBuffer reply(P::kBufferSize, false);
        P::WriteDBStatusRequest(request);
        // Always the master service of this computer, whatever the agent addresses otherwise.
        Send(CComponentID(P::kMasterComponent), nullptr, request, reply);
        bool status = false;
        if (P::ReadDBStatusReply(reply, status)) result = status;
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgAgent::IsDBStatusOK: 0x%x, %ls",
                static_cast<unsigned int>(e.GetErrorCode()), e.GetErrorMsg().c_str());
        result = false;
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgAgent::IsDBStatusOK(),%d", result ? 1 : 0);
    return result;
}

CCfgAgentSW::CCfgAgentSW() : CCfgAgent(P::kSystemWatcherComponent, true) {}

void CCfgAgent::SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply,
                            const wchar_t* remote, std::chrono::milliseconds timeout,
                            std::string& endpoint) const {
    CRPCClientHelper client(m_ComponentID, remote);
    client.SetTimeout(timeout);
    endpoint = client.GetEndpoint();
    client.SendRequest(request, reply);
}

size_t CCfgAgent::MaxMessageBytes() {
    return RPC::MaxFrameSize();
}
