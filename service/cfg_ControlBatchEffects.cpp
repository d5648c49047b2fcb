// What a batch modify does beyond the store: the single sign-on switch, the DLP policy update
// command and the audit entry, each sent to the master service or the audit log of this computer.
// Thread rule: no shared state; called under the batch lock of the service object.
#include "service/cfg_ControlBatchEffects.h"

#include "cfg_Service.h"
#include "outside/audit/AuditLog.h"
#include "outside/audit/LocalisedText.h"
#include "outside/command/CCmdAgent.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
// The batch handlers' own log source: these lines belong to the batch modify.
static const wchar_t kLogSource[] = L"cfg_Control";

namespace P = NS_CfgProtocol;

// Categories and subjects with side effects in a batch modify.
constexpr wchar_t kDlpFilter[] = L"QV_DLPFilter";
constexpr wchar_t kManualScan[] = L"QV_ManualScan";
constexpr wchar_t kScheduledScan[] = L"QV_ScheduledScan";
constexpr wchar_t kDlpTemplates[] = L"QV_DLPFilterTemplateMgr";
constexpr wchar_t kAdminGroup[] = L"QV_ADMIN_GROUP";
constexpr wchar_t kSsoSubject[] = L"ZOLT_SUB_CFG_RBA_SSO";
constexpr wchar_t kSsoField[] = L"CFG_SSO_ENABLE";

// The command that asks the master to update its DLP policies, and the audit text.
constexpr int kDlpUpdateCommand = 20;
constexpr unsigned int kReplicatedText = 1064;
}  // namespace

namespace NS_BatchEffects {

bool IsSingleSignOnSetting(const OS::x_wstring& category, const OS::x_wstring& subject) {
    return category.CompareNoCase(kAdminGroup) == 0 && subject.CompareNoCase(kSsoSubject) == 0;
}

void SwitchSingleSignOn(const CCfgSettingCategoryBase& setting, const OS::x_wstring& itemServer) {
    try {
        CVar value;
        setting.GetFieldValue(OS::x_wstring(kSsoField), value);
        const bool enabled = value.IsEmpty() ? false : value.ToBool();
        CIPCMsgBuffer request(P::kBufferSize, false);
        CIPCMsgBuffer reply(P::kBufferSize, false);
        request << static_cast<int>(P::kMsgSingleSignOn) << enabled << itemServer;
        NS_Command::SendToMaster(CComponentID(P::kMasterComponent), request, reply);
        unsigned int replyId = 0;
        reply >> replyId;
        if (replyId == static_cast<unsigned int>(P::kMsgSingleSignOnReply)) {
            unsigned int status = 0;
            reply >> status;
            if (status != 0) CFG_LOG(DBG::LVL_WARNING, L"ZOLT Set sso failed!");
        }
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"Notify Other observer via IPC exception, code:%d",
                e.GetErrorCode());
    }
}

const wchar_t* DlpScanTypes(const OS::x_wstring& category) {
    if (category.CompareNoCase(kDlpFilter) == 0) return L"RS";
    if (category.CompareNoCase(kManualScan) == 0) return L"MS";
    if (category.CompareNoCase(kScheduledScan) == 0) return L"SS";
    if (category.CompareNoCase(kDlpTemplates) == 0) return L"RSMSSS";
    return nullptr;
}

void RequestDlpUpdate(const OS::x_wstring& targetServer, const OS::x_wstring& scanTypes) {
    CCmdExecuteParam param;
    param.m_CommandID = CGUID::NewGUID();
    param.m_strServer = targetServer;
    param.m_nCommandCode = kDlpUpdateCommand;
    param.m_Parameter << scanTypes;
    CCmdAgent agent{CComponentID(P::kMasterComponent)};
    CCmdQueryResult result;
    const int rc = agent.Execute(param, nullptr, result);
    if (rc != 0 || (result.m_nState != CCmdQueryResult::STATE_DONE &&
                    result.m_nState != CCmdQueryResult::STATE_PENDING))
        CFG_LOG(DBG::LVL_WARNING, L"DLP policy update command cannot be submitted!");
}

void WriteReplicationAudit(const OS::x_wstring& targetServer, const OS::x_wstring& originator,
                           const OS::x_wstring& sourceServer, int sourceType) {
    const OS::x_wstring text = SYS::LoadStringW(kReplicatedText);
    OS::x_wstring logPath;
    GetLogPathname(targetServer, logPath);
    InsertAuditLog(targetServer, originator, sourceServer, NS_Audit::kEventSettingsReplicated,
                   sourceType, text, logPath);
}

}  // namespace NS_BatchEffects
