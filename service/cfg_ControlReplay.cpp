// CCfgControl::DoReplayClusterStatus (337 -> 338): replays a virtual server's change of state by
// writing its environment setting through the service, without opening or closing a database.
// Thread rule: stateless; runs on an RPC thread.
#include "cfg_Client.h"
#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";
// The longest path the environment setting takes, the terminator included.
constexpr size_t kMaxPath = 260;

// root joined with `file`, or `current` when that does not fit a path.
OS::x_wstring PathOrKeep(const OS::x_wstring& root, const wchar_t* file,
                         const OS::x_wstring& current) {
    const OS::x_wstring path = NS_StringUtils::concatPath(root, file);
    return path.size() < kMaxPath ? path : current;
}
}  // namespace

namespace P = NS_CfgProtocol;

void CCfgControl::DoReplayClusterStatus(unsigned int, const CIPCMsgBuffer& request,
                                        CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoReplayClusterStatus()");
    P::WriteReplyId(reply, P::kMsgReplayClusterStatusReply);
    try {
        CClusterVirtualServerInfo info;
        request >> info;
        CCfgAgent agent(L"ID_ZOLT_MASTER", true);
        CCfgSettingVServerEnvironment env(L"ZOLT_SUB_CFG_VRS_ENV");
        const OS::x_wstring& name = info.m_strName;
        CFG_LOG(DBG::LVL_INFO, L"Handle Virtual Server <%ls> replay on/off-line", name.c_str());
        if (name.empty()) {
            CFG_LOG(DBG::LVL_ERROR, L"DoReplayClusterStatuse empty strVirtualServerName");
            P::WriteResult(reply, P::kResultFail);
        } else {
            // What is stored now is the starting point: a path that does not fit keeps it.
            agent.QueryConfigurationSettings(name, CSubjectID(L"ZOLT_PLC_NULL"), env, nullptr);
            OS::x_wstring conf, log, report;
            env.GetConfigurationFileName(conf);
            env.GetLogFileName(log);
            env.GetReportFileName(report);
            env.SetVirtualServerOn(info.m_bOnline);
            const OS::x_wstring& root = info.m_strRootFolder;
            env.SetConfigurationFileName(PathOrKeep(root, L"config/dbconf_Conf.xml", conf));
            env.SetLogFileName(PathOrKeep(root, L"config/dbconf_Log.xml", log));
            env.SetReportFileName(PathOrKeep(root, L"config/dbconf_Report.xml", report));
            env.SetRootFolder(root);
            agent.ModifyConfigurationSettings(name, CSubjectID(L"ZOLT_PLC_NULL"), env, nullptr,
                                              CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
            P::WriteResult(reply, P::kResultOk);
        }
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, L"DoReplayClusterStatuse error coce(%d), %ls", e.GetErrorCode(),
                e.GetErrorMsg().c_str());
        P::WriteResult(reply, P::kResultFail);
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoReplayClusterStatus()");
}
