// The command layer's default channel (commands to the debug log, raw requests over RPC) and
// the switch to a channel of the caller's.
// Thread rule: the installed channel is an atomic pointer; the default channel has no state.
#include "outside/command/CCmdAgent.h"

#include <atomic>
#include <random>

#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"

namespace {
static const wchar_t kLogSource[] = L"CmdAgent";

class CDefaultChannel : public CMasterChannel {
  public:
    int Execute(const CComponentID& component, const CCmdExecuteParam& param, CCmdCallback*,
                CCmdQueryResult& result) override {
        OS::x_wstring parameter;
        CIPCMsgBuffer copy = param.m_Parameter;
        copy.Rewind();
        try {
            copy >> parameter;
        } catch (const OS::CException&) {
            parameter.clear();
        }
        CFG_LOG(DBG::LVL_INFO, L"Command %d (%ls) for server %ls to %ls: %ls", param.m_nCommandCode,
                param.m_CommandID.ToString().c_str(), param.m_strServer.c_str(), component.GetID(),
                parameter.c_str());
        result.m_nState = CCmdQueryResult::STATE_PENDING;
        return 0;
    }
    void SendRequest(const CComponentID& component, const CIPCMsgBuffer& request,
                     CIPCMsgBuffer& reply) override {
        CRPCClientHelper client(component, nullptr);
        client.SendRequest(request, reply);
    }
};

CDefaultChannel g_default;
std::atomic<CMasterChannel*> g_channel{nullptr};

CMasterChannel& Channel() {
    CMasterChannel* c = g_channel.load(std::memory_order_acquire);
    return c ? *c : g_default;
}
}  // namespace

CGUID CGUID::NewGUID() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    CGUID g;
    g.m_hi = engine();
    g.m_lo = engine();
    // Version 4, variant 1, as random ids are usually marked.
    g.m_hi = (g.m_hi & ~0xF000ull) | 0x4000ull;
    g.m_lo = (g.m_lo & ~(0xC000ull << 48)) | (0x8000ull << 48);
    return g;
}

OS::x_wstring CGUID::ToString() const {
    OS::x_wstring s;
    s.Format(L"%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(m_hi >> 32),
             static_cast<unsigned>((m_hi >> 16) & 0xFFFF), static_cast<unsigned>(m_hi & 0xFFFF),
             static_cast<unsigned>(m_lo >> 48),
             static_cast<unsigned long long>(m_lo & 0xFFFFFFFFFFFFull));
    return s;
}

CCmdCallback::~CCmdCallback() {}
CMasterChannel::~CMasterChannel() {}

int CCmdAgent::Execute(const CCmdExecuteParam& param, CCmdCallback* callback,
                       CCmdQueryResult& result) {
    return Channel().Execute(m_Component, param, callback, result);
}

namespace NS_Command {

CMasterChannel* SetMasterChannel(CMasterChannel* channel) {
    return g_channel.exchange(channel, std::memory_order_acq_rel);
}

void SendToMaster(const CComponentID& component, const CIPCMsgBuffer& request,
                  CIPCMsgBuffer& reply) {
    Channel().SendRequest(component, request, reply);
}

}  // namespace NS_Command
