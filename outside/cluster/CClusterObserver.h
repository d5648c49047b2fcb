// CClusterObserver: receives the cluster notifications of this node ("ZOLT_SUB_CMD_CLUSTER_NOTIFY",
// body: a CClusterVirtualServerInfo) for one component. Init opens the component's cluster
// endpoint (<runtime folder>/<component>_CLUSTER.rpc); whoever moves a virtual server (the
// command-line tool, the resource agent) hands the notification to it with Deliver, which returns
// once the observer has handled it, so a resource started on this node is served when its start
// returns.
//
// Delivery request (message buffer items): int 951, x_wstring subject, nested buffer body.
// Reply: int 952, int result (0 handled, -1 the observer failed or is not running).
// Open-server request: int 953. Reply: int 954, int 0, vector<x_wstring> the servers whose
// database the observer holds open now.
// Thread rule: deliveries run one at a time on the endpoint's threads; Init and UnInit on the
// owner's thread. When UnInit returns no delivery runs or starts.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/ipc/CComponentID.h"
#include "outside/notify/CObserverNoticeCallback.h"

class CRPCServerHelper;

class CClusterObserver : public CObserverNoticeCallback {
  public:
    static constexpr int kMsgDeliver = 951;
    static constexpr int kMsgDeliverReply = 952;
    static constexpr int kMsgOpenServers = 953;
    static constexpr int kMsgOpenServersReply = 954;
    static const wchar_t* const kSubject;  // "ZOLT_SUB_CMD_CLUSTER_NOTIFY"

    explicit CClusterObserver(const CComponentID& component);
    ~CClusterObserver() override;
    CClusterObserver(const CClusterObserver&) = delete;
    CClusterObserver& operator=(const CClusterObserver&) = delete;

    // {"ZOLT_SUB_CMD_CLUSTER_NOTIFY"}.
    std::vector<CSubjectID> GetSubjectIDVector() const override;
    // Starts receiving: opens the cluster endpoint. Throws CRPCException when it cannot.
    virtual void Init();
    // Stops receiving; waits for a delivery in progress. Safe to call twice.
    virtual void UnInit();

    const CComponentID& GetComponent() const { return m_component; }

    // Hands `subject` and `body` to the observer of `component` on this machine and waits for
    // it to be handled. Returns the reply's result (0 or -1); throws CRPCException when no
    // observer is reachable within the transport's time limit.
    static int Deliver(const CComponentID& component, const CSubjectID& subject,
                       const CIPCMsgBuffer& body);
    // Deliver of the cluster notification that carries `info`.
    static int NotifyServer(const CComponentID& component, const CClusterVirtualServerInfo& info);
    // The servers whose database the observer of `component` holds open. Throws CRPCException
    // when no observer is reachable.
    static std::vector<OS::x_wstring> QueryOpenServers(const CComponentID& component);

    // What the endpoint answers to an open-server request; set before Init. Called on the
    // endpoint's threads.
    void SetOpenServerSource(std::function<std::vector<OS::x_wstring>()> source) {
        m_fnOpenServers = std::move(source);
    }

  protected:
    // Called by a delivery that could not do its work: Deliver then answers -1.
    void ReportFailure() { m_bFailed = true; }

  private:
    class CEndpoint;
    bool m_bFailed = false;  // guarded by m_mutexDelivery
    std::function<std::vector<OS::x_wstring>()> m_fnOpenServers;
    CComponentID m_component;
    std::unique_ptr<CEndpoint> m_pEndpoint;
    std::unique_ptr<CRPCServerHelper> m_pServer;
    std::mutex m_mutexDelivery;  // one delivery at a time
};
