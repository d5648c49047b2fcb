// GetLogPathname: the log path of a virtual server, read from its environment setting through
// the master service of this computer (the setting query, request 301), as the batch modify's
// audit entry records it.
// Thread rule: no shared state; each call makes its own request on its own RPC client.
#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "service/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_SettingVServerEnvironment";

namespace P = NS_CfgProtocol;

// The setting query of the agent: false when the service cannot be reached, answers a failure
// or sends a setting that does not read.
bool QueryEnvironment(const OS::x_wstring& server, CCfgSettingVServerEnvironment& setting) {
    try {
        CIPCMsgBuffer request(P::kBufferSize, false);
        CIPCMsgBuffer reply(P::kBufferSize, false);
        P::WriteKeyRequest(request, P::kMsgQuery,
                           P::CKey{server, CSubjectID(P::kNullPolicy), setting.GetSubjectID(),
                                   setting.GetCategroyName()});
        CRPCClientHelper client(CComponentID(P::kMasterComponent), nullptr);
        client.SendRequest(request, reply);
        if (!P::ReadReplyOk(reply, P::kMsgQueryReply)) return false;
        P::ReadSetting(reply, setting);
        return true;
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"GetLogPathname: query of %ls failed, code %d, %ls",
                server.c_str(), e.GetErrorCode(), e.GetErrorMsg().c_str());
        return false;
    }
}
}  // namespace

bool GetLogPathname(const OS::x_wstring& server, OS::x_wstring& path) {
    bool result = false;
    try {
        CCfgSettingVServerEnvironment setting(P::kVServerEnvSubject);
        if (!QueryEnvironment(server, setting)) {
            CFG_LOG(DBG::LVL_ERROR, L"Fail to retrieve virtual server setting");
            return false;
        }
        if (!setting.IsVirtualServerOn()) {
            CFG_LOG(DBG::LVL_ERROR, L"The virtual server(%ls) is off", server.c_str());
            return false;
        }
        setting.GetLogFileName(path);
        result = true;
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"%ls", e.GetErrorMsg().c_str());
    }
    return result;
}
