// GetLogPathname: the log path of a virtual server, read from its environment setting through
// the master service of this computer (the agent's setting query; the master of this process is
// asked directly), as the batch modify's audit entry records it.
// Thread rule: no shared state; each call makes its own request.
#include "cfg_Client.h"
#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_InProcessMaster.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_SettingVServerEnvironment";

namespace P = NS_CfgProtocol;
}  // namespace

bool GetLogPathname(const OS::x_wstring& server, OS::x_wstring& path) {
    bool result = false;
    try {
        CCfgSettingVServerEnvironment setting(P::kVServerEnvSubject);
        // The request the agent's setting query makes.
        CIPCMsgBuffer request, reply;
        P::WriteKey(request, server, CSubjectID(P::kNullPolicy), setting.GetSubjectID(),
                    setting.GetCategroyName());
        bool read = false;
        if (NS_InProcessMaster::Ask(P::kMsgQuery, request, reply)) {
            read = P::ReadReplyOk(reply, P::kMsgQueryReply);
            if (read) P::ReadSetting(reply, setting);
        } else {
            // The agent catches and logs what goes wrong on the way: false is all that comes
            // back.
            CCfgAgent agent(P::kMasterComponent, false);
            read = agent.QueryConfigurationSettings(server, CSubjectID(P::kNullPolicy), setting,
                                                    nullptr);
        }
        if (!read) {
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
