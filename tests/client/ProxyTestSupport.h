// Helpers of the proxy tests: a stand-in for the master component (an RPC endpoint answering
// setting queries from a script and counting them, and a change-notification publisher) and
// hooks that record their calls and hand off to the test.
// Thread rule: the stand-in's script and counts are guarded; hooks record under their own lock.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "cfg_Client.h"
#include "client/cfg_Proxy.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tests/support/RuntimeDir.h"
#include "tests/support/VirusScan.h"

namespace proxytest {

namespace P = NS_CfgProtocol;

using testsupport::CVirusScan;

// Answers request 301 for the subjects it was given a value for (result -1 for the others)
// and counts every query by "server:policy:subject".
class CFakeMaster : public CIPCServerRequestCallback {
  public:
    void Set(const OS::x_wstring& subject, int maxSize) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_mapValue[subject] = maxSize;
    }
    std::vector<OS::x_wstring> Queries() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_vecQueries;
    }
    size_t QueryCount() const { return Queries().size(); }

    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{P::kMsgQuery};
        *count = 1;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        P::CKey key;
        P::ReadKey(request, key);
        P::WriteReplyId(reply, P::kMsgQueryReply);
        std::lock_guard<std::mutex> g(m_mutex);
        m_vecQueries.push_back(key.server + L":" + key.policy.Str() + L":" + key.subject.Str());
        auto it = m_mapValue.find(key.subject.Str());
        if (it == m_mapValue.end()) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        CVirusScan setting(key.subject.Str());
        setting.AddFieldValue(L"VS_MAX_SIZE", CVar(it->second));
        setting.AddFieldValue(L"VS_QUARANTINE_FOLDER", CVar(L"/q"));
        P::WriteResult(reply, P::kResultOk);
        P::WriteSetting(reply, setting);
    }

  private:
    mutable std::mutex m_mutex;
    std::map<OS::x_wstring, int> m_mapValue;
    std::vector<OS::x_wstring> m_vecQueries;
};

// One hook call.
struct CCall {
    OS::x_wstring server, policy, subject;
    int kind;
    bool operator==(const CCall& o) const {
        return server == o.server && policy == o.policy && subject == o.subject && kind == o.kind;
    }
};
inline std::ostream& operator<<(std::ostream& os, const CCall& c) {
    return os << c.server.ToUtf8() << "," << c.policy.ToUtf8() << "," << c.subject.ToUtf8() << ","
              << c.kind;
}

// Records its calls; Expect(n) arms a hand-off that Wait() returns from once n calls returned.
class CRecordingHook : public CCfgProxyHook {
  public:
    explicit CRecordingHook(const OS::x_wstring& id = OS::x_wstring()) : m_strID(id) {}

    long NotifyCallBack(const OS::x_wstring& server, const CSubjectID& policy,
                        const CSubjectID& subject, int kind) override {
        std::function<void()> then;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_vecCalls.push_back(CCall{server, policy.Str(), subject.Str(), kind});
            then = m_fnOnCall;
        }
        if (then) then();
        std::lock_guard<std::mutex> g(m_mutex);
        ++m_nFinished;
        if (m_pPromise && m_nFinished == m_nExpected) {
            m_pPromise->set_value();
            m_pPromise.reset();
        }
        return 0;
    }
    OS::x_wstring GetHookID() override { return m_strID; }

    // Arms the hand-off for the call count `n` (counted from the start).
    void Expect(size_t n) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_pPromise = std::make_unique<std::promise<void>>();
        m_future = m_pPromise->get_future();
        m_nExpected = n;
        if (m_nFinished >= n) {
            m_pPromise->set_value();
            m_pPromise.reset();
        }
    }
    // True once the expected calls arrived (false after a generous bound: the test fails).
    bool Wait() { return m_future.wait_for(std::chrono::seconds(20)) == std::future_status::ready; }
    std::vector<CCall> Calls() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_vecCalls;
    }
    // Something to run inside every call, after it was recorded.
    void OnCall(std::function<void()> f) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_fnOnCall = std::move(f);
    }

  private:
    OS::x_wstring m_strID;
    mutable std::mutex m_mutex;
    std::vector<CCall> m_vecCalls;
    std::unique_ptr<std::promise<void>> m_pPromise;
    std::future<void> m_future;
    size_t m_nExpected = 0;
    size_t m_nFinished = 0;  // calls that have returned
    std::function<void()> m_fnOnCall;
};

// A setting the cache cannot hold: its category gives no object of its own.
class CUnstorable : public CVirusScan {
  public:
    using CVirusScan::CVirusScan;
    CCfgSettingCategoryBase* New() const override { return nullptr; }
};

// A proxy whose notification side the tests may call and inspect; BeforeReconnectDrop runs
// something on the notification thread when a reconnection is reported, before the proxy acts.
class CTestableProxy : public CCfgProxy {
  public:
    using CCfgProxy::CCfgProxy;
    using CCfgProxy::GetSubjectIDVector;
    void BeforeReconnectDrop(std::function<void()> f) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_fnBeforeDrop = std::move(f);
    }

  protected:
    void OnPublisherRestartOrGap(const CPublisherChange& change) override {
        std::function<void()> f;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            f = m_fnBeforeDrop;
        }
        if (f) f();
        CCfgProxy::OnPublisherRestartOrGap(change);
    }

  private:
    std::mutex m_mutex;
    std::function<void()> m_fnBeforeDrop;
};

// The master component's stand-in on a runtime folder of the test's own (whose going closes
// the test thread's connections).
class CMasterStandIn {
  public:
    CMasterStandIn()
        : m_server(std::make_unique<CRPCServerHelper>(CComponentID(P::kMasterComponent),
                                                      CRPCServerParameter(L"ncalrpc"))) {
        m_server->RegisterHandler(master);
        StartPublisher();
    }
    ~CMasterStandIn() {
        m_publisher.reset();
        m_server->UnRegisterHandler(master);
        m_server.reset();
    }
    void StartPublisher() {
        m_publisher = std::make_unique<CSubjectServerHelper>(CComponentID(P::kMasterComponent));
    }
    void StopPublisher() { m_publisher.reset(); }
    // Publishes a configuration-service notification.
    void Notify(const OS::x_wstring& subject, const OS::x_wstring& server, int kind,
                const OS::x_wstring& policy = L"ZOLT_PLC_NULL") {
        CIPCMsgBuffer body;
        P::WriteNotificationBody(body, CSubjectID(policy), server, kind);
        m_publisher->Notify(CSubjectID(subject), body, false);
    }
    void NotifyRaw(const OS::x_wstring& subject, const CIPCMsgBuffer& body) {
        m_publisher->Notify(CSubjectID(subject), body, false);
    }

    CFakeMaster master;

  private:
    testsupport::CRuntimeDir m_runtime;
    std::unique_ptr<CRPCServerHelper> m_server;
    std::unique_ptr<CSubjectServerHelper> m_publisher;
};

}  // namespace proxytest
