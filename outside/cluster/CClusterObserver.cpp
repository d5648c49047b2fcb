// CClusterObserver: the cluster endpoint of a component and the delivery of notifications to it.
// Thread rule: see CClusterObserver.h.
#include "outside/cluster/CClusterObserver.h"

#include "outside/log/DebugLog.h"
#include "outside/rpc/CIPCServerRequestCallback.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/CRPCServerParameter.h"

namespace {
static const wchar_t kLogSource[] = L"CClusterObserver";

CComponentID EndpointId(const CComponentID& component) {
    return CComponentID(component.GetIDString() + L"_CLUSTER");
}
}  // namespace

const wchar_t* const CClusterObserver::kSubject = L"ZOLT_SUB_CMD_CLUSTER_NOTIFY";

// The request handler of the cluster endpoint: unpacks a delivery and runs the observer on it.
class CClusterObserver::CEndpoint : public CIPCServerRequestCallback {
  public:
    explicit CEndpoint(CClusterObserver& owner) : m_owner(owner) {}
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[2]{kMsgDeliver, kMsgOpenServers};
        *count = 2;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        if (msgID == kMsgOpenServers) {
            std::vector<OS::x_wstring> open;
            if (m_owner.m_fnOpenServers) open = m_owner.m_fnOpenServers();
            reply << kMsgOpenServersReply << 0 << open;
            return;
        }
        if (msgID != kMsgDeliver) return;
        int result = 0;
        try {
            OS::x_wstring subject;
            CIPCMsgBuffer body;
            request >> subject >> body;
            body.Rewind();
            std::lock_guard<std::mutex> one(m_owner.m_mutexDelivery);
            m_owner.m_bFailed = false;
            m_owner(CSubjectID(subject), body);
            if (m_owner.m_bFailed) result = -1;
        } catch (const OS::CException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"cluster notification not handled: %ls (%d)",
                    e.GetErrorMsg().c_str(), e.GetErrorCode());
            result = -1;
        }
        reply << kMsgDeliverReply << result;
    }

  private:
    CClusterObserver& m_owner;
};

CClusterObserver::CClusterObserver(const CComponentID& component) : m_component(component) {}

CClusterObserver::~CClusterObserver() {
    UnInit();
}

std::vector<CSubjectID> CClusterObserver::GetSubjectIDVector() const {
    return {CSubjectID(kSubject)};
}

void CClusterObserver::Init() {
    if (m_pServer) return;
    m_pEndpoint = std::make_unique<CEndpoint>(*this);
    m_pServer = std::make_unique<CRPCServerHelper>(EndpointId(m_component),
                                                   CRPCServerParameter(L"ncalrpc"));
    m_pServer->RegisterHandler(*m_pEndpoint);
}

void CClusterObserver::UnInit() {
    if (!m_pServer) return;
    // Unregistering waits for a delivery in progress.
    m_pServer->UnRegisterHandler(*m_pEndpoint);
    m_pServer.reset();
    m_pEndpoint.reset();
}

int CClusterObserver::Deliver(const CComponentID& component, const CSubjectID& subject,
                              const CIPCMsgBuffer& body) {
    CIPCMsgBuffer request, reply;
    request << kMsgDeliver << subject.ToString() << body;
    CRPCClientHelper client(EndpointId(component), nullptr);
    client.SendRequest(request, reply);
    reply.Rewind();
    int id = 0, result = -1;
    reply >> id >> result;
    return id == kMsgDeliverReply ? result : -1;
}

int CClusterObserver::NotifyServer(const CComponentID& component,
                                   const CClusterVirtualServerInfo& info) {
    CIPCMsgBuffer body;
    body << info;
    return Deliver(component, CSubjectID(kSubject), body);
}

std::vector<OS::x_wstring> CClusterObserver::QueryOpenServers(const CComponentID& component) {
    CIPCMsgBuffer request, reply;
    request << kMsgOpenServers;
    CRPCClientHelper client(EndpointId(component), nullptr);
    client.SendRequest(request, reply);
    reply.Rewind();
    int id = 0, result = -1;
    std::vector<OS::x_wstring> open;
    reply >> id >> result;
    if (id == kMsgOpenServersReply && result == 0) reply >> open;
    return open;
}
