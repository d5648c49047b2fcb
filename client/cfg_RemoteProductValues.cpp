// Another computer's product and mail-server keys through its remote service (request 903), and
// this computer's own values as that request answers them.
// Thread rule: the reader runs on the calling thread's kept connection; the install is once; the
// answers a CRemoteProductValuesOnce keeps are the thread's own.
#include "client/cfg_RemoteProductValues.h"

#include <map>
#include <mutex>
#include <string>

#include "outside/log/DebugLog.h"
#include "outside/registry/CRegUtil.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Agent";

namespace P = NS_CfgProtocol;

// The answers kept while a CRemoteProductValuesOnce of this thread lives, by host; null when
// none lives.
thread_local std::map<OS::x_wstring, std::map<std::wstring, std::wstring>>* t_once = nullptr;
thread_local int t_onceDepth = 0;  // nested scopes share the outermost one's answers

// The registry layer's reader of another computer's keys: request 903 to its remote service, on
// this thread's kept connection to it.
bool ReadRemoteProductValues(const OS::x_wstring& host,
                             std::map<std::wstring, std::wstring>& values) {
    if (t_once) {
        if (const auto it = t_once->find(host); it != t_once->end()) {
            values = it->second;
            return true;
        }
    }
    try {
        CIPCMsgBuffer request(P::kBufferSize, false), reply(P::kBufferSize, false);
        P::WriteProductValuesRequest(request);
        CRPCClientHelper(CComponentID(P::kRemoteComponent), host.c_str())
            .SendRequest(request, reply);
        P::CProductValues read;
        if (!P::ReadProductValuesReply(reply, read)) return false;
        values = {{L"Version", read.version},
                  {L"ServicePack", read.servicePack},
                  {L"PatchBuild", read.patchBuild},
                  {L"ServerRole", read.serverRole},
                  {L"FullVersion", read.mailVersion}};
        if (t_once) t_once->emplace(host, values);
        return true;
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_WARNING, L"cannot read the product values of %ls: %ls", host.c_str(),
                e.GetErrorMsg().c_str());
        return false;
    }
}

}  // namespace

void NS_CfgClient::UseRemoteProductValues() {
    static std::once_flag once;
    std::call_once(once, [] { CRegUtil::SetRemoteProductReader(ReadRemoteProductValues); });
}

NS_CfgClient::CRemoteProductValuesOnce::CRemoteProductValuesOnce() {
    if (t_onceDepth++ == 0)
        t_once = new std::map<OS::x_wstring, std::map<std::wstring, std::wstring>>();
}

NS_CfgClient::CRemoteProductValuesOnce::~CRemoteProductValuesOnce() {
    if (--t_onceDepth == 0) {
        delete t_once;
        t_once = nullptr;
    }
}
